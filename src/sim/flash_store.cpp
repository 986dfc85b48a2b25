#include "sim/flash_store.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace jtagnand::sim {

// The chip's file, opened for reading and writing without a stream buffer: a
// page-sized access is one seek and one read or write of the operating system,
// and nothing is held back from the file. Offsets are std::streamoff, 64 bits
// on every platform built for, so a 1 GiB chip fits.
class FlashStore::File {
 public:
  File() { stream_.rdbuf()->pubsetbuf(nullptr, 0); }  // before open, or it has no effect

  [[nodiscard]] bool open(const std::string& path) {
    stream_.open(path, std::ios::in | std::ios::out | std::ios::binary);
    if (stream_.is_open()) return true;
    // Missing: create it empty, then open it again for both directions.
    stream_.clear();
    stream_.open(path, std::ios::out | std::ios::binary);
    if (!stream_.is_open()) return false;
    stream_.close();
    stream_.clear();
    stream_.open(path, std::ios::in | std::ios::out | std::ios::binary);
    return stream_.is_open();
  }

  [[nodiscard]] bool size(uint64_t& bytes) {
    stream_.seekg(0, std::ios::end);
    const std::streamoff end = stream_.tellg();
    if (!stream_ || end < 0) return recover();
    bytes = static_cast<uint64_t>(end);
    return true;
  }

  // Reads `out.size()` bytes at `offset`; what cannot be read stays as it was.
  void read(uint64_t offset, std::span<uint8_t> out) {
    stream_.seekg(static_cast<std::streamoff>(offset));
    stream_.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size()));
    if (!stream_) static_cast<void>(recover());
  }

  [[nodiscard]] bool write(uint64_t offset, std::span<const uint8_t> bytes) {
    stream_.seekp(static_cast<std::streamoff>(offset));
    stream_.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    return stream_ ? true : recover();
  }

  // Room for one page's old contents while it is programmed.
  std::vector<uint8_t> scratch;
  // One erased block, written by every erase.
  std::vector<uint8_t> erased;

 private:
  // Clears the error state so that the next access is tried afresh.
  bool recover() {
    stream_.clear();
    return false;
  }

  std::fstream stream_;
};

FlashStore::FlashStore(uint64_t total_size, uint32_t block_size)
    : total_size_(total_size),
      block_size_(block_size),
      blocks_(static_cast<std::size_t>(total_size / block_size)) {}

FlashStore::FlashStore(uint64_t total_size, uint32_t block_size, std::unique_ptr<File> file)
    : total_size_(total_size), block_size_(block_size), file_(std::move(file)) {
  file_->erased.assign(block_size_, 0xFF);
}

FlashStore::~FlashStore() = default;

std::unique_ptr<FlashStore> FlashStore::open_file(const std::string& path, uint64_t total_size,
                                                  uint32_t block_size, std::string& error) {
  auto fail = [&](const char* what) {
    error = "flash file " + path + ": " + what;
    if (errno != 0) error += std::string(": ") + std::strerror(errno);
    return nullptr;
  };
  errno = 0;
  auto file = std::make_unique<File>();
  if (!file->open(path)) return fail("cannot open or create");
  uint64_t size = 0;
  if (!file->size(size)) return fail("cannot find its size");
  if (size > total_size) {
    error = "flash file " + path + " holds " + std::to_string(size) +
            " bytes, more than the chip's " + std::to_string(total_size);
    return nullptr;
  }
  // Whatever the file lacks reads as erased: append 0xFF up to the chip's size.
  const std::vector<uint8_t> erased(
      static_cast<std::size_t>(std::min<uint64_t>(uint64_t{1} << 20, total_size)), 0xFF);
  for (uint64_t at = size; at < total_size;) {
    const auto n = static_cast<std::size_t>(std::min<uint64_t>(erased.size(), total_size - at));
    if (!file->write(at, std::span<const uint8_t>(erased.data(), n)))
      return fail("cannot fill with erased bytes");
    at += n;
  }
  return std::unique_ptr<FlashStore>(new FlashStore(total_size, block_size, std::move(file)));
}

uint8_t* FlashStore::writable_block(uint32_t block) {
  auto& slot = blocks_[block];
  if (!slot) {
    slot = std::make_unique_for_overwrite<uint8_t[]>(block_size_);
    std::memset(slot.get(), 0xFF, block_size_);
  }
  return slot.get();
}

const uint8_t* FlashStore::block_or_null(uint32_t block) const {
  return blocks_[block].get();
}

// Walks [offset, offset + length) block by block, clipped to the chip.
template <typename Fn>
static void for_each_piece(uint64_t offset, std::size_t length, uint64_t total, uint32_t block_size,
                           Fn&& fn) {
  std::size_t done = 0;
  while (done < length && offset + done < total) {
    const uint64_t at = offset + done;
    const auto block = static_cast<uint32_t>(at / block_size);
    const auto within = static_cast<uint32_t>(at % block_size);
    const auto n = static_cast<std::size_t>(
        std::min<uint64_t>({uint64_t{block_size} - within, length - done, total - at}));
    fn(block, within, done, n);
    done += n;
  }
}

void FlashStore::read(uint64_t offset, std::span<uint8_t> out) const {
  std::fill(out.begin(), out.end(), uint8_t{0xFF});
  for_each_piece(offset, out.size(), total_size_, block_size_,
                 [&](uint32_t block, uint32_t within, std::size_t done, std::size_t n) {
                   if (file_) {
                     file_->read(uint64_t{block} * block_size_ + within, out.subspan(done, n));
                   } else if (const uint8_t* b = block_or_null(block)) {
                     std::memcpy(out.data() + done, b + within, n);
                   }
                 });
}

void FlashStore::write(uint64_t offset, std::span<const uint8_t> bytes) {
  for_each_piece(offset, bytes.size(), total_size_, block_size_,
                 [&](uint32_t block, uint32_t within, std::size_t done, std::size_t n) {
                   if (file_) {
                     static_cast<void>(file_->write(uint64_t{block} * block_size_ + within,
                                                    bytes.subspan(done, n)));
                   } else {
                     std::memcpy(writable_block(block) + within, bytes.data() + done, n);
                   }
                 });
}

void FlashStore::program(uint64_t offset, std::span<const uint8_t> bytes) {
  for_each_piece(offset, bytes.size(), total_size_, block_size_,
                 [&](uint32_t block, uint32_t within, std::size_t done, std::size_t n) {
                   // Bytes that stay 0xFF change nothing: leave erased blocks unallocated
                   // and the file untouched.
                   const uint8_t* src = bytes.data() + done;
                   if (std::all_of(src, src + n, [](uint8_t v) { return v == 0xFF; })) return;
                   if (file_) {
                     const uint64_t at = uint64_t{block} * block_size_ + within;
                     std::vector<uint8_t>& old = file_->scratch;
                     old.assign(n, 0xFF);
                     file_->read(at, old);
                     for (std::size_t i = 0; i < n; ++i) old[i] &= src[i];
                     static_cast<void>(file_->write(at, old));
                     return;
                   }
                   uint8_t* dst = writable_block(block) + within;
                   for (std::size_t i = 0; i < n; ++i) dst[i] &= src[i];
                 });
}

void FlashStore::erase_block(uint32_t block) {
  if (uint64_t{block} * block_size_ >= total_size_) return;
  if (file_) {
    static_cast<void>(file_->write(uint64_t{block} * block_size_, file_->erased));
  } else {
    blocks_[block].reset();
  }
}

}  // namespace jtagnand::sim
