#pragma once

// The main area of the simulated NAND chip: either in memory, one buffer per
// block allocated on first write (an erased block costs nothing), or a plain
// file of exactly the chip's size, erased bytes 0xFF. The file is read and
// written in place at each access (no caching), so that what the chip holds is
// in the file the moment it is stored, for cmp, hexdump or dd to see. One board
// at a time holds the file (a lock); a second one is refused.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "sim/erased_cells.h"

namespace jtagnand::sim {

// Exit status of a process whose flash file failed under it (a write on a full
// disk, a read error): the failure is named on standard error, and the process
// ends before it could show as a wrong read-back.
inline constexpr int kFlashFileFailedExit = 4;

class FlashStore {
 public:
  // An in-memory chip, all erased.
  FlashStore(uint64_t total_size, uint32_t block_size);
  ~FlashStore();
  FlashStore(const FlashStore&) = delete;
  FlashStore& operator=(const FlashStore&) = delete;

  // A chip kept in `path`: created filled with 0xFF when missing, a shorter
  // file is extended with 0xFF; null + error when it cannot be used (not a
  // plain file, no read and write access, longer than the chip, in use by
  // another board, no room to extend it), and then the file is as it was.
  [[nodiscard]] static std::unique_ptr<FlashStore> open_file(const std::string& path,
                                                             uint64_t total_size,
                                                             uint32_t block_size,
                                                             std::string& error);

  [[nodiscard]] uint64_t total_size() const { return total_size_; }
  void read(uint64_t offset, std::span<uint8_t> out) const;
  void write(uint64_t offset, std::span<const uint8_t> bytes);    // stores as given
  void program(uint64_t offset, std::span<const uint8_t> bytes);  // 1 -> 0 only
  void erase_block(uint32_t block);

 private:
  class File;
  FlashStore(uint64_t total_size, uint32_t block_size, std::unique_ptr<File> file);

  uint64_t total_size_;
  uint32_t block_size_;
  std::unique_ptr<File> file_;  // the chip's file, or null for memory
  ErasedBlocks blocks_;         // the chip in memory (none when in a file)
};

}  // namespace jtagnand::sim
