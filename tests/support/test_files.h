#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

// Files for tests: a scratch directory, whole-file reads and writes, test
// images, and the pieces of bytes and text the tests compare. Portable C++ only, so the tests that
// use them build for Windows too.
namespace jtagnand::testing {

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
[[nodiscard]] std::vector<unsigned char> read_file(const std::string& path);
// Up to `length` bytes of the file from `offset`, without reading a chip-sized
// file whole; fewer where the file ends first.
[[nodiscard]] std::vector<unsigned char> file_bytes(const std::string& path, uint64_t offset,
                                                    size_t length);
// `length` bytes of a pattern that is neither 0x00 nor 0xFF anywhere.
[[nodiscard]] std::vector<unsigned char> test_pattern(size_t length, unsigned seed = 1);

// `n` bytes of `bytes` from `from`; empty when they would run past its end.
[[nodiscard]] inline std::vector<unsigned char> slice(const std::vector<unsigned char>& bytes,
                                                      size_t from, size_t n) {
  if (from > bytes.size() || n > bytes.size() - from) return {};
  return {bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(from + n)};
}

// Whether `part` occurs in `text`.
[[nodiscard]] inline bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The positions at which two strings of the same length differ: the cells
// that changed between two scans.
[[nodiscard]] inline std::set<uint32_t> differing(const std::string& a, const std::string& b) {
  std::set<uint32_t> cells;
  for (uint32_t i = 0; i < a.size() && i < b.size(); ++i)
    if (a[i] != b[i]) cells.insert(i);
  return cells;
}

}  // namespace jtagnand::testing
