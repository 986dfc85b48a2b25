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

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "e2e.h"

namespace jtagnand::testing {
namespace {

// How the program is started on the terminal.
struct TerminalSetup {
  std::string port = "sim:cpu=KELDA";
  // Standard output into a pipe that the test reads (and may close), as in
  // `jtagnand ... | head`; standard input and error stay on the terminal.
  bool output_to_pipe = false;
  // In a process group of its own that is not the terminal's foreground group,
  // as `jtagnand ... &` runs.
  bool background = false;
};

// The exit status reported for a program that was stopped by a signal (job
// control) instead of ending: this plus the signal's number.
constexpr int kStoppedBy = 200;

class TerminalRun {
 public:
  explicit TerminalRun(const std::vector<std::string>& args, const TerminalSetup& setup = {}) {
    std::vector<std::string> argv_text{JTAGNAND_BINARY};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    int out_pipe[2] = {-1, -1};
    if (setup.output_to_pipe && pipe(out_pipe) != 0) return;
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      std::vector<char*> argv;
      for (auto& a : argv_text) argv.push_back(a.data());
      argv.push_back(nullptr);
      setenv("JTAGNAND_PORT", setup.port.c_str(), 1);
      if (setup.output_to_pipe) {
        dup2(out_pipe[1], STDOUT_FILENO);
        close(out_pipe[0]);
        close(out_pipe[1]);
      }
      if (setup.background) run_in_background(argv);
      execv(argv[0], argv.data());
      _exit(127);
    }
    if (setup.output_to_pipe) {
      close(out_pipe[1]);
      output_ = out_pipe[0];
    }
  }
  ~TerminalRun() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
    close_output();
  }

  [[nodiscard]] bool started() const { return pid_ > 0 && master_ >= 0; }

  // Reads the terminal until `text` has appeared (or ten seconds pass).
  bool wait_for(const std::string& text) { return read_until(master_, screen_, text); }
  // The same for standard output when it goes into the pipe.
  bool wait_for_output(const std::string& text) { return read_until(output_, output_text_, text); }

  // The pipe's reader goes away: the program's next write fails (EPIPE, or
  // SIGPIPE where that is not ignored).
  void close_output() {
    if (output_ >= 0) close(output_);
    output_ = -1;
  }

  // What the terminal showed so far (with wait_exit: until the end).
  [[nodiscard]] const std::string& screen() const { return screen_; }

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

  // The process's exit status, or 128 + signal, or kStoppedBy + signal; -1 if
  // it has not ended within ten seconds.
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
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n > 0) {
          screen_.append(buffer, static_cast<size_t>(n));
        } else {
          usleep(20000);
        }
      }
    }
    return -1;
  }

 private:
  // In the child that owns the terminal (the session leader, in the
  // foreground group): starts the program in a new process group, which is
  // not the foreground one, and ends with its status; a stop (SIGTTOU,
  // SIGTTIN) is reported as kStoppedBy + signal.
  [[noreturn]] static void run_in_background(std::vector<char*>& argv) {
    const pid_t job = fork();
    if (job == 0) {
      setpgid(0, 0);
      execv(argv[0], argv.data());
      _exit(127);
    }
    setpgid(job, job);
    int status = 0;
    while (waitpid(job, &status, WUNTRACED) < 0) {
      if (errno != EINTR) _exit(126);
    }
    if (WIFSTOPPED(status)) {
      kill(job, SIGKILL);
      _exit(kStoppedBy + WSTOPSIG(status));
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  }

  static bool read_until(int fd, std::string& seen, const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (seen.find(text) == std::string::npos) {
      if (fd < 0 || std::chrono::steady_clock::now() > deadline) return false;
      pollfd ready{fd, POLLIN, 0};
      if (poll(&ready, 1, 100) <= 0) continue;
      char buffer[4096];
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n <= 0) return false;
      seen.append(buffer, static_cast<size_t>(n));
    }
    return true;
  }

  pid_t pid_ = -1;
  int master_ = -1;
  int output_ = -1;
  bool exited_ = false;
  std::string screen_;
  std::string output_text_;
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

// The 8 MiB chip (0xE6) on ZELT has 8 KiB blocks.
constexpr size_t kBlockSize = 8192;

TEST(Terminal, ClosedOutputPipeNeitherEndsTheRunNorLeavesTheTerminalRaw) {
  TempDir dir;
  const std::string flash = dir.file("flash.bin");
  const std::string image_path = dir.file("image.bin");
  write_file(flash, test_pattern(kChipSize, 3));
  const std::vector<unsigned char> image = test_pattern(2 * kBlockSize + 700, 4);
  write_file(image_path, image);

  // jtagnand -C ZELT -e all -f image.bin | head, answered Y on the terminal.
  TerminalRun run({"-C", "ZELT", "-e", "all", "-f" + image_path},
                  {.port = "sim:nand=0xE6,flash=" + flash, .output_to_pipe = true});
  ASSERT_TRUE(run.started());
  ASSERT_TRUE(run.wait_for_output("Continue ? [Y/N] "));
  ASSERT_TRUE(run.wait_for_raw_mode());
  run.close_output();
  run.type("y");

  // The whole chip was erased and the image written, though nobody read it.
  EXPECT_EQ(run.wait_exit(), 0) << run.screen();
  EXPECT_TRUE(canonical_with_echo(run.settings()));
  EXPECT_TRUE(contains(run.screen(), "jtagnand: standard output: Broken pipe")) << run.screen();
  std::vector<unsigned char> expected(kChipSize, 0xFF);
  std::copy(image.begin(), image.end(), expected.begin());
  EXPECT_TRUE(read_file(flash) == expected);
}

TEST(Terminal, BackgroundJobLeavesTheTerminalModesAloneAndRunsToItsEnd) {
  TempDir dir;
  const std::string flash = dir.file("flash.bin");
  const std::string image_path = dir.file("image.bin");
  const std::vector<unsigned char> image = test_pattern(kBlockSize + 512, 6);
  write_file(image_path, image);

  // jtagnand -C ZELT -f image.bin -b 1 &
  TerminalRun run({"-C", "ZELT", "-f" + image_path, "-b", "1"},
                  {.port = "sim:nand=0xE6,flash=" + flash, .background = true});
  ASSERT_TRUE(run.started());
  // A line typed meanwhile is for the job in front; were it read, the ESC
  // would stop the write (and the read itself would stop the job, SIGTTIN).
  run.type("\033\n");

  EXPECT_EQ(run.wait_exit(), 0) << run.screen();
  EXPECT_TRUE(contains(run.screen(), "Verify GOOD!!")) << run.screen();
  EXPECT_TRUE(canonical_with_echo(run.settings()));
  const std::vector<unsigned char> chip = read_file(flash);
  ASSERT_EQ(chip.size(), kChipSize);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), chip.begin() + kBlockSize));
}

}  // namespace
}  // namespace jtagnand::testing
