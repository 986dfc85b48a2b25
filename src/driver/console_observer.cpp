#include "driver/console_observer.h"

#include <array>
#include <cinttypes>
#include <cstddef>
#include <string>

#include "nand/nand_program.h"

namespace jtagnand {

namespace {

// A pass's names: in its progress line, and in "Stopped by ESC: <word> not
// finished", in the order of PassKind.
struct PassNames {
  const char* label;
  const char* word;
};
constexpr std::array<PassNames, 5> kPassNames{{
    {"Erase", "erase"},
    {"Write", "write"},
    {"Read", "read"},
    {"Verify", "verify"},
    {"Scan", "scan"},
}};
static_assert(static_cast<std::size_t>(PassKind::kScan) + 1 == kPassNames.size());

const PassNames& names_of(PassKind pass) {
  return kPassNames[static_cast<std::size_t>(pass)];
}

}  // namespace

void ConsoleObserver::progress(PassKind pass, uint64_t done, uint64_t total, uint64_t position) {
  print(console_, "%s: %6" PRIu64 " / %" PRIu64 " [%s] at 0x%08" PRIX64 "\r", names_of(pass).label,
        done, total, pass == PassKind::kScan ? "Block" : "Byte", position);
}

void ConsoleObserver::erase_started() {
  console_.write("Erasing block ....");
}

void ConsoleObserver::erasing_block(uint64_t met, uint64_t block_number) {
  if (met % 10 == 0) console_.write("\n");
  print(console_, " [%4" PRIu64 "]", block_number);
}

void ConsoleObserver::noted(PassNote note, uint64_t offset) {
  // One line per note, in the order of PassNote, each with the offset.
  static constexpr std::array<const char*, 6> kLines{
      "\nFactory-marked bad block at 0x%" PRIx64 ", skipped\n",
      "\nError erasing at 0x%" PRIx64 ", Maybe BAD BLOCK ....\n",
      "\nSkip bad block at 0x%" PRIx64 "\n",
      "\nError, Programming, Status ERROR !!, ADDR: 0x%" PRIX64 "\n",
      "Block at 0x%" PRIx64 " marked bad in its spare area\n",
      "\n\nECC ERROR: uncorrectable page at flash addr: 0x%" PRIx64 "\n",
  };
  static_assert(static_cast<std::size_t>(PassNote::kUncorrectable) + 1 == kLines.size());
  print(console_, kLines[static_cast<std::size_t>(note)], offset);
}

void ConsoleObserver::compare_error(uint64_t address, uint8_t read, uint8_t written) {
  print(console_, "\n\nCompare ERROR: flash addr: 0x%" PRIx64 "\n", address);
  print(console_, "                 RD: 0x%X, WR: 0x%X\n", read, written);
}

void ConsoleObserver::spare_compare_error(uint64_t page_offset, uint32_t index, uint8_t read,
                                          uint8_t written) {
  print(console_, "\n\nCompare ERROR: flash addr: 0x%" PRIx64 ", spare byte %u\n", page_offset,
        index);
  print(console_, "                 RD: 0x%X, WR: 0x%X\n", read, written);
}

void ConsoleObserver::toggle_started(ToggleStart start) {
  switch (start) {
    case ToggleStart::kAllPins:
      console_.write("\nOutput toggled value to all pin\n Enter ESC to EXIT\n");
      return;
    case ToggleStart::kFlashPins:
      console_.write(
          "\nOutput toggled value to the flash pins of the board description:\n"
          " D0-D7, CLE, ALE, nWE, nRE (nCE held high)\n Enter ESC to EXIT\n");
      return;
    case ToggleStart::kNothingToggled:
      console_.write("TOMUX BOUNDARY TEST\n");
      return;
  }
}

bool ConsoleObserver::stop_requested() {
  return console_.key_waiting() && console_.read_key() == kKeyEsc;
}

void print_pass_end(Console& console, PassKind pass, NandOutcome outcome) {
  switch (outcome) {
    case NandOutcome::kResetNotReady:
      print(console, "\nNAND %s, reset command, NAND WAIT BUSY, ERROR\n",
            pass == PassKind::kErase ? "ERASE" : "READ");
      return;
    case NandOutcome::kEraseNotReady:
      console.write("\nNAND ERASE, NAND WAIT BUSY, ERROR\n");
      return;
    case NandOutcome::kProgramNotReady:
      console.write("\nNAND WRITE, NAND WAIT BUSY, ERROR\n");
      return;
    case NandOutcome::kReadNotReady:
      console.write("\nNAND READ, NAND WAIT BUSY, ERROR\n");
      return;
    case NandOutcome::kBadBlockListFull:
      print(console, "\nMore than %d bad blocks: erase stopped\n", kBadBlockCapacity);
      return;
    case NandOutcome::kPastChipEnd: {
      const std::string what = pass == PassKind::kWrite
                                   ? "nothing written"
                                   : std::string(names_of(pass).word) + " stopped";
      print(console, "\nNot enough good blocks before the end of the chip: %s\n", what.c_str());
      return;
    }
    case NandOutcome::kStoppedByUser:
      print(console, "\nStopped by ESC: %s not finished\n", names_of(pass).word);
      return;
    case NandOutcome::kDone:
    case NandOutcome::kProgramFailed:
    case NandOutcome::kCompareError:
    case NandOutcome::kSinkFailed:
    case NandOutcome::kUnknownChip:
    case NandOutcome::kUnsupportedChip:
      return;
  }
}

void print_erase_end(Console& console, NandOutcome outcome) {
  print_pass_end(console, PassKind::kErase, outcome);
  if (outcome != NandOutcome::kResetNotReady) console.write("\n");
}

void print_chip(Console& console, const FlashInfo& flash) {
  print(console, "Maker = 0x%X, Device = 0x%X\n", flash.maker_code, flash.device_code);
  print(console, "NAND DEVICE: %s\n", flash.chip.name);
  if (flash.source == ChipSource::kBuiltin) return;
  const ChipDescriptor& chip = flash.chip;
  print(console,
        "Page %" PRIu32 "+%" PRIu32 " bytes, %" PRIu32 " pages per block, %" PRIu64 " blocks",
        chip.page_size, chip.spare_size, chip.pages_per_block, chip.blocks());
  if (chip.luns > 1) print(console, " in %" PRIu32 " LUNs", chip.luns);
  console.write("\n");
}

void print_unsupported_chip(Console& console, const FlashInfo& flash,
                            const ChipIdentification& identification) {
  if (identification.outcome == NandOutcome::kUnknownChip) {
    console.write("Cannot support this device\n");
    return;
  }
  if (identification.described) {
    print_chip(console, flash);
  } else {
    print(console, "Maker = 0x%X, Device = 0x%X\n", flash.maker_code, flash.device_code);
  }
  const std::string reason(chip_fault_text(identification.fault));
  print(console, "Cannot support this device: %s\n", reason.c_str());
}

void print_idcode_check(Console& console, const IdcodeCheck& check) {
  print(
      console,
      check.outcome == IdcodeOutcome::kMatch ? "\nOK!, JTAG ID:   %s\n" : "\nERROR, Your ID: %s\n",
      check.bits.data());
}

}  // namespace jtagnand
