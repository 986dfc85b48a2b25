#pragma once

// What must be undone however the process ends: the terminal's modes put
// back, and a file being written removed. A signal that ends the process
// (SIGINT, SIGTERM, SIGHUP, SIGQUIT) does both, then ends it as the signal
// would have; std::exit removes the file too.

#include <string>

#if !defined(_WIN32)
#include <csignal>
#endif

namespace jtagnand {

// The function that puts the terminal back; called from a signal handler, so
// it may use async-signal-safe calls only. Installs the signal handlers.
void cleanup_restore_terminal_with(void (*restore)());

// Removes `path` if the process ends before cleanup_keep_file(). One file at a
// time; false (nothing registered) for a path longer than the room kept for
// it. Installs the signal handlers.
bool cleanup_remove_file(const std::string& path);

// The file is handled (renamed into place, or removed): forget it.
void cleanup_keep_file();

// Holds back the signals that end the process (POSIX; nothing on Windows)
// while it lives: a file created and then registered is never left behind by
// a signal that falls between the two. A held signal arrives at the end.
class CleanupSignalsHeld {
 public:
  CleanupSignalsHeld();
  ~CleanupSignalsHeld();
  CleanupSignalsHeld(const CleanupSignalsHeld&) = delete;
  CleanupSignalsHeld& operator=(const CleanupSignalsHeld&) = delete;

 private:
#if !defined(_WIN32)
  sigset_t previous_{};  // the signal mask before
#endif
};

}  // namespace jtagnand
