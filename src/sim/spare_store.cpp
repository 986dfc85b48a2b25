#include "sim/spare_store.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "sim/flash_store.h"

namespace jtagnand::sim {

std::string spare_file_path(const std::string& flash_path) {
  return flash_path + ".oob";
}

// The spare-area file, opened for reading and writing without a stream
// buffer: one access is one seek and one read or write of the operating
// system. A failed access ends the process with its reason (status
// kFlashFileFailedExit, as for the main area's file): a chip that lost a mark
// it was given, or kept one it was told to erase, would mislead the run.
class SpareStore::File {
 public:
  explicit File(std::string path) : path_(std::move(path)) {
    stream_.rdbuf()->pubsetbuf(nullptr, 0);  // before open, or it has no effect
  }

  // Opens the file, creating it (empty) only when it is missing.
  [[nodiscard]] bool open(bool create) {
    if (create) {
      std::ofstream made(path_, std::ios::out | std::ios::binary);
      if (!made.is_open()) return false;
    }
    stream_.open(path_, std::ios::in | std::ios::out | std::ios::binary);
    return stream_.is_open();
  }

  void read(uint64_t offset, std::span<uint8_t> out) {
    stream_.seekg(static_cast<std::streamoff>(offset));
    stream_.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size()));
    if (!stream_) fail("cannot read");
  }

  [[nodiscard]] bool try_write(uint64_t offset, std::span<const uint8_t> bytes) {
    stream_.seekp(static_cast<std::streamoff>(offset));
    stream_.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    stream_.flush();
    if (stream_) return true;
    stream_.clear();
    return false;
  }

  void write(uint64_t offset, std::span<const uint8_t> bytes) {
    if (!try_write(offset, bytes)) fail("cannot write");
  }

  void close() { stream_.close(); }

  [[noreturn]] void fail(const char* what) const {
    const int error = errno;
    std::fprintf(stderr, "sim: spare-area file %s: %s%s%s\n", path_.c_str(), what,
                 error != 0 ? ": " : "", error != 0 ? std::strerror(error) : "");
    std::fflush(stderr);
    std::exit(kFlashFileFailedExit);
  }

  std::vector<uint8_t> scratch;  // one page's spare area while it is programmed
  std::vector<uint8_t> erased;   // one erased block's spare areas

 private:
  std::string path_;
  std::fstream stream_;
};

SpareStore::SpareStore(uint64_t pages, uint32_t pages_per_block, uint32_t spare_size)
    : pages_(pages),
      pages_per_block_(pages_per_block),
      spare_size_(spare_size),
      blocks_(static_cast<std::size_t>(pages / pages_per_block),
              std::size_t{pages_per_block} * spare_size) {}

SpareStore::SpareStore(uint64_t pages, uint32_t pages_per_block, uint32_t spare_size,
                       std::unique_ptr<File> file)
    : pages_(pages),
      pages_per_block_(pages_per_block),
      spare_size_(spare_size),
      file_(std::move(file)),
      blocks_(0, 0) {
  file_->erased.assign(std::size_t{pages_per_block_} * spare_size_, 0xFF);
}

SpareStore::~SpareStore() = default;

std::string SpareStore::check_file(const std::string& path, uint64_t bytes) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (status.type() == fs::file_type::not_found) return {};  // created when the board starts
  if (error) return "cannot look at it: " + error.message();
  if (!fs::is_regular_file(status)) return "not a plain file; it is left as it is";
  const uint64_t size = fs::file_size(path, error);
  if (error) return "cannot find its size: " + error.message();
  if (size > bytes) {
    return "holds " + std::to_string(size) + " bytes, more than the chip's " +
           std::to_string(bytes) + " spare bytes; it is left as it is";
  }
  std::fstream probe(path, std::ios::in | std::ios::out | std::ios::binary);
  if (!probe.is_open()) return "cannot open it for reading and writing; it is left as it is";
  return {};
}

std::unique_ptr<SpareStore> SpareStore::open_file(const std::string& path, uint64_t pages,
                                                  uint32_t pages_per_block, uint32_t spare_size,
                                                  std::string& error) {
  const uint64_t bytes = pages * spare_size;
  if (std::string why = check_file(path, bytes); !why.empty()) {
    error = "spare-area file " + path + ": " + why;
    return nullptr;
  }
  std::error_code ignored;
  const bool missing = !std::filesystem::exists(path, ignored);
  auto file = std::make_unique<File>(path);
  if (!file->open(missing)) {
    error = "spare-area file " + path + ": cannot " + (missing ? "create" : "open") + " it";
    return nullptr;
  }
  // Whatever the file lacks reads as erased: append 0xFF up to the full size.
  // When that fails (a full disk), the file is put back as it was found.
  const uint64_t size = missing ? 0 : std::filesystem::file_size(path, ignored);
  if (!fill_erased(size, bytes, [&](uint64_t at, std::span<const uint8_t> erased) {
        return file->try_write(at, erased);
      })) {
    const int reason = errno;
    file->close();
    if (missing) {
      std::filesystem::remove(path, ignored);
    } else {
      std::filesystem::resize_file(path, size, ignored);
    }
    error = "spare-area file " + path + ": cannot fill it with erased bytes" +
            (reason != 0 ? std::string(": ") + std::strerror(reason) : std::string());
    return nullptr;
  }
  return std::unique_ptr<SpareStore>(
      new SpareStore(pages, pages_per_block, spare_size, std::move(file)));
}

uint8_t* SpareStore::writable(uint64_t page) {
  return blocks_.writable(static_cast<std::size_t>(page / pages_per_block_)) +
         (page % pages_per_block_) * spare_size_;
}

void SpareStore::read(uint64_t page, std::span<uint8_t> out) const {
  std::fill(out.begin(), out.end(), uint8_t{0xFF});
  if (page >= pages_) return;
  out = out.first(std::min<std::size_t>(out.size(), spare_size_));
  if (out.empty()) return;
  if (file_) {
    file_->read(page * spare_size_, out);
  } else if (const uint8_t* block =
                 blocks_.find(static_cast<std::size_t>(page / pages_per_block_))) {
    std::memcpy(out.data(), block + (page % pages_per_block_) * spare_size_, out.size());
  }
}

void SpareStore::write(uint64_t page, std::span<const uint8_t> bytes) {
  if (page >= pages_) return;
  bytes = bytes.first(std::min<std::size_t>(bytes.size(), spare_size_));
  if (bytes.empty()) return;
  if (file_) {
    file_->write(page * spare_size_, bytes);
  } else {
    std::memcpy(writable(page), bytes.data(), bytes.size());
  }
}

void SpareStore::program(uint64_t page, std::span<const uint8_t> bytes) {
  if (page >= pages_) return;
  bytes = bytes.first(std::min<std::size_t>(bytes.size(), spare_size_));
  // Bytes that stay 0xFF change nothing: an erased block stays unallocated and
  // the file untouched.
  if (all_erased(bytes)) return;
  if (file_) {
    std::vector<uint8_t>& old = file_->scratch;
    old.assign(bytes.size(), 0xFF);
    file_->read(page * spare_size_, old);
    program_cells(old.data(), bytes);
    file_->write(page * spare_size_, old);
    return;
  }
  program_cells(writable(page), bytes);
}

void SpareStore::erase_block(uint64_t block) {
  if (block >= pages_ / pages_per_block_ || spare_size_ == 0) return;
  if (file_) {
    file_->write(block * pages_per_block_ * spare_size_, file_->erased);
  } else {
    blocks_.erase(static_cast<std::size_t>(block));
  }
}

}  // namespace jtagnand::sim
