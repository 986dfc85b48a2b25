// Console keys on Windows.
//
// A console is read as key events (ReadConsoleInput): each key press is one
// event whatever the console's line and echo settings, so keys come one at a
// time and unechoed without the console's mode being changed, and there is
// nothing to restore on any way out. Whether a key waits is asked by waiting on
// the input handle with no timeout, which is also what makes Wine's terminal
// backed console look at its terminal. Redirected input is read one byte at a
// time with ReadFile: a file always has its next byte at hand; a pipe is asked
// with PeekNamedPipe whether a byte waits, and where that query fails (as on
// anonymous pipes under Wine) the byte is read with a blocking read instead, so
// the bytes still arrive in order and the end of the pipe still ends the input.

#if defined(_WIN32)

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

// The character of a key press, ESC included; -1 for events that are no key
// press of their own (releases, Shift and the like, mouse, focus, resizing).
int key_of(const INPUT_RECORD& record) {
  if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) return -1;
  const auto character = static_cast<unsigned char>(record.Event.KeyEvent.uChar.AsciiChar);
  if (character != 0) return character;
  // Wine's terminal-backed console reports a lone ESC without its character.
  if (record.Event.KeyEvent.wVirtualKeyCode == VK_ESCAPE) return kKeyEsc;
  return -1;
}

// The next key press on the console, or -1 when none waits and `block` is
// false. Events that are no key press are taken and dropped on the way.
int console_key(HANDLE input, bool block) {
  for (;;) {
    if (!block && WaitForSingleObject(input, 0) != WAIT_OBJECT_0) return -1;
    INPUT_RECORD record{};
    DWORD got = 0;
    if (!ReadConsoleInputA(input, &record, 1, &got)) return -1;
    if (got == 1) {
      const int key = key_of(record);
      if (key >= 0) return key;
    }
  }
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
      pending_ = console_key(input, block);
      // A console that cannot be read even when waited on will give no key.
      if (block && pending_ < 0) ended_ = true;
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

}  // namespace jtagnand

#endif
