// Console keys on POSIX systems.

#if !defined(_WIN32)

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/exit_cleanup.h"
#include "platform/terminal_console.h"

namespace jtagnand {

namespace {

// The terminal settings to put back. A signal handler has to reach them, so
// they live at namespace scope; they are written once, before any handler that
// reads them is installed.
struct termios saved_settings;
volatile sig_atomic_t settings_saved = 0;

void restore_terminal() {
  if (!settings_saved) return;
  // A job moved to the background since it went raw would be stopped by
  // SIGTTOU here, on its way out; with SIGTTOU blocked the call goes through.
  sigset_t ttou;
  sigset_t previous;
  sigemptyset(&ttou);
  sigaddset(&ttou, SIGTTOU);
  sigprocmask(SIG_BLOCK, &ttou, &previous);
  tcsetattr(STDIN_FILENO, TCSANOW, &saved_settings);
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}

// True while standard input is the controlling terminal and another process
// group (the shell, or the job in front) has it: changing its modes would stop
// this process with SIGTTOU, reading it with SIGTTIN. A terminal that is not
// the controlling one has no foreground group and counts as ours.
bool terminal_owned_by_another_job() {
  const pid_t foreground = tcgetpgrp(STDIN_FILENO);
  return foreground != -1 && foreground != getpgrp();
}

void enter_raw_mode() {
  if (tcgetattr(STDIN_FILENO, &saved_settings) != 0) return;
  settings_saved = 1;
  std::atexit(restore_terminal);
  cleanup_restore_terminal_with(restore_terminal);
  struct termios raw = saved_settings;
  // Single keys, unechoed; Ctrl-C still raises SIGINT.
  raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  tcsetattr(STDIN_FILENO, TCSANOW, &raw);
}

}  // namespace

namespace {

// A program started with standard input, output or error closed would hand
// those numbers to the next files it opens (the simulated chip's spare file,
// a ppdev device), and its messages would land in them. /dev/null takes any
// closed one first.
bool open_missing_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) close(opened);  // a lower one was free: should not happen
  }
  return true;
}

}  // namespace

TerminalConsole::TerminalConsole()
    : input_is_terminal_(open_missing_standard_descriptors() && isatty(STDIN_FILENO) != 0) {
  // Output into a pipe whose reader has gone (| head) must not end a run half
  // way through an erase or a write: the write fails with EPIPE instead, and
  // the run goes on to its end.
  signal(SIGPIPE, SIG_IGN);
}

TerminalConsole::~TerminalConsole() {
  if (!output_lost_) std::fflush(stdout);
  restore_terminal();
}

void TerminalConsole::write(std::string_view text) {
  if (output_lost_) return;
  if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0)
    return;
  // Said once; the run itself is not affected.
  output_lost_ = true;
  std::fprintf(stderr, "jtagnand: standard output: %s; the run goes on without it\n",
               std::strerror(errno));
}

// Raw mode is entered at the first key poll that finds the terminal in this
// process's hands; a job started in the background (&) leaves the terminal's
// modes alone and goes raw only once it is brought to the foreground.
void TerminalConsole::prepare_input() {
  if (prepared_) return;
  if (input_is_terminal_) {
    if (terminal_owned_by_another_job()) return;
    enter_raw_mode();
  }
  prepared_ = true;
}

void TerminalConsole::fetch(bool block) {
  while (pending_ < 0 && !ended_) {
    // In the background, keys typed go to the job in front: take none, and
    // wait (when asked to) until this job is brought to the foreground.
    if (input_is_terminal_ && terminal_owned_by_another_job()) {
      if (!block) return;
      poll(nullptr, 0, 100);
      continue;
    }
    prepare_input();
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
