#include "nand/nand_read.h"

#include <algorithm>
#include <array>

namespace jtagnand {

namespace {

constexpr char kSelect = '0';
constexpr char kRelease = '1';

// 512-byte-page chips without a read confirm reach their spare area through a
// read command of its own; the others through the column address.
[[nodiscard]] bool spare_by_pointer(const ChipDescriptor& chip) {
  return chip.page_size == 512 && !chip.read_confirm;
}

}  // namespace

NandOutcome nand_read_page(NandBus& bus, uint64_t offset, uint8_t* out, uint32_t count) {
  nand_chip_select(bus, kSelect);
  nand_command(bus, kNandCmdRead);
  nand_address(bus, AddressKind::kColumnAndRow, offset);
  if (bus.flash.chip.read_confirm) nand_command(bus, kNandCmdReadConfirm);
  const int32_t result = nand_wait_ready(bus);
  if (result == 0) nand_read_bytes(bus, out, static_cast<int32_t>(count));
  nand_chip_select(bus, kRelease);
  return result == 0 ? NandOutcome::kDone : NandOutcome::kReadNotReady;
}

NandOutcome nand_read_spare(NandBus& bus, uint64_t row, uint32_t first, uint8_t* out,
                            uint32_t count) {
  const ChipDescriptor& chip = bus.flash.chip;
  const bool by_pointer = spare_by_pointer(chip);
  AddressBytes bytes{};
  const int cycles = nand_row_column_bytes(chip, AddressKind::kColumnAndRow, row,
                                           by_pointer ? first : chip.page_size + first, bytes);
  nand_command(bus, by_pointer ? kNandCmdReadSpare : kNandCmdRead);
  nand_address_cycles(bus, bytes, cycles);
  if (chip.read_confirm) nand_command(bus, kNandCmdReadConfirm);
  if (nand_wait_ready(bus) != 0) return NandOutcome::kReadNotReady;
  nand_read_bytes(bus, out, static_cast<int32_t>(count));
  if (by_pointer) nand_command(bus, kNandCmdRead);
  return NandOutcome::kDone;
}

NandOutcome nand_block_marked(NandBus& bus, uint64_t block_offset, bool& marked) {
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
    if (const NandOutcome read =
            nand_read_spare(bus, first_row + p.page, chip.marker.spare_byte, &mark, 1);
        read != NandOutcome::kDone) {
      return read;
    }
    if (mark != 0xFF) {
      marked = true;  // one mark is enough: the other pages need not be read
      return NandOutcome::kDone;
    }
  }
  return NandOutcome::kDone;
}

NandOutcome nand_mark_block_bad(NandBus& bus, uint64_t block_offset) {
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
  const bool ready = nand_wait_ready_then_status(bus, &status) == 0;
  if (by_pointer) nand_command(bus, kNandCmdRead);
  return ready ? NandOutcome::kDone : NandOutcome::kProgramNotReady;
}

NandOutcome nand_read_range(NandBus& bus, PassObserver& observer, uint64_t offset, uint64_t length,
                            const ReadPass& pass, const PageSink& sink, uint64_t& done) {
  const ChipDescriptor& chip = bus.flash.chip;
  const uint64_t total_size = chip.total_size();
  const uint32_t page_size = chip.page_size;
  const uint32_t block_size = chip.block_size();
  std::array<uint8_t, kNandMaxPageSize> page{};

  uint64_t position = offset;
  done = 0;
  observer.progress(pass.kind, 0, length, position);
  while (done < length) {
    // The start is block aligned and the position moves by whole pages, so a
    // block is met at its first page.
    while (pass.honour_markers && position < total_size && position % block_size == 0) {
      bool marked = false;
      nand_chip_select(bus, kSelect);
      const NandOutcome read = nand_block_marked(bus, position, marked);
      nand_chip_select(bus, kRelease);
      if (read != NandOutcome::kDone) return read;
      if (!marked) break;
      observer.noted(PassNote::kMarkedBlock, position);
      position += block_size;
      if (pass.to_chip_end) length -= std::min<uint64_t>(block_size, length - done);
    }
    if (done >= length) break;  // the blocks left were all marked
    if (position >= total_size) return NandOutcome::kPastChipEnd;

    const auto chunk = static_cast<uint32_t>(std::min<uint64_t>(length - done, page_size));
    if (const NandOutcome read = nand_read_page(bus, position, page.data(), chunk);
        read != NandOutcome::kDone) {
      return read;
    }
    if (const NandOutcome taken =
            sink(done, position, std::span<const uint8_t>(page.data(), chunk));
        taken != NandOutcome::kDone) {
      return taken;
    }
    done += chunk;
    position += chunk;
    observer.progress(pass.kind, done, length, position);
    if (done < length && observer.stop_requested()) return NandOutcome::kStoppedByUser;
  }
  return NandOutcome::kDone;
}

NandOutcome nand_scan_markers(NandBus& bus, PassObserver& observer, uint64_t offset, uint64_t end,
                              std::vector<uint64_t>& marked) {
  const uint32_t block_size = bus.flash.chip.block_size();
  const uint64_t blocks = (end - offset) / block_size;
  observer.progress(PassKind::kScan, 0, blocks, offset);
  NandOutcome result = NandOutcome::kDone;
  nand_chip_select(bus, kSelect);  // selected for the whole scan
  for (uint64_t position = offset, scanned = 0; position < end;) {
    bool is_marked = false;
    result = nand_block_marked(bus, position, is_marked);
    if (result != NandOutcome::kDone) break;
    if (is_marked) marked.push_back(position);
    position += block_size;
    observer.progress(PassKind::kScan, ++scanned, blocks, position);
    if (position < end && observer.stop_requested()) {
      result = NandOutcome::kStoppedByUser;
      break;
    }
  }
  nand_chip_select(bus, kRelease);
  return result;
}

NandOutcome nand_compare_image(NandBus& bus, PassObserver& observer, uint64_t offset,
                               const uint8_t* image, uint64_t length, bool honour_markers,
                               uint64_t& differing) {
  differing = 0;
  const PageSink compare = [&](uint64_t done, uint64_t position, std::span<const uint8_t> bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      const uint8_t written = image[done + i];
      if (bytes[i] == written) continue;
      // The first difference is shown as the read-back after programming
      // shows it; the rest are counted.
      if (differing == 0) observer.compare_error(position + i, bytes[i], written);
      ++differing;
    }
    return NandOutcome::kDone;
  };
  const ReadPass pass{.kind = PassKind::kVerify, .honour_markers = honour_markers};
  uint64_t done = 0;
  return nand_read_range(bus, observer, offset, length, pass, compare, done);
}

}  // namespace jtagnand
