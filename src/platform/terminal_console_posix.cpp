// Console keys on POSIX systems.

#if !defined(_WIN32)

#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/terminal_console.h"

namespace jtagnand {

namespace {

// The terminal settings to put back. A signal handler has to reach them, so
// they live at namespace scope; they are written once, before any handler that
// reads them is installed.
struct termios saved_settings;
volatile sig_atomic_t settings_saved = 0;

void restore_terminal() {
  if (settings_saved) tcsetattr(STDIN_FILENO, TCSANOW, &saved_settings);
}

void restore_and_reraise(int signal_number) {
  restore_terminal();
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

void enter_raw_mode() {
  if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved_settings) != 0) return;
  settings_saved = 1;
  std::atexit(restore_terminal);
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    struct sigaction action {};
    action.sa_handler = restore_and_reraise;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
  }
  struct termios raw = saved_settings;
  // Single keys, unechoed; Ctrl-C still raises SIGINT.
  raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  tcsetattr(STDIN_FILENO, TCSANOW, &raw);
}

}  // namespace

TerminalConsole::TerminalConsole() = default;

TerminalConsole::~TerminalConsole() {
  std::fflush(stdout);
  restore_terminal();
}

void TerminalConsole::write(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void TerminalConsole::prepare_input() {
  if (prepared_) return;
  prepared_ = true;
  enter_raw_mode();
}

void TerminalConsole::fetch(bool block) {
  prepare_input();
  while (pending_ < 0 && !ended_) {
    struct pollfd input {
      STDIN_FILENO, POLLIN, 0
    };
    const int ready = poll(&input, 1, block ? -1 : 0);
    if (ready < 0) {
      if (errno == EINTR) continue;
      ended_ = true;
      return;
    }
    if (ready == 0) return;
    if ((input.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) == 0) return;
    unsigned char byte = 0;
    const ssize_t got = read(STDIN_FILENO, &byte, 1);
    if (got == 1) {
      pending_ = byte;
    } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
      ended_ = true;
    }
  }
}

}  // namespace jtagnand

#endif
