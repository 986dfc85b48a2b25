#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "nand/nand_bus.h"
#include "nand/nand_outcome.h"
#include "nand/page_format.h"
#include "nand/pass_observer.h"

namespace jtagnand {

inline constexpr int32_t kBadBlockCapacity = 100;

// Offsets of blocks whose erase failed or that carry the maker's bad-block
// mark (with markers honoured), ascending.
struct BadBlockList {
  std::array<uint64_t, kBadBlockCapacity> offsets{};
  int32_t count = 0;
};

// Reset (0xFF) with the chip selected, and the wait for ready; released after.
// kDone or kResetNotReady.
NandOutcome nand_reset(NandBus& bus);

// Resets the chip, then erases from `offset` (block aligned) until `length`
// bytes of good blocks are covered, recording failing blocks (kEraseFailed
// noted) and extending the range for each. Each block met goes to the
// observer. With `honour_markers`, each block's factory marks are read first;
// a marked block is not erased but recorded like a failing one (kMarkedBlock
// noted). Ends kDone, kResetNotReady, kReadNotReady, kEraseNotReady,
// kBadBlockListFull, kPastChipEnd or kStoppedByUser.
NandOutcome nand_erase_range(NandBus& bus, BadBlockList& bad_blocks, PassObserver& observer,
                             uint64_t offset, uint64_t length, bool honour_markers = false);

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
// stepping over the bad blocks (each noted), and reads every page back. Ends
// kDone, kPastChipEnd (nothing written), kProgramNotReady, kProgramFailed,
// kReadNotReady, kCompareError or kStoppedByUser. On a cable that reads ahead
// (nand_can_read_ahead) a page's read-back bytes travel with the next page's
// program, so a compare error leaves that next page programmed too; the
// outcome and what the observer hears are the same. A stop is asked for before
// the next page is sent.
NandOutcome nand_program_image(NandBus& bus, const BadBlockList& bad_blocks, PassObserver& observer,
                               uint64_t offset, const uint8_t* data, uint64_t length,
                               const ProgramOptions& options = {}, ProgramReport* report = nullptr);

// Reads back one page (or its first `count` bytes) and compares; the first
// difference goes to the observer. kDone, kReadNotReady or kCompareError.
NandOutcome nand_verify_page(NandBus& bus, PassObserver& observer, uint64_t offset,
                             const uint8_t* written, uint32_t count);

// Reads back one page with its spare area and checks it against `written`
// (page and spare bytes as programmed): through the ECC when the format has
// one (an uncorrectable page is noted and is a compare error; the corrections
// go into `tally`), the first `count` main-area bytes, and with the spare
// bytes in the image, the spare bytes that are not ECC. kDone, kReadNotReady
// or kCompareError.
NandOutcome nand_verify_whole_page(NandBus& bus, PassObserver& observer, uint64_t offset,
                                   std::span<const uint8_t> written, uint32_t count,
                                   const PageFormat& format, EccTally& tally);

}  // namespace jtagnand
