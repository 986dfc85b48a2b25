#pragma once

// Reading the flash: pages, the spare area's factory bad-block marks, and the
// passes that walk a range page by page (dump, verify only) or block by block
// (the mark scan).

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "nand/nand_bus.h"
#include "nand/nand_outcome.h"
#include "nand/page_format.h"
#include "nand/pass_observer.h"

namespace jtagnand {

// Read for the spare area of a 512-byte page: the column cycle then counts
// from the first spare byte.
inline constexpr uint8_t kNandCmdReadSpare = 0x50;

// Reads the first `count` bytes of the page at `offset` (page aligned):
// select, 0x00, address, 0x30 on chips that confirm, ready wait, data out,
// release. kDone or kReadNotReady.
NandOutcome nand_read_page(NandBus& bus, uint64_t offset, uint8_t* out, uint32_t count);

// The start of a page read: select, 0x00, address, 0x30 on chips that confirm.
void nand_start_page_read(NandBus& bus, uint64_t offset);

// What a pass started ahead on a cable that reads ahead, in the round trip
// that carried the bytes of the page before (the chip known ready then): the
// read or the program of the page at `offset`, its ready wait begun. The chip
// is selected while anything is started.
struct StartedAhead {
  enum class Kind : uint8_t { kNothing, kRead, kProgram };
  Kind kind = Kind::kNothing;
  uint64_t offset = 0;
  ReadyWait wait{};
};

// Brings the page at `offset` ready for its data reads, the chip selected:
// the read begun ahead when `ahead` holds it (its wait finished), else a read
// of its own (what nand_read_page does before the bytes). Anything else begun
// ahead is finished first. kDone, or kReadNotReady with the chip released.
NandOutcome nand_page_loaded(NandBus& bus, StartedAhead& ahead, uint64_t offset);

// Lets what was begun ahead finish (its outcome unused) and releases the chip,
// so that a pass that ends early leaves it ready.
void nand_finish_ahead(NandBus& bus, StartedAhead& ahead);

// Reads `count` bytes of the spare area of page `row` (page number within the
// chip) from spare byte `first`, with the chip selected (it stays so). On
// 512-byte pages: 0x50 with the column within the spare area, then 0x00 so
// that the next program's data goes to the main area again (the spare pointer
// would otherwise stay). On larger pages: 0x00 with column = page size +
// `first`, and the read confirm. kDone or kReadNotReady.
NandOutcome nand_read_spare(NandBus& bus, uint64_t row, uint32_t first, uint8_t* out,
                            uint32_t count);

// Whether the block at `block_offset` carries the maker's bad-block mark: the
// descriptor's marker byte is not 0xFF in any of the pages it names. The chip
// is selected (it stays so). kDone or kReadNotReady.
NandOutcome nand_block_marked(NandBus& bus, uint64_t block_offset, bool& marked);

// Marks the block at `block_offset` bad as the makers and Linux do: 0x00
// programmed at the descriptor's marker byte in the spare area of its first
// page, so that every later run that honours the marks steps over it. The
// chip is selected (it stays so). kDone or kProgramNotReady; a failing program
// is not reported (the block is bad already).
NandOutcome nand_mark_block_bad(NandBus& bus, uint64_t block_offset);

// A pass that reads a range page by page.
struct ReadPass {
  // What the observer is told the pass is: kRead or kVerify.
  PassKind kind = PassKind::kRead;
  // Marked blocks are stepped over, as the programming pass steps over the
  // bad blocks: the same range from the same offset gives the same bytes back.
  bool honour_markers = false;
  // The range is every good byte from the offset to the chip's end: each
  // marked block met takes its size off the length.
  bool to_chip_end = false;
  // Pages read whole with their spare area: corrected through the ECC (what
  // it found goes into `tally`), the spare bytes handed on after the main
  // area's with `with_spare`.
  PageFormat format{};
  EccTally* tally = nullptr;
};

// Takes the bytes of one page (or of the range's last, shorter piece) as they
// are read, followed by its spare bytes when the pass's format has them: `done` bytes of the range
// came before them, `position` is where they are on the flash. Returns kDone to go on; anything
// else ends the pass with that outcome (kSinkFailed: the sink has said why).
using PageSink =
    std::function<NandOutcome(uint64_t done, uint64_t position, std::span<const uint8_t> bytes)>;

// Reads `length` bytes from `offset` (block aligned, inside the chip), page by
// page, into `sink`, with progress after each page and a stop looked for
// between pages; marked blocks stepped over are noted. `done` ends as the
// bytes handed on. Ends kDone, kReadNotReady, kStoppedByUser, kPastChipEnd
// (marked blocks pushed the range past the chip's end), or the sink's outcome.
// On a cable that reads ahead, each page's bytes come back in the round trip
// that starts the next page's read (within a block when marks are honoured:
// the next block's marks are read first).
NandOutcome nand_read_range(NandBus& bus, PassObserver& observer, uint64_t offset, uint64_t length,
                            const ReadPass& pass, const PageSink& sink, uint64_t& done);

// Reads the marks of the blocks from `offset` to `end` (block aligned), with
// progress in blocks (kScan) and a stop looked for between blocks, and
// appends the offsets of the marked ones to `marked`. Ends kDone,
// kReadNotReady or kStoppedByUser.
NandOutcome nand_scan_markers(NandBus& bus, PassObserver& observer, uint64_t offset, uint64_t end,
                              std::vector<uint64_t>& marked);

// Reads `length` image bytes back from `offset` as the programming pass placed
// them (stepping over marked blocks when `honour_markers`) and compares, on to
// the image's end. The first difference goes to the observer. Ends as
// nand_read_range does (kVerify); `differing` counts the bytes that differ.
// With a format, `image` holds the spare bytes after each page and `length`
// counts the main-area bytes; the ECC's own bytes are not compared.
NandOutcome nand_compare_image(NandBus& bus, PassObserver& observer, uint64_t offset,
                               const uint8_t* image, uint64_t length, bool honour_markers,
                               uint64_t& differing, const PageFormat& format = {},
                               EccTally* tally = nullptr);

}  // namespace jtagnand
