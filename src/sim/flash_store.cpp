#include "sim/flash_store.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace jtagnand::sim {

FlashStore::FlashStore(uint64_t total_size, uint32_t block_size)
    : total_size_(total_size), block_size_(block_size), blocks_(total_size / block_size) {}

FlashStore::FlashStore(uint64_t total_size, uint32_t block_size, uint8_t* mapped)
    : total_size_(total_size), block_size_(block_size), mapped_(mapped) {}

FlashStore::~FlashStore() {
  if (mapped_ != nullptr) munmap(mapped_, total_size_);
}

std::unique_ptr<FlashStore> FlashStore::open_file(const std::string& path, uint64_t total_size,
                                                  uint32_t block_size, std::string& error) {
  auto fail = [&](const char* what) {
    error = "flash file " + path + ": " + what + ": " + std::strerror(errno);
    return nullptr;
  };
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return fail("cannot open or create");
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    auto result = fail("cannot stat");
    ::close(fd);
    return result;
  }
  const auto size = static_cast<uint64_t>(st.st_size);
  if (size > total_size) {
    ::close(fd);
    error = "flash file " + path + " holds " + std::to_string(size) +
            " bytes, more than the chip's " + std::to_string(total_size);
    return nullptr;
  }
  // Whatever the file lacks reads as erased: append 0xFF up to the chip's size.
  if (size < total_size) {
    std::vector<uint8_t> erased(1U << 20, 0xFF);
    uint64_t at = size;
    while (at < total_size) {
      const auto n = static_cast<std::size_t>(std::min<uint64_t>(erased.size(), total_size - at));
      const ssize_t done = pwrite(fd, erased.data(), n, static_cast<off_t>(at));
      if (done <= 0) {
        auto result = fail("cannot fill with erased bytes");
        ::close(fd);
        return result;
      }
      at += static_cast<uint64_t>(done);
    }
  }
  void* map = mmap(nullptr, total_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) {
    auto result = fail("cannot map");
    ::close(fd);
    return result;
  }
  ::close(fd);  // the mapping keeps the file
  return std::unique_ptr<FlashStore>(
      new FlashStore(total_size, block_size, static_cast<uint8_t*>(map)));
}

uint8_t* FlashStore::writable_block(uint32_t block) {
  if (mapped_ != nullptr) return mapped_ + uint64_t{block} * block_size_;
  auto& slot = blocks_[block];
  if (!slot) {
    slot = std::make_unique_for_overwrite<uint8_t[]>(block_size_);
    std::memset(slot.get(), 0xFF, block_size_);
  }
  return slot.get();
}

const uint8_t* FlashStore::block_or_null(uint32_t block) const {
  if (mapped_ != nullptr) return mapped_ + uint64_t{block} * block_size_;
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
                   if (const uint8_t* b = block_or_null(block))
                     std::memcpy(out.data() + done, b + within, n);
                 });
}

void FlashStore::write(uint64_t offset, std::span<const uint8_t> bytes) {
  for_each_piece(offset, bytes.size(), total_size_, block_size_,
                 [&](uint32_t block, uint32_t within, std::size_t done, std::size_t n) {
                   std::memcpy(writable_block(block) + within, bytes.data() + done, n);
                 });
}

void FlashStore::program(uint64_t offset, std::span<const uint8_t> bytes) {
  for_each_piece(offset, bytes.size(), total_size_, block_size_,
                 [&](uint32_t block, uint32_t within, std::size_t done, std::size_t n) {
                   // Bytes that stay 0xFF change nothing: leave erased blocks unallocated.
                   const uint8_t* src = bytes.data() + done;
                   if (std::all_of(src, src + n, [](uint8_t v) { return v == 0xFF; })) return;
                   uint8_t* dst = writable_block(block) + within;
                   for (std::size_t i = 0; i < n; ++i) dst[i] &= src[i];
                 });
}

void FlashStore::erase_block(uint32_t block) {
  if (uint64_t{block} * block_size_ >= total_size_) return;
  if (mapped_ != nullptr) {
    std::memset(mapped_ + uint64_t{block} * block_size_, 0xFF, block_size_);
  } else {
    blocks_[block].reset();
  }
}

}  // namespace jtagnand::sim
