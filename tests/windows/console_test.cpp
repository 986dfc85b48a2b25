// The Windows program on a console: Wine backs the console with a Linux
// pseudo-terminal, so keys typed there reach the program as console key events,
// the way a person's key presses do on Windows.

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// Text as read off the terminal, for comparisons: the console's escape
// sequences (cursor moves, colours, title), carriage returns and spaces taken
// out (the console draws runs of blanks as cursor moves).
std::string readable(const std::string& raw) {
  std::string out;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\x1b' && i + 1 < raw.size() && raw[i + 1] == '[') {
      i += 2;
      while (i < raw.size() && !(raw[i] >= '@' && raw[i] <= '~')) ++i;
      continue;
    }
    if (raw[i] == '\x1b' && i + 1 < raw.size() && raw[i + 1] == ']') {
      // Operating system command (window title), ended by BEL or ESC backslash.
      while (i < raw.size() && raw[i] != '\a' && !(raw[i] == '\\' && raw[i - 1] == '\x1b')) ++i;
      continue;
    }
    if (raw[i] == '\r' || raw[i] == ' ') continue;
    out.push_back(raw[i]);
  }
  return out;
}

class ConsoleRun {
 public:
  ConsoleRun(const std::string& port, const std::vector<std::string>& args) {
    std::vector<std::string> argv_text{JTAGNAND_WINE, JTAGNAND_WIN64_EXE};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    winsize size{};
    size.ws_row = 40;
    size.ws_col = 120;
    pid_ = forkpty(&terminal_, nullptr, nullptr, &size);
    if (pid_ == 0) {
      std::vector<char*> argv;
      for (auto& a : argv_text) argv.push_back(a.data());
      argv.push_back(nullptr);
      setenv("JTAGNAND_PORT", port.c_str(), 1);
      setenv("WINEPREFIX", JTAGNAND_WINE_PREFIX, 1);
      setenv("WINEDEBUG", "-all", 1);
      setenv("TERM", "xterm", 1);
      execv(argv[0], argv.data());
      _exit(127);
    }
  }
  ~ConsoleRun() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (terminal_ >= 0) close(terminal_);
  }
  ConsoleRun(const ConsoleRun&) = delete;
  ConsoleRun& operator=(const ConsoleRun&) = delete;

  [[nodiscard]] bool started() const { return pid_ > 0 && terminal_ >= 0; }
  [[nodiscard]] std::string screen() const { return readable(raw_); }

  // Reads the terminal until `text` shows (false after twenty seconds).
  [[nodiscard]] bool wait_for(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (screen().find(readable(text)) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline || !drain(100)) return false;
    }
    return true;
  }

  void type(const std::string& keys) {
    ASSERT_EQ(write(terminal_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }

  // The exit status, or -1 when the program has not ended within twenty seconds.
  [[nodiscard]] int wait_exit() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        while (drain(50)) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      // Keep reading so that the program never blocks on its output.
      if (!drain(20)) usleep(20000);
    }
    return -1;
  }

  // Wine's console switches its terminal to single unechoed keys once the
  // program first asks for a key; keys typed before that are echoed by the
  // terminal itself. Waits (up to twenty seconds) until the switch.
  [[nodiscard]] bool wait_for_key_mode() {
    for (int i = 0; i < 1000; ++i) {
      termios settings{};
      if (tcgetattr(terminal_, &settings) == 0 && (settings.c_lflag & (ICANON | ECHO)) == 0)
        return true;
      if (!drain(20)) return false;
    }
    return false;
  }

  // The terminal takes lines and echoes them again, as before the program ran.
  [[nodiscard]] bool terminal_restored() const {
    termios settings{};
    if (tcgetattr(terminal_, &settings) != 0) return false;
    return (settings.c_lflag & (ICANON | ECHO)) == (ICANON | ECHO);
  }

 private:
  // Takes what the terminal has (waiting up to `ms`); false once it is closed.
  bool drain(int ms) {
    pollfd fd{terminal_, POLLIN, 0};
    if (poll(&fd, 1, ms) <= 0) return true;
    char buffer[4096];
    const ssize_t n = read(terminal_, buffer, sizeof buffer);
    if (n <= 0) return false;
    raw_.append(buffer, static_cast<size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int terminal_ = -1;
  bool exited_ = false;
  std::string raw_;
};

class WineConsole : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string(JTAGNAND_WIN64_EXE).empty())
      GTEST_SKIP() << "no MinGW-w64 cross compiler: the Windows program was not built";
    if (!std::filesystem::exists(JTAGNAND_WINE)) GTEST_SKIP() << "no Wine at " JTAGNAND_WINE;
  }
};

TEST_F(WineConsole, ToggleTestRunsUntilEsc) {
  ConsoleRun run("sim", {"-C", "ZELT", "-t"});
  ASSERT_TRUE(run.started());
  ASSERT_TRUE(run.wait_for("Enter ESC to EXIT")) << run.screen();
  ASSERT_TRUE(run.wait_for_key_mode());
  // Another key is taken and ignored; ESC ends the process at once, status 0.
  run.type("a");
  usleep(300000);
  run.type("\x1b");
  EXPECT_EQ(run.wait_exit(), 0) << run.screen();
  EXPECT_TRUE(run.terminal_restored());
}

TEST_F(WineConsole, EraseAllQuestionTakesOneKeyWithoutEnter) {
  {
    ConsoleRun run("sim:nand=0xE6", {"-C", "KELDA", "-e", "all"});
    ASSERT_TRUE(run.started());
    ASSERT_TRUE(run.wait_for("Continue ? [Y/N] ")) << run.screen();
    ASSERT_TRUE(run.wait_for_key_mode());
    run.type("xn");  // x is no answer; n is, without Enter
    EXPECT_EQ(run.wait_exit(), 2) << run.screen();
    EXPECT_EQ(run.screen().find("Erasing"), std::string::npos) << run.screen();
    EXPECT_EQ(run.screen().find("xn"), std::string::npos) << "keys echoed:\n" << run.screen();
    EXPECT_TRUE(run.terminal_restored());
  }
  {
    // Y starts the erase of the whole chip; ESC stops it between two blocks.
    ConsoleRun run("sim:nand=0xE6", {"-C", "KELDA", "-e", "all"});
    ASSERT_TRUE(run.started());
    ASSERT_TRUE(run.wait_for("Continue ? [Y/N] ")) << run.screen();
    ASSERT_TRUE(run.wait_for_key_mode());
    run.type("Y");
    ASSERT_TRUE(run.wait_for("[  10]")) << run.screen();
    run.type("\x1b");
    EXPECT_EQ(run.wait_exit(), 2) << run.screen();
    EXPECT_NE(run.screen().find(readable("Stopped by ESC: erase not finished")), std::string::npos)
        << run.screen();
    EXPECT_TRUE(run.terminal_restored());
  }
}

}  // namespace
