#pragma once

#include <string>
#include <vector>

namespace jtagnand::testing {

struct ProgramResult {
  int exit_status = -1;  // the process's exit status, or 128 + signal
  std::string out;       // standard output
  std::string err;       // standard error
};

// Runs `binary` with `args` (argument 0 excluded), the current environment plus
// `env` ("NAME=value" entries, replacing any of the same name), and `input` as
// its standard input (closed after it). Waits for the process to end.
ProgramResult run_program(const std::string& binary, const std::vector<std::string>& args,
                          const std::vector<std::string>& env = {}, const std::string& input = {});

// A fresh, empty directory for one test's files; removed with its contents by
// the destructor.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Writes `bytes` to `path`, replacing the file.
void write_file(const std::string& path, const std::vector<unsigned char>& bytes);
// The whole file; empty when it cannot be read.
std::vector<unsigned char> read_file(const std::string& path);
// `length` bytes of a pattern that is neither 0x00 nor 0xFF anywhere.
std::vector<unsigned char> test_pattern(size_t length, unsigned seed = 1);

}  // namespace jtagnand::testing
