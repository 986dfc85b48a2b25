#pragma once

// jtagnand-sim started as a child process for one test: the address it
// listens on, its standard error once it has ended, and its exit status.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "run_program.h"

namespace jtagnand::testing {

class SimServer {
 public:
  // Starts jtagnand-sim with `args` and waits for its "listening on" line.
  explicit SimServer(const std::vector<std::string>& args) : err_path_(dir_.file("sim.err")) {
    int out_pipe[2];
    if (pipe(out_pipe) != 0) return;
    std::vector<std::string> argv_text{JTAGNAND_SIM_BINARY};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out_pipe[1], 1);
      const int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(err, 2);
      close(err);
      close(out_pipe[0]);
      close(out_pipe[1]);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out_pipe[1]);
    // The first line names the address; give a loaded machine ten seconds.
    std::string line;
    pollfd fd{out_pipe[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos && poll(&fd, 1, 10000) > 0) {
      char buffer[256];
      const ssize_t got = read(out_pipe[0], buffer, sizeof buffer);
      if (got <= 0) break;
      line.append(buffer, static_cast<size_t>(got));
    }
    close(out_pipe[0]);
    const std::string prefix = "listening on ";
    if (line.rfind(prefix, 0) == 0 && line.find('\n') != std::string::npos)
      address_ = line.substr(prefix.size(), line.find('\n') - prefix.size());
  }

  ~SimServer() {
    if (pid_ > 0 && !status_) {
      kill(pid_, SIGTERM);
      int status = 0;
      waitpid(pid_, &status, 0);
    }
  }
  SimServer(const SimServer&) = delete;
  SimServer& operator=(const SimServer&) = delete;

  // "127.0.0.1:PORT" or the socket path; empty when the server did not start.
  [[nodiscard]] const std::string& address() const { return address_; }
  [[nodiscard]] std::string tcp_port() const { return address_.substr(address_.rfind(':') + 1); }

  // Waits up to `seconds` for the server to end by itself (after --once);
  // the exit status, or 128 + signal, or -1 if it was still running and had
  // to be stopped.
  int wait(int seconds = 20) {
    if (status_) return *status_;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > until) {
        kill(pid_, SIGTERM);
        waitpid(pid_, &status, 0);
        status_ = -1;
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return *status_;
  }

  // Stops a server that serves on until killed.
  void stop() {
    if (pid_ <= 0 || status_) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // What the server wrote on standard error so far.
  [[nodiscard]] std::string err() const {
    std::ifstream file(err_path_);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  }

  // Waits (up to `seconds`, a deadline for a loaded machine, not a measure)
  // until standard error holds `text`, which a running server prints when it
  // is done with a connection.
  [[nodiscard]] bool wait_for_err(const std::string& text, int seconds = 30) const {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (err().find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }

  [[nodiscard]] const TempDir& dir() const { return dir_; }

 private:
  TempDir dir_;
  std::string err_path_;
  pid_t pid_ = -1;
  std::string address_;
  std::optional<int> status_;
};

// The full path of `name` in PATH, or empty.
inline std::string find_in_path(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

}  // namespace jtagnand::testing
