#pragma once

// The spare area of every page of the simulated NAND chip (the bytes after the
// main area that hold the factory bad-block marks and, on a real board, the
// ECC): either in memory, one buffer per block allocated on first write, or a
// plain file beside the flash file (its name + ".oob") that holds the spare
// areas of all pages back to back, erased bytes 0xFF. Like the main area's
// file, it is read and written in place at each access, so that hexdump shows
// a block's marks the moment they are stored.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "sim/erased_cells.h"

namespace jtagnand::sim {

// The spare-area file that goes with a flash file.
[[nodiscard]] std::string spare_file_path(const std::string& flash_path);

class SpareStore {
 public:
  // An in-memory spare area, all erased.
  SpareStore(uint64_t pages, uint32_t pages_per_block, uint32_t spare_size);
  ~SpareStore();
  SpareStore(const SpareStore&) = delete;
  SpareStore& operator=(const SpareStore&) = delete;

  // Whether `path` can hold a spare area of `bytes`: missing (it will be
  // created), or a plain file of at most that size that can be opened for
  // reading and writing. Changes nothing. Empty when it can, else why not.
  [[nodiscard]] static std::string check_file(const std::string& path, uint64_t bytes);

  // A spare area kept in `path`: created filled with 0xFF when missing, a
  // shorter file is extended with 0xFF; null + error when it cannot be used,
  // and then an existing file is left as it was.
  [[nodiscard]] static std::unique_ptr<SpareStore> open_file(const std::string& path,
                                                             uint64_t pages,
                                                             uint32_t pages_per_block,
                                                             uint32_t spare_size,
                                                             std::string& error);

  [[nodiscard]] uint32_t spare_size() const { return spare_size_; }
  // The first out.size() (at most spare_size) spare bytes of `page`.
  void read(uint64_t page, std::span<uint8_t> out) const;
  void write(uint64_t page, std::span<const uint8_t> bytes);    // stores as given
  void program(uint64_t page, std::span<const uint8_t> bytes);  // 1 -> 0 only
  void erase_block(uint64_t block);

 private:
  class File;
  SpareStore(uint64_t pages, uint32_t pages_per_block, uint32_t spare_size,
             std::unique_ptr<File> file);
  [[nodiscard]] uint8_t* writable(uint64_t page);

  uint64_t pages_;
  uint32_t pages_per_block_;
  uint32_t spare_size_;
  std::unique_ptr<File> file_;  // the spare-area file, or null for memory
  ErasedBlocks blocks_;         // the spare areas in memory (none when in a file)
};

}  // namespace jtagnand::sim
