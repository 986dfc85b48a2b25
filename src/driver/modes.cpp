#include "driver/modes.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "driver/console_observer.h"
#include "jtag/chain.h"
#include "nand/nand_identify.h"
#include "nand/nand_program.h"
#include "targets/toggle_test.h"

namespace jtagnand {

Mode choose_mode(const RunOptions& options) {
  if (options.idcode_only) return Mode::kCheckIdcode;
  if (options.toggle_type != 0) return Mode::kToggleTest;
  if (options.dump_path != nullptr) return Mode::kDump;
  if (options.verify_only) return Mode::kVerifyOnly;
  if (options.erase_all) return Mode::kEraseAll;
  if (options.honour_markers && options.image_path == nullptr) return Mode::kScanMarkers;
  return Mode::kProgram;
}

namespace {

// The options as a set, for the table of refused combinations.
enum Given : uint32_t {
  kJ = 1U << 0,            // -j
  kT = 1U << 1,            // -t
  kF = 1U << 2,            // -f
  kE = 1U << 3,            // -e all
  kM = 1U << 4,            // -m
  kR = 1U << 5,            // -r
  kL = 1U << 6,            // -l
  kV = 1U << 7,            // -v
  kK = 1U << 8,            // -k
  kMarksAlone = 1U << 9,   // -m with nothing to write, compare or read: the mark scan
  kZeroLength = 1U << 10,  // -l 0
  kO = 1U << 11,           // -O
  kEcc = 1U << 12,         // -E
};

uint32_t given(const RunOptions& options) {
  const bool dump = options.dump_path != nullptr;
  const bool image = options.image_path != nullptr;
  uint32_t set = 0;
  const auto add = [&](bool present, Given bit) {
    if (present) set |= bit;
  };
  add(options.idcode_only, kJ);
  add(options.toggle_type != 0, kT);
  add(image, kF);
  add(options.erase_all, kE);
  add(options.honour_markers, kM);
  add(dump, kR);
  add(options.length_given, kL);
  add(options.verify_only, kV);
  add(options.skip_erased_pages, kK);
  add(options.honour_markers && !image && !options.erase_all && !dump && !options.verify_only,
      kMarksAlone);
  add(options.length_given && options.length == 0, kZeroLength);
  add(options.with_spare, kO);
  add(options.ecc != EccScheme::kNone, kEcc);
  return set;
}

// A combination refused: all of `all`, at least one of `any` (when it names
// any), none of `none`. The first row that matches gives the reason.
struct RefusedCombination {
  uint32_t all;
  uint32_t any;
  uint32_t none;
  const char* reason;
};

constexpr uint32_t kLaterOptions = kM | kR | kL | kV | kK;

constexpr RefusedCombination kRefusals[] = {
    {kJ, kLaterOptions, 0, "-j and -t go with none of -m, -r, -l, -v and -k"},
    {kT, kLaterOptions, 0, "-j and -t go with none of -m, -r, -l, -v and -k"},
    {kR | kF, 0, 0,
     "-r and -f do not go together: -r reads the flash into a file, -f writes an image"},
    {kR | kE, 0, 0, "-r and -e do not go together: reading the flash erases nothing"},
    {kR | kV, 0, 0, "-r and -v do not go together: -v compares the flash with the image of -f"},
    {kV, 0, kF, "-v needs the image to compare with: give it with -f"},
    {kV | kE, 0, 0, "-v and -e do not go together: verifying only erases nothing"},
    {kK, kR | kV, 0, "-k goes with programming only: -r and -v program nothing"},
    {kK, 0, kF, "-k needs an image to write: give it with -f"},
    {kL, 0, kR | kMarksAlone, "-l goes with -r, or with -m alone: an image's length is its own"},
    {kZeroLength, 0, 0, "-l needs a length above 0"},
    {kJ, kO | kEcc, 0, "-j and -t go with neither -O nor -E"},
    {kT, kO | kEcc, 0, "-j and -t go with neither -O nor -E"},
    {0, kO | kEcc, kF | kR, "-O and -E go with an image to write or verify (-f) or a dump (-r)"},
};

}  // namespace

bool options_combine(const RunOptions& options, Console& console) {
  const uint32_t set = given(options);
  for (const RefusedCombination& refusal : kRefusals) {
    if ((set & refusal.all) == refusal.all && (refusal.any == 0 || (set & refusal.any) != 0) &&
        (set & refusal.none) == 0) {
      print(console, "** Error: %s\n", refusal.reason);
      return false;
    }
  }
  return true;
}

namespace {

struct ModeRunner {
  Mode mode;
  RunOutcome (*run)(Run& run);
};

// The function behind each mode.
constexpr ModeRunner kModeRunners[] = {
    {Mode::kCheckIdcode, run_check_idcode},
    {Mode::kToggleTest, run_toggle_test},
    {Mode::kDump, run_dump},
    {Mode::kVerifyOnly, run_verify_only},
    {Mode::kEraseAll, run_erase_all},
    {Mode::kScanMarkers, run_scan_markers},
    {Mode::kProgram, run_program},
};

// Each mode has exactly one row (kProgram is the enum's last value).
constexpr bool each_mode_once() {
  std::array<int, static_cast<std::size_t>(Mode::kProgram) + 1> rows{};
  for (const ModeRunner& row : kModeRunners) ++rows[static_cast<std::size_t>(row.mode)];
  return std::ranges::all_of(rows, [](int n) { return n == 1; });
}
static_assert(each_mode_once());

}  // namespace

RunOutcome run_mode(Run& run, Mode mode) {
  for (const ModeRunner& row : kModeRunners)
    if (row.mode == mode) return row.run(run);
  return RunOutcome::kFailed;
}

namespace {

// Why the chain read does not match the board description, or empty when it
// does.
std::string chain_problem(const ActiveProfile& target, const ChainReading& reading) {
  const std::size_t described = target.tdi_side.size() + 1 + target.tdo_side.size();
  if (!reading.ended) {
    return "\nJTAG chain: the ones shifted in never came back out (TDO held low, or far more "
           "devices than the " +
           std::to_string(described) + " the board description lists)\n";
  }
  const std::size_t found = reading.devices.size();
  if (found == described) return {};
  return "\nJTAG chain: " + std::to_string(found) + (found == 1 ? " device" : " devices") +
         " answered, the board description lists " + std::to_string(described) +
         " (tdi_side, the CPU, tdo_side)\n";
}

// One line per device, from TDI to TDO as the board description lists them;
// the IR lengths only where the chain is as described.
void print_chain(Console& console, const ActiveProfile& target, const ChainReading& reading,
                 bool as_described) {
  console.write("\nJTAG chain from TDI to TDO:\n");
  const std::size_t count = reading.devices.size();
  const std::size_t cpu = target.tdi_side.size();
  for (std::size_t n = 0; n < count; ++n) {
    const ChainDevice& device = reading.devices[count - 1 - n];  // read TDO first
    std::string label = "  TAP " + std::to_string(n + 1);
    if (as_described) {
      const int ir = n < cpu    ? target.tdi_side[n]
                     : n == cpu ? target.instruction_length
                                : target.tdo_side[n - cpu - 1];
      label += " (IR " + std::to_string(ir) + (n == cpu ? ", CPU " + target.name : "") + ")";
    }
    if (device.has_idcode) {
      print(console, "%s: IDCODE 0x%08X\n", label.c_str(), device.idcode);
    } else {
      print(console, "%s: no IDCODE, bypass bit 0\n", label.c_str());
    }
  }
}

// The instruction-register lengths of the described chain, the device
// nearest TDO first.
std::vector<int> ir_lengths_from_tdo(const ActiveProfile& target) {
  std::vector<int> lengths(target.tdo_side.rbegin(), target.tdo_side.rend());
  lengths.push_back(target.instruction_length);
  lengths.insert(lengths.end(), target.tdi_side.rbegin(), target.tdi_side.rend());
  return lengths;
}

// The CPU is the one the profile is for: its IDCODE, read and compared
// ("OK!, ..." or "ERROR, ..."). For a described board the chain comes first,
// so that no instruction goes into a chain that is not as described: every
// device's IDCODE read after a TAP reset (listed with `show_chain`), then every
// instruction register's length. A described CPU without an IDCODE register
// is known by its bypass bit in its place.
bool check_cpu(Run& run, bool show_chain) {
  const ActiveProfile& target = run.target;
  if (target.chain_described) {
    const std::size_t devices = target.tdi_side.size() + 1 + target.tdo_side.size();
    const ChainReading reading = read_chain_idcodes(run.cable, static_cast<uint32_t>(devices));
    std::string problem = chain_problem(target, reading);
    if (problem.empty() && !chain_ir_matches(run.cable, ir_lengths_from_tdo(target))) {
      problem =
          "\nJTAG chain: the instruction registers are not as the board description gives "
          "them (tdi_side, the CPU's " +
          std::to_string(target.instruction_length) + " bits, tdo_side)\n";
    }
    // The devices get the description's roles (IR lengths, the CPU) only once
    // the chain has been found as described.
    if (show_chain && reading.ended && !reading.devices.empty())
      print_chain(run.console, target, reading, problem.empty());
    if (!problem.empty()) {
      run.console.write(problem);
      return false;
    }
    if (target.idcode_instruction.empty()) {
      const ChainDevice& cpu = reading.devices[target.tdo_side.size()];
      if (cpu.has_idcode) {
        print(run.console,
              "\nERROR, the CPU has no IDCODE register in its BSDL file, but IDCODE 0x%08X "
              "answered in its place\n",
              cpu.idcode);
        return false;
      }
      run.console.write("\nOK!, no IDCODE register: the CPU answered with its bypass bit\n");
      return true;
    }
  }
  const IdcodeCheck check =
      check_idcode(run.cable, target.chain, target.idcode_instruction, target.expected_idcode);
  print_idcode_check(run.console, check);
  return check.outcome == IdcodeOutcome::kMatch;
}

}  // namespace

// EXTEST is not loaded and the flash is not touched.
RunOutcome run_check_idcode(Run& run) {
  if (check_cpu(run, true)) return RunOutcome::kDone;
  run.console.write("Invalid JTAG ID\n");
  return RunOutcome::kFailed;
}

RunOutcome run_toggle_test(Run& run) {
  // A described board's pins are driven only once its chain and CPU are as
  // described: a scan into another chain would drive other pins.
  if (run.target.chain_described && !check_cpu(run, false)) {
    run.console.write("Fail, Read JTAG ID\n");
    return RunOutcome::kFailed;
  }
  ToggleContext context{run.cable, run.observer, run.target.boundary_length(), run.target.chain};
  const ToggleOutcome outcome =
      run_profile_toggle_test(context, run.target, run.options.toggle_type);
  return outcome == ToggleOutcome::kEscPressed ? RunOutcome::kEndNow : RunOutcome::kDone;
}

bool identify_flash(Run& run, NandBus& bus) {
  Console& console = run.console;
  if (!check_cpu(run, false)) {
    console.write("Fail, Read JTAG ID\n");
    return false;
  }
  run.start_time = run.clock.now_seconds();

  enter_extest(run.cable, run.target);
  nand_chip_select(bus, '1');
  if (const ChipIdentification identification = nand_identify(bus);
      identification.outcome != NandOutcome::kDone) {
    print_unsupported_chip(console, bus.flash, identification);
    console.write("Fail, Read Flash ID\n");
    return false;
  }
  print_chip(console, bus.flash);
  return true;
}

std::optional<uint64_t> flash_offset(Run& run, const ChipDescriptor& chip, const char* misaligned) {
  const RunOptions& options = run.options;
  if (options.write_offset != 0 && options.block_count != 0) {
    run.console.write("Invald Offset Option\n");
    return std::nullopt;
  }
  const uint32_t block_size = chip.block_size();
  const uint64_t offset = options.block_count != 0 ? uint64_t{options.block_count} * block_size
                                                   : uint64_t{options.write_offset};
  if ((offset & (block_size - 1)) != 0) {
    run.console.write(misaligned);
    return std::nullopt;
  }
  return offset;
}

std::optional<uint64_t> read_range(Run& run, const ChipDescriptor& chip, uint64_t offset) {
  const uint64_t total_size = chip.total_size();
  if (offset >= total_size) {
    print(run.console,
          "Range does not fit: offset 0x%" PRIx64 " is past the end of the %" PRIu64 "-byte chip\n",
          offset, total_size);
    return std::nullopt;
  }
  const uint64_t length =
      run.options.length_given ? uint64_t{run.options.length} : total_size - offset;
  if (length > total_size - offset) {
    print(run.console,
          "Range does not fit: %" PRIu64 " bytes at offset 0x%" PRIx64
          " run past the end of the %" PRIu64 "-byte chip\n",
          length, offset, total_size);
    return std::nullopt;
  }
  return length;
}

bool reset_for_reading(Run& run, NandBus& bus) {
  const NandOutcome reset = nand_reset(bus);
  print_pass_end(run.console, PassKind::kRead, reset);
  return reset == NandOutcome::kDone;
}

bool page_format(Run& run, const ChipDescriptor& chip, PageFormat& format) {
  const RunOptions& options = run.options;
  format = PageFormat{.with_spare = options.with_spare};
  if (options.ecc == EccScheme::kNone) return true;
  const std::string_view name = ecc_scheme_name(options.ecc);
  switch (EccCodec::fits(options.ecc, chip.page_size, chip.spare_size)) {
    case EccFit::kFits:
      run.ecc.emplace(options.ecc, chip.page_size, chip.spare_size);
      format.ecc = &*run.ecc;
      return true;
    case EccFit::kSmallPage:
      print(run.console,
            "** Error: -E %.*s needs pages of 2048 bytes or more: Linux's BCH has no layout for "
            "%u-byte pages (use -E hamming)\n",
            static_cast<int>(name.size()), name.data(), chip.page_size);
      return false;
    case EccFit::kSpareTooSmall:
      break;
  }
  print(run.console, "** Error: the ECC bytes of -E %.*s do not fit the %u-byte spare area\n",
        static_cast<int>(name.size()), name.data(), chip.spare_size);
  return false;
}

void print_ecc_tally(Console& console, EccScheme scheme, const EccTally& tally) {
  const std::string_view name = ecc_scheme_name(scheme);
  print(console, "\nECC %.*s: %" PRIu64 " bit%s corrected in %" PRIu64 " of %" PRIu64 " page%s\n",
        static_cast<int>(name.size()), name.data(), tally.corrected_bits,
        tally.corrected_bits == 1 ? "" : "s", tally.corrected_pages, tally.pages,
        tally.pages == 1 ? "" : "s");
}

void print_uncorrectable_pages(Console& console, const EccTally& tally, const char* what) {
  if (tally.uncorrectable.empty()) return;
  print(console, "\nECC ERROR: %zu uncorrectable page%s %s, at:", tally.uncorrectable.size(),
        tally.uncorrectable.size() == 1 ? "" : "s", what);
  for (std::size_t i = 0; i < tally.uncorrectable.size(); ++i) {
    if (i % 8 == 0) console.write("\n");
    print(console, " 0x%08" PRIX64, tally.uncorrectable[i]);
  }
  console.write("\n");
}

std::optional<ReadPlan> prepare_read(Run& run, NandBus& bus) {
  if (!identify_flash(run, bus)) return std::nullopt;
  const ChipDescriptor& chip = bus.flash.chip;
  PageFormat format;
  if (!page_format(run, chip, format)) return std::nullopt;
  const std::optional<uint64_t> offset = flash_offset(run, chip, "Not aligned reading address\n");
  if (!offset) return std::nullopt;
  const std::optional<uint64_t> length = read_range(run, chip, *offset);
  if (!length) return std::nullopt;
  if (run.options.with_spare && *length % chip.page_size != 0) {
    print(run.console,
          "** Error: with -O, -l must be a whole number of pages (%u bytes each); %" PRIu64
          " is not\n",
          chip.page_size, *length);
    return std::nullopt;
  }
  run.console.write("\n");
  if (!reset_for_reading(run, bus)) return std::nullopt;
  return ReadPlan{.offset = *offset, .length = *length, .format = format};
}

void print_block_list(Console& console, std::span<const uint64_t> offsets, uint32_t block_size) {
  if (offsets.empty()) return;
  console.write("BAD Block number #");
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    if (i % 10 == 0) console.write("\n");
    print(console, " [%04" PRIu64 "]", offsets[i] / block_size);
  }
  console.write("\n");
}

}  // namespace jtagnand
