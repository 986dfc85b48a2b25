// Console keys on Windows.
//
// A console is read through the C runtime's _kbhit/_getch, which take key
// events straight from the console input buffer: unechoed, one key at a time,
// without touching the console's mode, so there is nothing to restore on any
// way out. Redirected input is read one byte at a time with ReadFile: a file
// always has its next byte at hand; a pipe is asked with PeekNamedPipe whether a
// byte waits, and where that query fails (as on anonymous pipes under Wine) the
// byte is read with a blocking read instead, so the bytes still arrive in order
// and the end of the pipe still ends the input.

#if defined(_WIN32)

#include <conio.h>
#include <windows.h>

#include <cstdio>

#include "platform/terminal_console.h"

namespace jtagnand {

namespace {

enum class InputKind { kConsole, kFile, kPipe, kNone };

InputKind input_kind(HANDLE input) {
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return InputKind::kNone;
  DWORD mode = 0;
  if (GetConsoleMode(input, &mode)) return InputKind::kConsole;
  switch (GetFileType(input)) {
    case FILE_TYPE_DISK:
      return InputKind::kFile;
    case FILE_TYPE_PIPE:
      return InputKind::kPipe;
    case FILE_TYPE_CHAR:  // a character device that is no console, such as NUL
      return InputKind::kFile;
    default:
      return InputKind::kNone;
  }
}

// One byte of redirected input: the byte, or -1 at the end of the input or on
// an error (either way no key will come any more).
int read_one_byte(HANDLE input) {
  unsigned char byte = 0;
  DWORD got = 0;
  if (!ReadFile(input, &byte, 1, &got, nullptr) || got != 1) return -1;
  return byte;
}

}  // namespace

TerminalConsole::TerminalConsole() = default;

TerminalConsole::~TerminalConsole() {
  std::fflush(stdout);
}

void TerminalConsole::write(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void TerminalConsole::prepare_input() {
  prepared_ = true;
}

void TerminalConsole::fetch(bool block) {
  prepare_input();
  if (pending_ >= 0 || ended_) return;
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  switch (input_kind(input)) {
    case InputKind::kConsole:
      if (block || _kbhit()) pending_ = _getch();
      return;
    case InputKind::kFile:
      pending_ = read_one_byte(input);
      break;
    case InputKind::kPipe: {
      DWORD available = 0;
      if (PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr)) {
        if (available == 0 && !block) return;
      } else if (GetLastError() == ERROR_BROKEN_PIPE) {
        // The writer has closed its end and nothing is left.
        ended_ = true;
        return;
      }
      // A byte is there, the caller waits anyway, or the pipe cannot be asked.
      pending_ = read_one_byte(input);
      break;
    }
    case InputKind::kNone:
      break;
  }
  if (pending_ < 0) ended_ = true;
}

bool TerminalConsole::key_waiting() {
  fetch(false);
  return pending_ >= 0;
}

int TerminalConsole::read_key() {
  fetch(true);
  const int key = pending_;
  pending_ = -1;
  return key;
}

bool TerminalConsole::input_ended() {
  fetch(false);
  return pending_ < 0 && ended_;
}

}  // namespace jtagnand

#endif
