#include "nand/nand_program.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <span>

#include "nand/nand_read.h"

namespace jtagnand {

namespace {

constexpr char kSelect = '0';
constexpr char kRelease = '1';

void print_progress(Console& console, uint64_t written, uint64_t length, uint64_t position) {
  print(console, "Write: %6" PRIu64 " / %" PRIu64 " [Byte] at 0x%08" PRIX64 "\r", written, length,
        position);
}

// Bad blocks below the start (only present after an erase of the whole chip)
// each push the image one block up.
uint64_t start_position(uint64_t offset, std::span<const uint64_t> bad, uint32_t block_size) {
  uint64_t position = offset;
  for (const uint64_t block : bad) {
    if (block < position) position += block_size;
  }
  return position;
}

// The flash offset just past the image's last byte once it is placed page by
// page, stepping over the bad blocks as the programming pass does.
uint64_t placed_end(uint64_t offset, uint64_t length, std::span<const uint64_t> bad,
                    uint32_t page_size, uint32_t block_size) {
  uint64_t position = start_position(offset, bad, block_size);
  uint64_t remaining = length;
  for (;;) {
    for (const uint64_t block : bad) {
      if (block == position) position += block_size;
    }
    if (remaining <= page_size) return position + remaining;
    position += page_size;
    remaining -= page_size;
  }
}

}  // namespace

bool nand_escape_pressed(Console& console) {
  return console.key_waiting() && console.read_key() == kKeyEsc;
}

int32_t nand_reset(NandBus& bus) {
  nand_chip_select(bus, kSelect);
  nand_command(bus, kNandCmdReset);
  const int32_t ready = nand_wait_ready(bus);
  nand_chip_select(bus, kRelease);
  return ready;
}

int32_t nand_erase_range(NandBus& bus, BadBlockList& bad_blocks, Console& console, uint64_t offset,
                         uint64_t length, bool honour_markers) {
  const uint64_t total_size = bus.flash.chip.total_size();
  const uint32_t block_size = bus.flash.chip.block_size();

  if (const int32_t ready = nand_reset(bus); ready != 0) {
    print(console, "\nNAND ERASE, reset command, NAND WAIT BUSY, ERROR\n");
    return ready;
  }
  print(console, "Erasing block ....");
  nand_chip_select(bus, kSelect);  // selected for the whole pass

  // A range that was asked to run to the chip's end (the whole chip) is done
  // when the last block is erased, however many bad blocks it met. Any other
  // range that bad blocks push past the end cannot hold its data.
  const uint64_t requested_end = offset + length;
  const bool runs_to_chip_end = requested_end == total_size;
  uint64_t limit = length;  // grows by one block per bad block
  uint64_t covered = 0;
  int32_t printed = 0;
  int32_t result = 0;

  if (limit > 0 && offset >= total_size) {
    print(console, "\nNot enough good blocks before the end of the chip: erase stopped\n");
    result = kNandPastChipEnd;
  }
  while (result == 0 && covered < limit) {
    if (printed % 10 == 0) print(console, "\n");
    print(console, " [%4" PRIu64 "]", offset / block_size);
    ++printed;

    // A marked block is never erased: the erase could succeed and wipe the
    // mark, and the block would then look good.
    bool marked = false;
    if (honour_markers) {
      if (const int32_t ready = nand_block_marked(bus, offset, marked); ready != 0) {
        print(console, "\nNAND READ, NAND WAIT BUSY, ERROR\n");
        result = ready;
        break;
      }
      if (marked) nand_print_marked_block(console, offset);
    }
    uint8_t status = 0;
    if (!marked) {
      nand_command(bus, kNandCmdErase);
      nand_address(bus, AddressKind::kRowOnly, offset);
      nand_command(bus, kNandCmdEraseConfirm);
      if (const int32_t ready = nand_wait_ready_then_status(bus, &status); ready != 0) {
        print(console, "\nNAND ERASE, NAND WAIT BUSY, ERROR\n");
        result = ready;
        break;
      }
      if ((status & kNandStatusFail) != 0) {
        print(console, "\nError erasing at 0x%" PRIx64 ", Maybe BAD BLOCK ....\n", offset);
        // With the marks honoured, a block that fails its erase gets one, so
        // that a later -r, -v or -m run steps over it too.
        if (honour_markers && nand_mark_block_bad(bus, offset) == 0) {
          print(console, "Marked bad in its spare area\n");
        }
      }
    }
    if (marked || (status & kNandStatusFail) != 0) {
      if (bad_blocks.count >= kBadBlockCapacity) {
        print(console, "\nMore than %d bad blocks: erase stopped\n", kBadBlockCapacity);
        result = kNandBadBlockListFull;
        break;
      }
      bad_blocks.offsets[static_cast<size_t>(bad_blocks.count)] = offset;
      ++bad_blocks.count;
      limit += block_size;
    }

    offset += block_size;
    if (offset >= total_size) {
      if (covered + block_size < limit && !runs_to_chip_end) {
        print(console, "\nNot enough good blocks before the end of the chip: erase stopped\n");
        result = kNandPastChipEnd;
      }
      break;
    }
    if (nand_escape_pressed(console)) {
      print(console, "\nStopped by ESC: erase not finished\n");
      result = kNandStoppedByUser;
      break;
    }
    covered += block_size;
  }

  nand_chip_select(bus, kRelease);
  print(console, "\n");
  return result;
}

int32_t nand_program_image(NandBus& bus, const BadBlockList& bad_blocks, Console& console,
                           uint64_t offset, const uint8_t* data, uint64_t length,
                           const ProgramOptions& options, ProgramReport* report) {
  const uint64_t total_size = bus.flash.chip.total_size();
  const uint32_t page_size = bus.flash.chip.page_size;
  const uint32_t block_size = bus.flash.chip.block_size();
  const auto bad = std::span(bad_blocks.offsets).first(static_cast<size_t>(bad_blocks.count));

  // The image is written whole or not at all: where bad blocks would push its
  // end past the chip, nothing is programmed.
  if (placed_end(offset, length, bad, page_size, block_size) > total_size) {
    print(console, "\nNot enough good blocks before the end of the chip: nothing written\n");
    return kNandPastChipEnd;
  }

  uint64_t position = start_position(offset, bad, block_size);

  uint64_t remaining = length;
  auto chunk = static_cast<uint32_t>(std::min<uint64_t>(length, page_size));
  int32_t result = 0;
  print_progress(console, 0, length, position);

  for (;;) {
    // The start is block aligned and position moves by whole pages, so a bad
    // block is met at its first page; the list is ascending, so one walk steps
    // over a run of adjacent bad blocks.
    for (const uint64_t block : bad) {
      if (block == position) {
        print(console, "\nSkip bad block at 0x%" PRIx64 "\n", position);
        position += block_size;
      }
    }

    const bool erased_page = options.skip_erased_pages &&
                             std::all_of(data, data + chunk, [](uint8_t b) { return b == 0xFF; });
    if (erased_page) {
      if (report != nullptr) ++report->skipped_pages;
    } else {
      nand_chip_select(bus, kSelect);
      nand_command(bus, kNandCmdProgram);
      nand_address(bus, AddressKind::kColumnAndRow, position);
      nand_write_bytes(bus, data, static_cast<int32_t>(chunk));
      nand_command(bus, kNandCmdProgramConfirm);
      uint8_t status = 0;
      if (const int32_t ready = nand_wait_ready_then_status(bus, &status); ready != 0) {
        print(console, "\nNAND WRITE, NAND WAIT BUSY, ERROR\n");
        result = ready;
        break;
      }
      nand_chip_select(bus, kRelease);
      if ((status & kNandStatusFail) != 0) {
        print(console, "\nError, Programming, Status ERROR !!, ADDR: 0x%" PRIX64 "\n", position);
        result = -1;
        break;
      }
    }

    if (const int32_t verified = nand_verify_page(bus, console, position, data, chunk);
        verified != 0) {
      result = verified;
      break;
    }

    if (remaining <= page_size) {
      position += chunk;  // just past the image's last byte
      remaining = 0;
      break;
    }
    position += page_size;
    data += page_size;
    remaining -= page_size;
    if (remaining < page_size) chunk = static_cast<uint32_t>(remaining);
    print_progress(console, length - remaining, length, position);

    if (nand_escape_pressed(console)) {
      print(console, "\nStopped by ESC: write not finished\n");
      result = kNandStoppedByUser;
      break;
    }
  }

  nand_chip_select(bus, kRelease);
  if (result == 0) print_progress(console, length - remaining, length, position);
  return result;
}

void nand_print_compare_error(Console& console, uint64_t address, uint8_t read, uint8_t written) {
  print(console, "\n\nCompare ERROR: flash addr: 0x%" PRIx64 "\n", address);
  print(console, "                 RD: 0x%X, WR: 0x%X\n", read, written);
}

int32_t nand_verify_page(NandBus& bus, Console& console, uint64_t offset, const uint8_t* written,
                         uint32_t count) {
  std::array<uint8_t, kNandMaxPageSize> read_back{};
  count = std::min<uint32_t>(count, read_back.size());

  if (nand_read_page(bus, offset, read_back.data(), count) != 0) {
    print(console, "\nNAND READ, NAND WAIT BUSY, ERROR\n");
    return -1;
  }
  // Only the first difference is reported.
  for (uint32_t i = 0; i < count; ++i) {
    if (read_back[i] == written[i]) continue;
    nand_print_compare_error(console, offset + i, read_back[i], written[i]);
    return -1;
  }
  return 0;
}

}  // namespace jtagnand
