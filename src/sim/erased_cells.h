#pragma once

// What the main area and the spare area of the simulated chip have in common,
// whether kept in memory or in a file: erased cells read 0xFF, programming
// only clears bits (1 -> 0), and an erase sets a whole block back to 0xFF.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

namespace jtagnand::sim {

// True when `bytes` would change nothing if programmed.
[[nodiscard]] inline bool all_erased(std::span<const uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t v) { return v == 0xFF; });
}

// Programs `bytes` into `cells` as the chip does: a bit can only go from 1 to
// 0. `cells` is at least as long as `bytes`.
inline void program_cells(uint8_t* cells, std::span<const uint8_t> bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) cells[i] &= bytes[i];
}

// Blocks kept in memory: one buffer per block, made (all 0xFF) on its first
// write, so that an erased block costs nothing.
class ErasedBlocks {
 public:
  ErasedBlocks(std::size_t blocks, std::size_t block_bytes)
      : block_bytes_(block_bytes), blocks_(blocks) {}

  // The block's bytes, or null while it is all erased.
  [[nodiscard]] const uint8_t* find(std::size_t block) const { return blocks_[block].get(); }

  [[nodiscard]] uint8_t* writable(std::size_t block) {
    auto& slot = blocks_[block];
    if (!slot) {
      slot = std::make_unique_for_overwrite<uint8_t[]>(block_bytes_);
      std::memset(slot.get(), 0xFF, block_bytes_);
    }
    return slot.get();
  }

  void erase(std::size_t block) { blocks_[block].reset(); }

 private:
  std::size_t block_bytes_;
  std::vector<std::unique_ptr<uint8_t[]>> blocks_;
};

// Appends erased bytes to a file from `from` up to `to`, a megabyte at most
// per `write(offset, bytes)`, which returns false on failure. False as soon as
// a write fails, with nothing done after it (the caller reads errno).
template <typename Write>
[[nodiscard]] bool fill_erased(uint64_t from, uint64_t to, Write&& write) {
  const std::vector<uint8_t> erased(
      static_cast<std::size_t>(std::min<uint64_t>(uint64_t{1} << 20, to)), 0xFF);
  for (uint64_t at = from; at < to;) {
    const auto n = static_cast<std::size_t>(std::min<uint64_t>(erased.size(), to - at));
    if (!write(at, std::span<const uint8_t>(erased.data(), n))) return false;
    at += n;
  }
  return true;
}

}  // namespace jtagnand::sim
