#include "test_files.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <system_error>

namespace jtagnand::testing {

TempDir::TempDir() {
  // create_directory reports whether it made the directory, so a name another
  // test (or process) already took is simply skipped.
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  std::random_device entropy;
  std::mt19937_64 names((static_cast<unsigned long long>(entropy()) << 32) ^ entropy());
  constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = "jtagnand-test-";
    for (int i = 0; i < 10; ++i) name.push_back(kDigits[names() % (sizeof kDigits - 1)]);
    const std::filesystem::path candidate = base / name;
    std::error_code error;
    if (std::filesystem::create_directory(candidate, error)) {
      path_ = candidate.generic_string();
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary directory in " + base.string());
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void write_file(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

std::vector<unsigned char> read_file(const std::string& path) {
  // In large pieces: a byte at a time, a 64 MiB flash file took seconds in
  // the sanitizer build.
  std::ifstream file(path, std::ios::binary);
  std::vector<unsigned char> bytes;
  constexpr std::size_t kPiece = 1 << 20;
  while (file) {
    const std::size_t held = bytes.size();
    bytes.resize(held + kPiece);
    file.read(reinterpret_cast<char*>(bytes.data() + held), static_cast<std::streamsize>(kPiece));
    bytes.resize(held + static_cast<std::size_t>(file.gcount()));
  }
  return bytes;
}

std::vector<unsigned char> file_bytes(const std::string& path, uint64_t offset, size_t length) {
  std::ifstream file(path, std::ios::binary);
  file.seekg(static_cast<std::streamoff>(offset));
  std::vector<unsigned char> bytes(length);
  file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(length));
  bytes.resize(static_cast<size_t>(file.gcount()));
  return bytes;
}

std::vector<unsigned char> test_pattern(size_t length, unsigned seed) {
  std::vector<unsigned char> bytes(length);
  unsigned state = seed * 2654435761u + 12345u;
  for (size_t i = 0; i < length; ++i) {
    state = state * 1103515245u + 12345u;
    unsigned char b = static_cast<unsigned char>(state >> 16);
    if (b == 0x00 || b == 0xFF) b = static_cast<unsigned char>(0x5A ^ i);
    if (b == 0x00 || b == 0xFF) b = 0xA5;
    bytes[i] = b;
  }
  return bytes;
}

}  // namespace jtagnand::testing
