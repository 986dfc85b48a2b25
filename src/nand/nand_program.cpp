#include "nand/nand_program.h"

#include <algorithm>
#include <array>
#include <span>
#include <vector>

#include "nand/nand_read.h"

namespace jtagnand {

namespace {

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

// The page read back at `offset` against the `count` bytes written: the first
// difference goes to the observer. kDone or kCompareError.
NandOutcome check_page(PassObserver& observer, uint64_t offset, const uint8_t* read_back,
                       const uint8_t* written, uint32_t count) {
  // Only the first difference is reported.
  for (uint32_t i = 0; i < count; ++i) {
    if (read_back[i] == written[i]) continue;
    observer.compare_error(offset + i, read_back[i], written[i]);
    return NandOutcome::kCompareError;
  }
  return NandOutcome::kDone;
}

// The same for a page read back whole with its spare area (see
// nand_verify_whole_page); the ECC corrects `read_back` in place.
NandOutcome check_whole_page(PassObserver& observer, const ChipDescriptor& chip, uint64_t offset,
                             std::span<uint8_t> read_back, std::span<const uint8_t> written,
                             uint32_t count, const PageFormat& format, EccTally& tally) {
  const auto main = read_back.first(chip.page_size);
  const auto spare = read_back.subspan(chip.page_size, chip.spare_size);
  std::vector<bool> is_ecc(chip.spare_size, false);
  if (format.ecc != nullptr) {
    const EccPageResult result = format.ecc->decode(main, spare);
    tally.add(offset, result);
    if (result.uncorrectable_steps != 0) {
      observer.noted(PassNote::kUncorrectable, offset);
      return NandOutcome::kCompareError;
    }
    for (const uint16_t position : format.ecc->ecc_positions()) is_ecc[position] = true;
  }
  for (uint32_t i = 0; i < count; ++i) {
    if (main[i] == written[i]) continue;
    observer.compare_error(offset + i, main[i], written[i]);
    return NandOutcome::kCompareError;
  }
  if (!format.with_spare) return NandOutcome::kDone;
  for (uint32_t i = 0; i < chip.spare_size; ++i) {
    if (is_ecc[i] || spare[i] == written[chip.page_size + i]) continue;
    observer.spare_compare_error(offset, i, spare[i], written[chip.page_size + i]);
    return NandOutcome::kCompareError;
  }
  return NandOutcome::kDone;
}

}  // namespace

NandOutcome nand_reset(NandBus& bus) {
  nand_chip_select(bus, kSelect);
  nand_command(bus, kNandCmdReset);
  const int32_t ready = nand_wait_ready(bus);
  nand_chip_select(bus, kRelease);
  return ready == 0 ? NandOutcome::kDone : NandOutcome::kResetNotReady;
}

NandOutcome nand_erase_range(NandBus& bus, BadBlockList& bad_blocks, PassObserver& observer,
                             uint64_t offset, uint64_t length, bool honour_markers) {
  const uint64_t total_size = bus.flash.chip.total_size();
  const uint32_t block_size = bus.flash.chip.block_size();

  if (const NandOutcome reset = nand_reset(bus); reset != NandOutcome::kDone) return reset;
  observer.erase_started();
  nand_chip_select(bus, kSelect);  // selected for the whole pass

  // A range that was asked to run to the chip's end (the whole chip) is done
  // when the last block is erased, however many bad blocks it met. Any other
  // range that bad blocks push past the end cannot hold its data.
  const uint64_t requested_end = offset + length;
  const bool runs_to_chip_end = requested_end == total_size;
  uint64_t limit = length;  // grows by one block per bad block
  uint64_t covered = 0;
  uint64_t met = 0;
  NandOutcome result = NandOutcome::kDone;

  if (limit > 0 && offset >= total_size) result = NandOutcome::kPastChipEnd;
  while (result == NandOutcome::kDone && covered < limit) {
    observer.erasing_block(met++, offset / block_size);

    // A marked block is never erased: the erase could succeed and wipe the
    // mark, and the block would then look good.
    bool marked = false;
    if (honour_markers) {
      if (const NandOutcome read = nand_block_marked(bus, offset, marked);
          read != NandOutcome::kDone) {
        result = read;
        break;
      }
      if (marked) observer.noted(PassNote::kMarkedBlock, offset);
    }
    uint8_t status = 0;
    if (!marked) {
      nand_command(bus, kNandCmdErase);
      nand_address(bus, AddressKind::kRowOnly, offset);
      nand_command(bus, kNandCmdEraseConfirm);
      if (nand_wait_ready_then_status(bus, &status) != 0) {
        result = NandOutcome::kEraseNotReady;
        break;
      }
      if ((status & kNandStatusFail) != 0) {
        observer.noted(PassNote::kEraseFailed, offset);
        // With the marks honoured, a block that fails its erase gets one, so
        // that a later -r, -v or -m run steps over it too.
        if (honour_markers && nand_mark_block_bad(bus, offset) == NandOutcome::kDone) {
          observer.noted(PassNote::kMarkedBad, offset);
        }
      }
    }
    if (marked || (status & kNandStatusFail) != 0) {
      if (bad_blocks.count >= kBadBlockCapacity) {
        result = NandOutcome::kBadBlockListFull;
        break;
      }
      bad_blocks.offsets[static_cast<size_t>(bad_blocks.count)] = offset;
      ++bad_blocks.count;
      limit += block_size;
    }

    offset += block_size;
    if (offset >= total_size) {
      if (covered + block_size < limit && !runs_to_chip_end) result = NandOutcome::kPastChipEnd;
      break;
    }
    if (observer.stop_requested()) {
      result = NandOutcome::kStoppedByUser;
      break;
    }
    covered += block_size;
  }

  nand_chip_select(bus, kRelease);
  return result;
}

NandOutcome nand_program_image(NandBus& bus, const BadBlockList& bad_blocks, PassObserver& observer,
                               uint64_t offset, const uint8_t* data, uint64_t length,
                               const ProgramOptions& options, ProgramReport* report) {
  const ChipDescriptor& chip = bus.flash.chip;
  const uint64_t total_size = chip.total_size();
  const uint32_t page_size = chip.page_size;
  const uint32_t block_size = chip.block_size();
  const auto bad = std::span(bad_blocks.offsets).first(static_cast<size_t>(bad_blocks.count));
  // With the spare area in play every page goes over the bus whole: the ECC
  // covers the whole page, and the spare bytes follow the main area's.
  const PageFormat& format = options.format;
  const uint32_t unit = format.unit(chip);
  std::vector<uint8_t> composed;
  if (format.whole_pages()) composed.resize(page_size + chip.spare_size);
  EccTally unreported;
  EccTally& tally = report != nullptr ? report->ecc : unreported;

  // The image is written whole or not at all: where bad blocks would push its
  // end past the chip, nothing is programmed.
  if (placed_end(offset, length, bad, page_size, block_size) > total_size) {
    return NandOutcome::kPastChipEnd;
  }

  uint64_t position = start_position(offset, bad, block_size);

  // On a cable that reads ahead, a page's read-back bytes come back in the
  // round trip that sends the next page's program (or, for a page left
  // erased, starts its read): two round trips per page, one for the program
  // and its status, one for the read's ready wait.
  const uint32_t read_count = format.whole_pages() ? page_size + chip.spare_size : page_size;
  const bool ahead_ok = nand_can_read_ahead(bus, read_count);
  StartedAhead ahead;
  std::vector<uint8_t> read_back(read_count);
  std::vector<uint8_t> composed_next(composed.size());

  // A page as it goes to the chip (composed when the spare area is in play),
  // and whether it is left erased under skip_erased_pages.
  const auto prepare = [&](const uint8_t* bytes, uint32_t count, std::vector<uint8_t>& into) {
    const auto all_ff = [](uint8_t b) { return b == 0xFF; };
    if (!format.whole_pages()) {
      return options.skip_erased_pages && std::all_of(bytes, bytes + count, all_ff);
    }
    nand_compose_page(chip, format, std::span(bytes, count),
                      format.with_spare ? bytes + page_size : nullptr, into);
    return options.skip_erased_pages && std::all_of(into.begin(), into.end(), all_ff);
  };
  // Select, 0x80, address, the bytes, 0x10.
  const auto send_program = [&](uint64_t at, const uint8_t* bytes, uint32_t count) {
    nand_chip_select(bus, kSelect);
    nand_command(bus, kNandCmdProgram);
    nand_address(bus, AddressKind::kColumnAndRow, at);
    nand_write_bytes(bus, bytes, static_cast<int32_t>(count));
    nand_command(bus, kNandCmdProgramConfirm);
  };
  // The page whose address is `at` once the bad blocks there are stepped over.
  const auto step_over_bad = [&](uint64_t at) {
    for (const uint64_t block : bad) {
      if (block == at) at += block_size;
    }
    return at;
  };

  uint64_t remaining = length;
  auto chunk = static_cast<uint32_t>(std::min<uint64_t>(length, page_size));
  NandOutcome result = NandOutcome::kDone;
  observer.progress(PassKind::kWrite, 0, length, position);

  for (;;) {
    // The start is block aligned and position moves by whole pages, so a bad
    // block is met at its first page; the list is ascending, so one walk steps
    // over a run of adjacent bad blocks.
    for (const uint64_t block : bad) {
      if (block == position) {
        observer.noted(PassNote::kBadBlockSkipped, position);
        position += block_size;
      }
    }

    // A page begun ahead was prepared then.
    bool erased_page = false;
    if (ahead.kind == StartedAhead::Kind::kNothing) {
      erased_page = prepare(data, chunk, composed);
    } else {
      composed.swap(composed_next);
      erased_page = ahead.kind == StartedAhead::Kind::kRead;
    }
    const uint8_t* const written = format.whole_pages() ? composed.data() : data;
    const uint32_t written_count =
        format.whole_pages() ? static_cast<uint32_t>(composed.size()) : chunk;
    if (erased_page) {
      if (report != nullptr) ++report->skipped_pages;
    } else {
      if (ahead.kind != StartedAhead::Kind::kProgram) {
        send_program(position, written, written_count);
        ahead = {.kind = StartedAhead::Kind::kProgram,
                 .offset = position,
                 .wait = {.with_status = true}};
        nand_wait_start(bus, ahead.wait);
      }
      const bool ready = nand_wait_finish(bus, ahead.wait) == 0;
      const uint8_t status = ahead.wait.status;
      ahead = {};
      if (!ready) {
        result = NandOutcome::kProgramNotReady;
        break;
      }
      nand_chip_select(bus, kRelease);
      if ((status & kNandStatusFail) != 0) {
        observer.noted(PassNote::kProgramFailed, position);
        result = NandOutcome::kProgramFailed;
        break;
      }
    }

    // The read-back.
    if (const NandOutcome loaded = nand_page_loaded(bus, ahead, position);
        loaded != NandOutcome::kDone) {
      result = loaded;
      break;
    }
    const bool last = remaining <= page_size;
    // Asked before the page's bytes are fetched: the round trip that brings
    // them may carry the next page's program.
    const bool stop = !last && observer.stop_requested();
    const uint32_t count = format.whole_pages() ? read_count : chunk;
    if (ahead_ok && !last && !stop) {
      nand_read_ahead(bus, count);
      nand_chip_select(bus, kRelease);
      const uint64_t next = step_over_bad(position + page_size);
      const auto next_chunk =
          static_cast<uint32_t>(std::min<uint64_t>(remaining - page_size, page_size));
      if (prepare(data + unit, next_chunk, composed_next)) {
        nand_start_page_read(bus, next);
        ahead = {.kind = StartedAhead::Kind::kRead, .offset = next};
      } else {
        send_program(
            next, format.whole_pages() ? composed_next.data() : data + unit,
            format.whole_pages() ? static_cast<uint32_t>(composed_next.size()) : next_chunk);
        ahead = {
            .kind = StartedAhead::Kind::kProgram, .offset = next, .wait = {.with_status = true}};
      }
      nand_wait_start(bus, ahead.wait);
      nand_take_read_ahead(bus, read_back.data());
    } else {
      nand_read_bytes(bus, read_back.data(), static_cast<int32_t>(count));
      nand_chip_select(bus, kRelease);
    }
    const NandOutcome verified =
        format.whole_pages()
            ? check_whole_page(observer, chip, position, read_back, composed, chunk, format, tally)
            : check_page(observer, position, read_back.data(), data, chunk);
    if (verified != NandOutcome::kDone) {
      nand_finish_ahead(bus, ahead);
      result = verified;
      break;
    }

    if (last) {
      position += chunk;  // just past the image's last byte
      remaining = 0;
      break;
    }
    position += page_size;
    data += unit;
    remaining -= page_size;
    if (remaining < page_size) chunk = static_cast<uint32_t>(remaining);
    observer.progress(PassKind::kWrite, length - remaining, length, position);

    if (stop) {
      result = NandOutcome::kStoppedByUser;
      break;
    }
  }

  nand_chip_select(bus, kRelease);
  if (result == NandOutcome::kDone) {
    observer.progress(PassKind::kWrite, length - remaining, length, position);
  }
  return result;
}

NandOutcome nand_verify_page(NandBus& bus, PassObserver& observer, uint64_t offset,
                             const uint8_t* written, uint32_t count) {
  std::array<uint8_t, kNandMaxPageSize> read_back{};
  count = std::min<uint32_t>(count, read_back.size());

  if (const NandOutcome read = nand_read_page(bus, offset, read_back.data(), count);
      read != NandOutcome::kDone) {
    return read;
  }
  return check_page(observer, offset, read_back.data(), written, count);
}

NandOutcome nand_verify_whole_page(NandBus& bus, PassObserver& observer, uint64_t offset,
                                   std::span<const uint8_t> written, uint32_t count,
                                   const PageFormat& format, EccTally& tally) {
  const ChipDescriptor& chip = bus.flash.chip;
  std::vector<uint8_t> read_back(chip.page_size + chip.spare_size);
  if (const NandOutcome read =
          nand_read_page(bus, offset, read_back.data(), static_cast<uint32_t>(read_back.size()));
      read != NandOutcome::kDone) {
    return read;
  }
  return check_whole_page(observer, chip, offset, read_back, written, count, format, tally);
}

}  // namespace jtagnand
