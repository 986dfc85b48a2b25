#pragma once

// What a NAND pass tells the layer above while it runs, and how it is asked
// to stop. The passes say what happened; the observer decides what the
// operator sees. Called per page or block, never per scan.

#include <cstdint>

namespace jtagnand {

enum class PassKind : uint8_t {
  kErase,   // blocks erased from an offset
  kWrite,   // the image programmed page by page and read back
  kRead,    // a range read into a file
  kVerify,  // the image compared with the flash
  kScan,    // the blocks' factory marks read
};

// Things a pass meets at a block or page offset and goes on from (or, for
// kProgramFailed, stops at with NandOutcome::kProgramFailed).
enum class PassNote : uint8_t {
  kMarkedBlock,      // the block carries the maker's bad-block mark: not touched
  kEraseFailed,      // the block's erase reported a failure: recorded as bad
  kBadBlockSkipped,  // the write stepped over a bad block
  kProgramFailed,    // the page's program reported a failure
  kMarkedBad,        // a block whose erase failed got the bad-block mark (with -m)
  kUncorrectable,    // the page read back has more flipped bits than its ECC corrects
};

class PassObserver {
 public:
  virtual ~PassObserver() = default;

  // How far the pass has come: `done` of `total` bytes (blocks for kScan),
  // `position` the flash offset reached. Called once at the start and after
  // every page (block).
  virtual void progress(PassKind pass, uint64_t done, uint64_t total, uint64_t position) = 0;
  // The erase pass: once when the chip was reset, then for each block it
  // meets, with how many blocks it met before.
  virtual void erase_started() = 0;
  virtual void erasing_block(uint64_t met, uint64_t block_number) = 0;
  virtual void noted(PassNote note, uint64_t offset) = 0;
  // A byte read back differs from the one written at `address`.
  virtual void compare_error(uint64_t address, uint8_t read, uint8_t written) = 0;
  // The same for byte `index` of the spare area of the page at `page_offset`.
  virtual void spare_compare_error(uint64_t page_offset, uint32_t index, uint8_t read,
                                   uint8_t written) = 0;
  // Asked between pages (blocks); true ends the pass with kStoppedByUser.
  [[nodiscard]] virtual bool stop_requested() = 0;
};

}  // namespace jtagnand
