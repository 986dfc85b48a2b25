#include "platform/exit_cleanup.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace jtagnand {

namespace {

// A signal handler has to reach these, so they live at namespace scope. The
// path is written only while `file_registered` is 0, and the flag set after it,
// so that a handler never reads a half-written path.
char registered_path[4096];
volatile std::sig_atomic_t file_registered = 0;
void (*volatile terminal_restore)() = nullptr;
volatile std::sig_atomic_t handlers_installed = 0;

void remove_registered_file() {
  if (file_registered == 0) return;
  file_registered = 0;
#if defined(_WIN32)
  _unlink(registered_path);
#else
  unlink(registered_path);
#endif
}

extern "C" void clean_up_and_reraise(int signal_number) {
  remove_registered_file();
  if (terminal_restore != nullptr) terminal_restore();
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

#if !defined(_WIN32)
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
#endif

void install_handlers() {
  if (handlers_installed != 0) return;
  handlers_installed = 1;
  std::atexit(remove_registered_file);
#if defined(_WIN32)
  for (const int signal_number : {SIGINT, SIGTERM, SIGBREAK}) {
    std::signal(signal_number, clean_up_and_reraise);
  }
#else
  for (const int signal_number : kEndingSignals) {
    // A signal ignored on entry (nohup, a background job of a script) stays
    // ignored: it would not have ended the process.
    struct sigaction previous {};
    if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) {
      continue;
    }
    struct sigaction action {};
    action.sa_handler = clean_up_and_reraise;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
  }
#endif
}

}  // namespace

void cleanup_restore_terminal_with(void (*restore)()) {
  terminal_restore = restore;
  install_handlers();
}

bool cleanup_remove_file(const std::string& path) {
  file_registered = 0;
  if (path.size() >= sizeof registered_path) return false;
  std::memcpy(registered_path, path.c_str(), path.size() + 1);
  install_handlers();
  file_registered = 1;
  return true;
}

void cleanup_keep_file() {
  file_registered = 0;
}

CleanupSignalsHeld::CleanupSignalsHeld() {
#if !defined(_WIN32)
  sigset_t ending;
  sigemptyset(&ending);
  for (const int signal_number : kEndingSignals) sigaddset(&ending, signal_number);
  sigprocmask(SIG_BLOCK, &ending, &previous_);
#endif
}

CleanupSignalsHeld::~CleanupSignalsHeld() {
#if !defined(_WIN32)
  sigprocmask(SIG_SETMASK, &previous_, nullptr);
#endif
}

}  // namespace jtagnand
