#include "nand/nand_read.h"

#include <algorithm>
#include <array>
#include <vector>

namespace jtagnand {

namespace {

// 512-byte-page chips without a read confirm reach their spare area through a
// read command of its own; the others through the column address.
[[nodiscard]] bool spare_by_pointer(const ChipDescriptor& chip) {
  return chip.page_size == 512 && !chip.read_confirm;
}

}  // namespace

void nand_start_page_read(NandBus& bus, uint64_t offset) {
  nand_chip_select(bus, kSelect);
  nand_command(bus, kNandCmdRead);
  nand_address(bus, AddressKind::kColumnAndRow, offset);
  if (bus.flash.chip.read_confirm) nand_command(bus, kNandCmdReadConfirm);
}

NandOutcome nand_read_page(NandBus& bus, uint64_t offset, uint8_t* out, uint32_t count) {
  nand_start_page_read(bus, offset);
  const int32_t result = nand_wait_ready(bus);
  if (result == 0) nand_read_bytes(bus, out, static_cast<int32_t>(count));
  nand_chip_select(bus, kRelease);
  return result == 0 ? NandOutcome::kDone : NandOutcome::kReadNotReady;
}

NandOutcome nand_page_loaded(NandBus& bus, StartedAhead& ahead, uint64_t offset) {
  if (ahead.kind != StartedAhead::Kind::kRead || ahead.offset != offset) {
    nand_finish_ahead(bus, ahead);
    nand_start_page_read(bus, offset);
    ahead = {.kind = StartedAhead::Kind::kRead, .offset = offset};
    nand_wait_start(bus, ahead.wait);
  }
  const int32_t ready = nand_wait_finish(bus, ahead.wait);
  ahead = {};
  if (ready == 0) return NandOutcome::kDone;
  nand_chip_select(bus, kRelease);
  return NandOutcome::kReadNotReady;
}

void nand_finish_ahead(NandBus& bus, StartedAhead& ahead) {
  if (ahead.kind == StartedAhead::Kind::kNothing) return;
  (void)nand_wait_finish(bus, ahead.wait);
  nand_chip_select(bus, kRelease);
  ahead = {};
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
  const PageFormat& format = pass.format;
  const bool whole = format.whole_pages();
  std::vector<uint8_t> page(whole ? page_size + chip.spare_size : page_size);

  // On a cable that reads ahead, each page's bytes come back in the round trip
  // that starts the next page's read: one round trip per page.
  const bool ahead_ok = nand_can_read_ahead(bus, static_cast<uint32_t>(page.size()));
  StartedAhead ahead;

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
    const uint32_t count = whole ? static_cast<uint32_t>(page.size()) : chunk;
    // Asked before the page's bytes are fetched: the round trip that brings
    // them may carry the start of the next page's read.
    const bool more = done + chunk < length;
    const bool stop = more && observer.stop_requested();
    if (const NandOutcome read = nand_page_loaded(bus, ahead, position);
        read != NandOutcome::kDone) {
      return read;
    }
    // The next page's read goes ahead unless the pass ends here or a block's
    // marks must be read first.
    const uint64_t next = position + chunk;
    if (ahead_ok && more && !stop && next < total_size &&
        !(pass.honour_markers && next % block_size == 0)) {
      nand_read_ahead(bus, count);
      nand_chip_select(bus, kRelease);
      nand_start_page_read(bus, next);
      ahead = {.kind = StartedAhead::Kind::kRead, .offset = next};
      nand_wait_start(bus, ahead.wait);
      nand_take_read_ahead(bus, page.data());
    } else {
      nand_read_bytes(bus, page.data(), static_cast<int32_t>(count));
      nand_chip_select(bus, kRelease);
    }
    std::size_t handed = chunk;
    if (whole) {
      const auto main = std::span(page).first(page_size);
      const auto spare = std::span(page).subspan(page_size);
      if (format.ecc != nullptr) {
        const EccPageResult result = format.ecc->decode(main, spare);
        if (pass.tally != nullptr) pass.tally->add(position, result);
      }
      if (format.with_spare) {
        // The spare bytes follow the piece of the page that is handed on.
        std::copy(spare.begin(), spare.end(), page.begin() + chunk);
        handed += chip.spare_size;
      }
    }
    if (const NandOutcome taken =
            sink(done, position, std::span<const uint8_t>(page.data(), handed));
        taken != NandOutcome::kDone) {
      nand_finish_ahead(bus, ahead);
      return taken;
    }
    done += chunk;
    position += chunk;
    observer.progress(pass.kind, done, length, position);
    if (stop) return NandOutcome::kStoppedByUser;
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
                               uint64_t& differing, const PageFormat& format, EccTally* tally) {
  differing = 0;
  const ChipDescriptor& chip = bus.flash.chip;
  const uint32_t spare_size = format.with_spare ? chip.spare_size : 0;
  std::vector<bool> is_ecc(chip.spare_size, false);
  if (format.ecc != nullptr) {
    for (const uint16_t position : format.ecc->ecc_positions()) is_ecc[position] = true;
  }
  const PageSink compare = [&](uint64_t done, uint64_t position, std::span<const uint8_t> bytes) {
    // Where this page starts in the image: pages there are followed by their
    // spare bytes when the image has them.
    const uint8_t* expected = image + done / chip.page_size * format.unit(chip);
    const std::size_t main = bytes.size() - spare_size;
    for (std::size_t i = 0; i < main; ++i) {
      const uint8_t written = expected[i];
      if (bytes[i] == written) continue;
      // The first difference is shown as the read-back after programming
      // shows it; the rest are counted.
      if (differing == 0) observer.compare_error(position + i, bytes[i], written);
      ++differing;
    }
    for (std::size_t i = main; i < bytes.size(); ++i) {
      const auto index = static_cast<uint32_t>(i - main);
      const uint8_t written = expected[chip.page_size + index];
      if (is_ecc[index] || bytes[i] == written) continue;
      if (differing == 0) observer.spare_compare_error(position, index, bytes[i], written);
      ++differing;
    }
    return NandOutcome::kDone;
  };
  const ReadPass pass{.kind = PassKind::kVerify,
                      .honour_markers = honour_markers,
                      .format = format,
                      .tally = tally};
  uint64_t done = 0;
  return nand_read_range(bus, observer, offset, length, pass, compare, done);
}

}  // namespace jtagnand
