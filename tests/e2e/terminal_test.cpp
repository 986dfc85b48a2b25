// The program on a real terminal (a pseudo-terminal): keys are read raw and
// unechoed while it runs, and the terminal's settings come back on every way
// out.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "e2e.h"

namespace jtagnand::testing {
namespace {

class TerminalRun {
 public:
  explicit TerminalRun(const std::vector<std::string>& args) {
    std::vector<std::string> argv_text{JTAGNAND_BINARY};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      std::vector<char*> argv;
      for (auto& a : argv_text) argv.push_back(a.data());
      argv.push_back(nullptr);
      setenv("JTAGNAND_PORT", "sim:cpu=KELDA", 1);
      execv(argv[0], argv.data());
      _exit(127);
    }
  }
  ~TerminalRun() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
  }

  [[nodiscard]] bool started() const { return pid_ > 0 && master_ >= 0; }

  // Reads the terminal until `text` has appeared (or ten seconds pass).
  bool wait_for(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (screen_.find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      pollfd fd{master_, POLLIN, 0};
      if (poll(&fd, 1, 100) <= 0) continue;
      char buffer[4096];
      const ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) return false;
      screen_.append(buffer, static_cast<size_t>(n));
    }
    return true;
  }

  void type(const std::string& keys) {
    ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }

  // The program puts the terminal into raw mode at its first key poll, just
  // after printing its prompt: wait (up to ten seconds) until it has.
  [[nodiscard]] bool wait_for_raw_mode() const {
    for (int i = 0; i < 500; ++i) {
      const termios t = settings();
      if ((t.c_lflag & (ICANON | ECHO)) == 0) return true;
      usleep(20000);
    }
    return false;
  }

  [[nodiscard]] termios settings() const {
    termios t{};
    tcgetattr(master_, &t);
    return t;
  }

  // The process's exit status, or 128 + signal; -1 if it has not ended within
  // ten seconds.
  int wait_exit() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      // Keep draining the terminal so the program never blocks on output.
      pollfd fd{master_, POLLIN, 0};
      if (poll(&fd, 1, 20) > 0) {
        char buffer[4096];
        if (read(master_, buffer, sizeof buffer) <= 0) usleep(20000);
      }
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  int master_ = -1;
  bool exited_ = false;
  std::string screen_;
};

bool canonical_with_echo(const termios& t) {
  return (t.c_lflag & ICANON) != 0 && (t.c_lflag & ECHO) != 0;
}

TEST(Terminal, ToggleTestReadsRawAndRestoresTheTerminalOnEsc) {
  TerminalRun run({"-C", "KELDA", "-t"});
  ASSERT_TRUE(run.started());
  ASSERT_TRUE(run.wait_for(" Enter ESC to EXIT"));
  ASSERT_TRUE(run.wait_for_raw_mode());
  run.type("a\033");
  EXPECT_EQ(run.wait_exit(), 0);
  EXPECT_TRUE(canonical_with_echo(run.settings()));
}

TEST(Terminal, InterruptRestoresTheTerminal) {
  TerminalRun run({"-C", "KELDA", "-t"});
  ASSERT_TRUE(run.started());
  ASSERT_TRUE(run.wait_for(" Enter ESC to EXIT"));
  ASSERT_TRUE(run.wait_for_raw_mode());
  run.type("\x03");  // Ctrl-C: SIGINT to the program
  EXPECT_EQ(run.wait_exit(), 128 + SIGINT);
  EXPECT_TRUE(canonical_with_echo(run.settings()));
}

TEST(Terminal, EraseAllQuestionTakesOneKeyWithoutEnter) {
  TerminalRun run({"-C", "KELDA", "-e", "all"});
  ASSERT_TRUE(run.started());
  ASSERT_TRUE(run.wait_for("Continue ? [Y/N] "));
  ASSERT_TRUE(run.wait_for_raw_mode());
  run.type("n");
  EXPECT_EQ(run.wait_exit(), 2);
  EXPECT_TRUE(canonical_with_echo(run.settings()));
}

}  // namespace
}  // namespace jtagnand::testing
