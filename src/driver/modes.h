#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "driver/run.h"
#include "nand/nand_bus.h"
#include "nand/page_format.h"

namespace jtagnand {

// The job of a run, decided once from the options, whatever their order on the
// command line: -j over -t over -r over -v over the rest. Each mode is one
// function; a new mode is a value here, its function, and its row in
// run_mode's table (whose compile-time check names the last value).
enum class Mode : uint8_t {
  kCheckIdcode,  // -j: the CPU's IDCODE only
  kToggleTest,   // -t: the profile's pin toggle test
  kDump,         // -r FILE: the flash read into a file
  kVerifyOnly,   // -v: the image of -f compared with the flash, nothing written
  kEraseAll,     // -e all: the whole chip after a Y/N question, then the image if one was given
  kScanMarkers,  // -m with no -f and no -e: the factory-marked blocks listed
  kProgram,      // the image where -o or -b puts it (only the chip identified without one)
};

[[nodiscard]] Mode choose_mode(const RunOptions& options);

// Refuses the options that do not go together ("** Error: ..."), before the
// target is touched: false when the run must stop. Runs without the later
// options (-m, -r, -l, -v, -k) always pass.
[[nodiscard]] bool options_combine(const RunOptions& options, Console& console);

// Runs `mode`; the CPU profile is selected.
[[nodiscard]] RunOutcome run_mode(Run& run, Mode mode);

[[nodiscard]] RunOutcome run_check_idcode(Run& run);
[[nodiscard]] RunOutcome run_toggle_test(Run& run);
[[nodiscard]] RunOutcome run_erase_all(Run& run);
[[nodiscard]] RunOutcome run_program(Run& run);
[[nodiscard]] RunOutcome run_dump(Run& run);
[[nodiscard]] RunOutcome run_verify_only(Run& run);
[[nodiscard]] RunOutcome run_scan_markers(Run& run);

// The first step of every mode that works on the flash: the CPU's IDCODE
// ("Fail, Read JTAG ID\n" when it does not match), the start time, EXTEST, the
// chip released and identified ("Fail, Read Flash ID\n" when it is unknown or
// cannot be driven) and its lines printed. False when the run must stop; the
// chip is then in bus.flash.
[[nodiscard]] bool identify_flash(Run& run, NandBus& bus);

// The steps below give what they worked out, or nothing when the run must
// stop: each has then said why.

// The flash offset that -o or -b gives, once the chip is known: nothing after
// "Invald Offset Option\n" (both given) or `misaligned` (not on a block
// boundary). Computed in 64 bits, so a block count too large for the chip is
// caught later instead of wrapping around.
[[nodiscard]] std::optional<uint64_t> flash_offset(Run& run, const ChipDescriptor& chip,
                                                   const char* misaligned);

// The length of the range that -r reads or -m alone scans: from the offset, -l
// bytes or (without -l) to the chip's end. Nothing after "Range does not fit:
// ..." when it does not lie on the chip.
[[nodiscard]] std::optional<uint64_t> read_range(Run& run, const ChipDescriptor& chip,
                                                 uint64_t offset);

// The chip reset before a pass that only reads: false after "NAND READ, reset
// command, NAND WAIT BUSY, ERROR\n" when the chip never becomes ready.
[[nodiscard]] bool reset_for_reading(Run& run, NandBus& bus);

// Where a pass that reads a range works.
struct ReadPlan {
  uint64_t offset = 0;  // block aligned
  uint64_t length = 0;  // main-area bytes
  PageFormat format{};  // -O and -E
};

// The steps before a pass that reads a range (-r, -m alone): the chip
// identified, the format of -O and -E, the offset of -o/-b, the range of -l
// (whole pages under -O), a line end, the chip reset.
[[nodiscard]] std::optional<ReadPlan> prepare_read(Run& run, NandBus& bus);

// The format of -O and -E for the chip once it is known (the ECC codec kept in
// run.ecc): false after "** Error: ..." when the scheme cannot serve the chip
// (BCH on 512-byte pages, a spare area too small).
[[nodiscard]] bool page_format(Run& run, const ChipDescriptor& chip, PageFormat& format);

// "ECC hamming: N bits corrected in M of P pages"
void print_ecc_tally(Console& console, EccScheme scheme, const EccTally& tally);

// The pages ECC could not correct, by flash offset, eight to a line, after
// `what` happened to them; nothing for none.
void print_uncorrectable_pages(Console& console, const EccTally& tally, const char* what);

// "BAD Block number #", then the block numbers ten to a line; nothing for an
// empty list.
void print_block_list(Console& console, std::span<const uint64_t> offsets, uint32_t block_size);

}  // namespace jtagnand
