#pragma once

#include <array>
#include <cstdint>

#include "nand/nand_bus.h"
#include "nand/page_format.h"
#include "platform/console.h"

namespace jtagnand {

// Results beyond 0 / -1 that the erase and program passes can return. Each is
// reported on the console by the pass that met it.
inline constexpr int32_t kNandStoppedByUser = -2;  // ESC pressed during the pass
inline constexpr int32_t kNandPastChipEnd = -3;    // bad blocks pushed the work off the chip
inline constexpr int32_t kNandBadBlockListFull = -4;

inline constexpr int32_t kBadBlockCapacity = 100;

// Offsets of blocks whose erase failed or that carry the maker's bad-block
// mark (with markers honoured), ascending.
struct BadBlockList {
  std::array<uint64_t, kBadBlockCapacity> offsets{};
  int32_t count = 0;
};

// True when the operator pressed ESC. Any other key is taken and dropped, so a
// stray key press does not stop a long pass.
[[nodiscard]] bool nand_escape_pressed(Console& console);

// Reset (0xFF) with the chip selected, and the wait for ready; released after.
// Prints nothing: 0, or -1 when the chip never became ready.
[[nodiscard]] int32_t nand_reset(NandBus& bus);

// Resets the chip, then erases from `offset` (block aligned) until `length`
// bytes of good blocks are covered, recording failing blocks and extending the
// range for each. Prints the block numbers as it goes. With `honour_markers`,
// each block's factory marks are read first; a marked block is not erased but
// recorded like a failing one ("Factory-marked bad block at 0x%x, skipped").
[[nodiscard]] int32_t nand_erase_range(NandBus& bus, BadBlockList& bad_blocks, Console& console,
                                       uint64_t offset, uint64_t length,
                                       bool honour_markers = false);

struct ProgramOptions {
  // A page of the image that is all 0xFF is not programmed (the erase left it
  // so) but still read back.
  bool skip_erased_pages = false;
  // The image's pages carry their spare bytes, and/or the ECC is written into
  // the spare area and the read-back corrected through it.
  PageFormat format{};
};

struct ProgramReport {
  uint64_t skipped_pages = 0;  // pages not programmed under skip_erased_pages
  EccTally ecc{};              // what the read-back's ECC corrected
};

// Programs `length` (> 0) bytes from `offset` (block aligned) page by page,
// stepping over the bad blocks, and reads every page back.
[[nodiscard]] int32_t nand_program_image(NandBus& bus, const BadBlockList& bad_blocks,
                                         Console& console, uint64_t offset, const uint8_t* data,
                                         uint64_t length, const ProgramOptions& options = {},
                                         ProgramReport* report = nullptr);

// Reads back one page (or its first `count` bytes) and compares.
[[nodiscard]] int32_t nand_verify_page(NandBus& bus, Console& console, uint64_t offset,
                                       const uint8_t* written, uint32_t count);

// Reads back one page with its spare area and checks it against `written`
// (page and spare bytes as programmed): through the ECC when the format has
// one (an uncorrectable page fails, the corrections go into `tally`), the
// first `count` main-area bytes, and with the spare bytes in the image, the
// spare bytes that are not ECC.
[[nodiscard]] int32_t nand_verify_whole_page(NandBus& bus, Console& console, uint64_t offset,
                                             std::span<const uint8_t> written, uint32_t count,
                                             const PageFormat& format, EccTally& tally);

// "\n\nCompare ERROR: flash addr: 0x%x\n" and the two bytes, as the read-back
// reports a difference.
void nand_print_compare_error(Console& console, uint64_t address, uint8_t read, uint8_t written);
// The same for byte `index` of the spare area of the page at `page_offset`.
void nand_print_spare_compare_error(Console& console, uint64_t page_offset, uint32_t index,
                                    uint8_t read, uint8_t written);
// "\n\nECC ERROR: uncorrectable page at flash addr: 0x%x\n"
void nand_print_uncorrectable(Console& console, uint64_t page_offset);

}  // namespace jtagnand
