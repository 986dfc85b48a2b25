#include "nand/nand_read.h"

#include <algorithm>
#include <array>
#include <cinttypes>

#include "nand/nand_program.h"

namespace jtagnand {

namespace {

constexpr char kSelect = '0';
constexpr char kRelease = '1';

// 512-byte-page chips without a read confirm reach their spare area through a
// read command of its own; the others through the column address.
[[nodiscard]] bool spare_by_pointer(const ChipDescriptor& chip) {
  return chip.page_size == 512 && !chip.read_confirm;
}

void print_read_progress(Console& console, const char* label, uint64_t done, uint64_t length,
                         uint64_t position) {
  print(console, "%s: %6" PRIu64 " / %" PRIu64 " [Byte] at 0x%08" PRIX64 "\r", label, done, length,
        position);
}

}  // namespace

int32_t nand_read_page(NandBus& bus, uint64_t offset, uint8_t* out, uint32_t count) {
  nand_chip_select(bus, kSelect);
  nand_command(bus, kNandCmdRead);
  nand_address(bus, AddressKind::kColumnAndRow, offset);
  if (bus.flash.chip.read_confirm) nand_command(bus, kNandCmdReadConfirm);
  const int32_t result = nand_wait_ready(bus);
  if (result == 0) nand_read_bytes(bus, out, static_cast<int32_t>(count));
  nand_chip_select(bus, kRelease);
  return result;
}

int32_t nand_read_spare(NandBus& bus, uint64_t row, uint32_t first, uint8_t* out, uint32_t count) {
  const ChipDescriptor& chip = bus.flash.chip;
  const bool by_pointer = spare_by_pointer(chip);
  AddressBytes bytes{};
  const int cycles = nand_row_column_bytes(chip, AddressKind::kColumnAndRow, row,
                                           by_pointer ? first : chip.page_size + first, bytes);
  nand_command(bus, by_pointer ? kNandCmdReadSpare : kNandCmdRead);
  nand_address_cycles(bus, bytes, cycles);
  if (chip.read_confirm) nand_command(bus, kNandCmdReadConfirm);
  if (nand_wait_ready(bus) != 0) return -1;
  nand_read_bytes(bus, out, static_cast<int32_t>(count));
  if (by_pointer) nand_command(bus, kNandCmdRead);
  return 0;
}

int32_t nand_block_marked(NandBus& bus, uint64_t block_offset, bool& marked) {
  const ChipDescriptor& chip = bus.flash.chip;
  const uint64_t first_row = block_offset / chip.page_size;
  const struct {
    uint8_t flag;
    uint64_t page;
  } pages[] = {
      {kMarkerFirstPage, 0}, {kMarkerSecondPage, 1}, {kMarkerLastPage, chip.pages_per_block - 1u}};
  marked = false;
  for (const auto& p : pages) {
    if ((chip.marker.pages & p.flag) == 0) continue;
    uint8_t mark = 0xFF;
    if (nand_read_spare(bus, first_row + p.page, chip.marker.spare_byte, &mark, 1) != 0) {
      return -1;
    }
    if (mark != 0xFF) {
      marked = true;  // one mark is enough: the other pages need not be read
      return 0;
    }
  }
  return 0;
}

int32_t nand_mark_block_bad(NandBus& bus, uint64_t block_offset) {
  const ChipDescriptor& chip = bus.flash.chip;
  const bool by_pointer = spare_by_pointer(chip);
  AddressBytes bytes{};
  const uint32_t column = chip.marker.spare_byte + (by_pointer ? 0 : chip.page_size);
  const int cycles = nand_row_column_bytes(chip, AddressKind::kColumnAndRow,
                                           block_offset / chip.page_size, column, bytes);
  // On 512-byte pages the pointer command aims the program at the spare area.
  if (by_pointer) nand_command(bus, kNandCmdReadSpare);
  nand_command(bus, kNandCmdProgram);
  nand_address_cycles(bus, bytes, cycles);
  const uint8_t mark = 0x00;
  nand_write_bytes(bus, &mark, 1);
  nand_command(bus, kNandCmdProgramConfirm);
  uint8_t status = 0;
  const int32_t ready = nand_wait_ready_then_status(bus, &status);
  if (by_pointer) nand_command(bus, kNandCmdRead);
  return ready;
}

void nand_print_marked_block(Console& console, uint64_t offset) {
  print(console, "\nFactory-marked bad block at 0x%" PRIx64 ", skipped\n", offset);
}

int32_t nand_read_range(NandBus& bus, Console& console, uint64_t offset, uint64_t length,
                        const ReadPass& pass, const PageSink& sink, uint64_t& done) {
  const ChipDescriptor& chip = bus.flash.chip;
  const uint64_t total_size = chip.total_size();
  const uint32_t page_size = chip.page_size;
  const uint32_t block_size = chip.block_size();
  std::array<uint8_t, kNandMaxPageSize> page{};

  uint64_t position = offset;
  done = 0;
  print_read_progress(console, pass.label, 0, length, position);
  while (done < length) {
    // The start is block aligned and the position moves by whole pages, so a
    // block is met at its first page.
    while (pass.honour_markers && position < total_size && position % block_size == 0) {
      bool marked = false;
      nand_chip_select(bus, kSelect);
      const int32_t ready = nand_block_marked(bus, position, marked);
      nand_chip_select(bus, kRelease);
      if (ready != 0) {
        print(console, "\nNAND READ, NAND WAIT BUSY, ERROR\n");
        return -1;
      }
      if (!marked) break;
      nand_print_marked_block(console, position);
      position += block_size;
      if (pass.to_chip_end) length -= std::min<uint64_t>(block_size, length - done);
    }
    if (done >= length) break;  // the blocks left were all marked
    if (position >= total_size) {
      print(console, "\nNot enough good blocks before the end of the chip: %s stopped\n",
            pass.word);
      return kNandPastChipEnd;
    }

    const auto chunk = static_cast<uint32_t>(std::min<uint64_t>(length - done, page_size));
    if (nand_read_page(bus, position, page.data(), chunk) != 0) {
      print(console, "\nNAND READ, NAND WAIT BUSY, ERROR\n");
      return -1;
    }
    if (const int32_t taken = sink(done, position, std::span<const uint8_t>(page.data(), chunk));
        taken != 0) {
      return taken;
    }
    done += chunk;
    position += chunk;
    print_read_progress(console, pass.label, done, length, position);
    if (done < length && nand_escape_pressed(console)) {
      print(console, "\nStopped by ESC: %s not finished\n", pass.word);
      return kNandStoppedByUser;
    }
  }
  return 0;
}

int32_t nand_scan_markers(NandBus& bus, Console& console, uint64_t offset, uint64_t end,
                          std::vector<uint64_t>& marked) {
  const uint32_t block_size = bus.flash.chip.block_size();
  const uint64_t blocks = (end - offset) / block_size;
  auto progress = [&](uint64_t scanned, uint64_t position) {
    print(console, "Scan: %6" PRIu64 " / %" PRIu64 " [Block] at 0x%08" PRIX64 "\r", scanned, blocks,
          position);
  };
  progress(0, offset);
  int32_t result = 0;
  nand_chip_select(bus, kSelect);  // selected for the whole scan
  for (uint64_t position = offset, scanned = 0; position < end;) {
    bool is_marked = false;
    if (nand_block_marked(bus, position, is_marked) != 0) {
      print(console, "\nNAND READ, NAND WAIT BUSY, ERROR\n");
      result = -1;
      break;
    }
    if (is_marked) marked.push_back(position);
    position += block_size;
    progress(++scanned, position);
    if (position < end && nand_escape_pressed(console)) {
      print(console, "\nStopped by ESC: scan not finished\n");
      result = kNandStoppedByUser;
      break;
    }
  }
  nand_chip_select(bus, kRelease);
  return result;
}

int32_t nand_compare_image(NandBus& bus, Console& console, uint64_t offset, const uint8_t* image,
                           uint64_t length, bool honour_markers, uint64_t& differing) {
  differing = 0;
  const PageSink compare = [&](uint64_t done, uint64_t position, std::span<const uint8_t> bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      const uint8_t written = image[done + i];
      if (bytes[i] == written) continue;
      // The first difference is shown as the read-back after programming
      // shows it; the rest are counted.
      if (differing == 0) nand_print_compare_error(console, position + i, bytes[i], written);
      ++differing;
    }
    return 0;
  };
  const ReadPass pass{.label = "Verify", .word = "verify", .honour_markers = honour_markers};
  uint64_t done = 0;
  return nand_read_range(bus, console, offset, length, pass, compare, done);
}

}  // namespace jtagnand
