#include "sim/nand_chip.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

namespace jtagnand::sim {

void Checker::report(Violation kind) {
  ++counts[static_cast<std::size_t>(kind)];
  if (strict) {
    const std::string name(violation_name(kind));
    std::fprintf(stderr, "sim: protocol violation: %s\n", name.c_str());
    std::fflush(stderr);
    std::exit(3);
  }
}

uint64_t Checker::total() const {
  uint64_t sum = 0;
  for (uint64_t n : counts) sum += n;
  return sum;
}

namespace {

[[nodiscard]] bool contains(const std::vector<uint32_t>& list, uint64_t value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

}  // namespace

bool open_chip_stores(const SimOptions& options, const ChipGeometry& geometry, ChipStores& stores,
                      std::string& error) {
  const uint64_t blocks = geometry.total_size / geometry.block_size;
  const uint32_t pages_per_block = geometry.block_size / geometry.page_size;
  const uint64_t pages = blocks * pages_per_block;
  for (const uint32_t block : options.marked_blocks) {
    if (block >= blocks) {
      error = "marked=" + std::to_string(block) + " is past the chip's last block (" +
              std::to_string(blocks - 1) + ")";
      return false;
    }
  }
  ChipStores opened;
  if (options.flash_path.empty()) {
    opened.main = std::make_unique<FlashStore>(geometry.total_size, geometry.block_size);
    opened.spare = std::make_unique<SpareStore>(pages, pages_per_block, geometry.spare_size);
  } else {
    // The spare-area file is looked at first, so that a main file is neither
    // created nor extended for a board that cannot start.
    const std::string spare_path = spare_file_path(options.flash_path);
    if (std::string why = SpareStore::check_file(spare_path, pages * geometry.spare_size);
        !why.empty()) {
      error = "spare-area file " + spare_path + ": " + why;
      return false;
    }
    opened.main =
        FlashStore::open_file(options.flash_path, geometry.total_size, geometry.block_size, error);
    if (!opened.main) return false;
    opened.spare =
        SpareStore::open_file(spare_path, pages, pages_per_block, geometry.spare_size, error);
    if (!opened.spare) return false;
  }
  // The maker marks a bad block with a byte other than 0xFF in the spare area
  // of its first page: the sixth spare byte on 512-byte pages (K9F1208U0M,
  // K9F5608U0B), the first on larger pages (K9F1G08U0M, ONFI chips). Marked at
  // every start, as the chip on the board came from the factory; an erase
  // wipes the mark like any other byte.
  const std::size_t marker = geometry.page_size == 512 ? 5 : 0;
  if (marker < geometry.spare_size) {
    std::vector<uint8_t> mark(marker + 1, 0xFF);
    mark[marker] = 0x00;
    for (const uint32_t block : options.marked_blocks)
      opened.spare->program(uint64_t{block} * pages_per_block, mark);
  }
  stores = std::move(opened);
  return true;
}

NandChip::NandChip(const SimOptions& options, ChipModel model, ChipStores stores, Checker& checker)
    : geometry_(model.geometry),
      id_(std::move(model.id)),
      onfi_(std::move(model.onfi)),
      store_(std::move(stores.main)),
      spare_(std::move(stores.spare)),
      checker_(checker),
      busy_scans_(options.busy_scans),
      busy_never_(options.busy_never),
      hang_(options.hang),
      bad_blocks_(options.bad_blocks),
      progfail_pages_(options.progfail_pages),
      flips_(options.flips),
      page_(geometry_.page_size + geometry_.spare_size, 0xFF) {
  address_.reserve(8);
  counts_.last_address.reserve(8);
}

uint8_t NandChip::resolve(const CpuPins& cpu) const {
  uint8_t level = 0xFF;  // undriven lines float high
  level = static_cast<uint8_t>((level & ~cpu.drive_mask) | (cpu.out & cpu.drive_mask));
  if (flash_drives_) level = flash_out_;  // in a conflict the flash's levels show
  return level;
}

void NandChip::scan_ends(bool capture_read) {
  if (!capture_read) return;
  if (output_at_capture_) {
    output_seen_ = true;
  } else {
    read_before_output_ = true;
  }
}

void NandChip::apply(const CpuPins& cpu) {
  const CpuPins old = pins_;
  const uint8_t old_io = io_;
  const bool was_reading = !old.nce && !old.nre;
  // The flash's output drivers follow nCE and nRE: off as soon as either rises.
  if (cpu.nce || cpu.nre) flash_drives_ = false;
  pins_ = cpu;
  io_ = resolve(cpu);

  // Command, address and data are taken on the rising edge of nWE, with the
  // levels that were set up while nWE was low.
  if (!old.nce && !old.nwe && cpu.nwe) {
    if (old.cle != cpu.cle || old.ale != cpu.ale || old_io != io_)
      checker_.report(Violation::kStrobeSkew);
    if (old.cle && old.ale) {
      checker_.report(Violation::kCleAndAle);
    } else {
      latch(old.cle, old.ale, old_io);
    }
  }

  // Output starts at the falling edge of nRE or nCE, whichever comes later.
  const bool reading = !cpu.nce && !cpu.nre;
  if (reading && !was_reading) {
    // CLE and ALE must be low tCLR / tAR before nRE falls: a whole scan.
    if (old.cle || old.ale || cpu.cle || cpu.ale) checker_.report(Violation::kReadAfterLatch);
    output_read_early_ = read_before_output_;
    output_seen_ = false;
  } else if (!reading && was_reading) {
    if (output_read_early_ && !output_seen_) checker_.report(Violation::kEarlyCapture);
    output_read_early_ = false;
  }
  if (reading && (old.nce || old.nre) && output_ != Output::kNone) {
    flash_out_ = next_output();
    flash_drives_ = true;
    io_ = resolve(cpu);
  }

  const bool we_and_re = !cpu.nce && !cpu.nwe && !cpu.nre;
  if (we_and_re && !we_re_low_) checker_.report(Violation::kWeAndRe);
  we_re_low_ = we_and_re;

  const bool conflict = flash_drives_ && cpu.drive_mask != 0;
  if (conflict && !conflict_) checker_.report(Violation::kBusConflict);
  conflict_ = conflict;
}

void NandChip::latch(bool cle, bool ale, uint8_t value) {
  if (cle) {
    command(value);
  } else if (ale) {
    address(value);
  } else {
    data_in(value);
  }
}

void NandChip::command(uint8_t code) {
  ++counts_.commands[code];
  counts_.last_address.clear();
  if (!ready() && code != 0x70 && code != 0xFF) {
    checker_.report(Violation::kCommandWhileBusy);
    mode_ = Mode::kIdle;  // a busy chip ignores it, and the cycles that follow
    return;
  }
  switch (code) {
    case 0xFF:  // reset: aborts whatever runs, back to reading
      mode_ = Mode::kIdle;
      output_ = Output::kNone;
      fail_ = false;
      hung_ = false;
      busy_left_ = 0;
      start_busy(NandOp::kReset);
      break;
    case 0x90:
      mode_ = Mode::kIdAddress;
      output_ = Output::kNone;
      address_.clear();
      break;
    case 0xEC:  // Read Parameter Page: ONFI chips only; others ignore it
      mode_ = onfi_.empty() ? Mode::kIdle : Mode::kParameterAddress;
      output_ = Output::kNone;
      address_.clear();
      break;
    case 0x01:
    case 0x50:
      if (geometry_.large_page) {  // no half-page pointers on 2 KiB pages
        mode_ = Mode::kIdle;
        break;
      }
      [[fallthrough]];
    case 0x00:
      mode_ = Mode::kReadAddress;
      read_area_ = code == 0x00 ? 0 : code == 0x01 ? 1 : 2;
      address_.clear();
      // Back from status mode: the page register is shown again.
      output_ = page_loaded_ ? Output::kData : Output::kNone;
      break;
    case 0x30:
      if (!geometry_.large_page) break;
      if (mode_ == Mode::kReadAddress &&
          static_cast<int>(address_.size()) == geometry_.address_cycles) {
        start_read();
      } else {
        checker_.report(Violation::kConfirmWithoutAddress);
      }
      mode_ = Mode::kIdle;
      break;
    case 0x80:
      mode_ = Mode::kProgram;
      output_ = Output::kNone;
      address_.clear();
      column_ = 0;
      page_loaded_ = false;
      std::fill(page_.begin(), page_.end(), uint8_t{0xFF});
      break;
    case 0x10:
      if (mode_ == Mode::kProgram &&
          static_cast<int>(address_.size()) == geometry_.address_cycles) {
        finish_program();
      } else {
        checker_.report(Violation::kConfirmWithoutAddress);
        fail_ = true;
      }
      mode_ = Mode::kIdle;
      break;
    case 0x60:
      mode_ = Mode::kEraseAddress;
      output_ = Output::kNone;
      address_.clear();
      break;
    case 0xD0:
      if (mode_ == Mode::kEraseAddress &&
          static_cast<int>(address_.size()) == geometry_.erase_cycles) {
        finish_erase();
      } else {
        checker_.report(Violation::kConfirmWithoutAddress);
        fail_ = true;
      }
      mode_ = Mode::kIdle;
      break;
    case 0x70:  // status until the next command
      output_ = Output::kStatus;
      break;
    default:
      mode_ = Mode::kIdle;
      output_ = Output::kNone;
      break;
  }
}

void NandChip::address(uint8_t value) {
  ++counts_.address_bytes;
  if (counts_.last_address.size() < 16) counts_.last_address.push_back(value);
  const auto have = static_cast<int>(address_.size());
  switch (mode_) {
    case Mode::kIdAddress:
      // 0x20 reads the ONFI signature on an ONFI chip; a chip without ONFI
      // answers any address with its ID.
      output_ = value == 0x20 && !onfi_.empty() ? Output::kOnfiSignature : Output::kId;
      id_index_ = 0;
      mode_ = Mode::kIdle;
      break;
    case Mode::kParameterAddress:
      output_ = Output::kParameterPage;
      id_index_ = 0;
      mode_ = Mode::kIdle;
      start_busy(NandOp::kRead);
      break;
    case Mode::kReadAddress:
      if (have < geometry_.address_cycles) address_.push_back(value);
      // 512-byte-page chips start reading after the last address cycle.
      if (!geometry_.large_page && static_cast<int>(address_.size()) == geometry_.address_cycles) {
        start_read();
        mode_ = Mode::kIdle;
      }
      break;
    case Mode::kProgram:
      if (have < geometry_.address_cycles) address_.push_back(value);
      if (static_cast<int>(address_.size()) == geometry_.address_cycles) {
        column_ = geometry_.large_page ? column() : area_column();
      }
      break;
    case Mode::kEraseAddress:
      if (have < geometry_.erase_cycles) address_.push_back(value);
      break;
    case Mode::kIdle:
      break;
  }
}

void NandChip::data_in(uint8_t value) {
  if (mode_ != Mode::kProgram) return;
  ++counts_.data_bytes_in;
  if (column_ < page_.size()) page_[column_++] = value;
}

uint8_t NandChip::next_output() {
  ++counts_.data_bytes_out;
  switch (output_) {
    case Output::kId:
      return id_index_ < id_.size() ? id_[id_index_++] : uint8_t{0xFF};
    case Output::kOnfiSignature: {
      constexpr uint8_t kSignature[4] = {'O', 'N', 'F', 'I'};
      return id_index_ < 4 ? kSignature[id_index_++] : uint8_t{0xFF};
    }
    case Output::kParameterPage:
      return id_index_ < onfi_.size() ? onfi_[id_index_++] : uint8_t{0xFF};
    case Output::kStatus:
      return static_cast<uint8_t>(0x80 | (ready() ? 0x40 : 0) | (fail_ ? 0x01 : 0));
    case Output::kData:
      return column_ < page_.size() ? page_[column_++] : uint8_t{0xFF};
    case Output::kNone:
      break;
  }
  return 0xFF;
}

void NandChip::start_busy(NandOp op) {
  if (busy_never_ || hang_[static_cast<std::size_t>(op)]) {
    hung_ = true;
  } else {
    busy_left_ = busy_scans_;
  }
}

uint32_t NandChip::row(std::size_t first_byte) const {
  uint32_t value = 0;
  for (std::size_t i = first_byte, shift = 0; i < address_.size(); ++i, shift += 8)
    value |= uint32_t{address_[i]} << shift;
  const auto pages = static_cast<uint32_t>(geometry_.total_size / geometry_.page_size);
  return value & (pages - 1);
}

// The column cycles, low byte first, as wide as page and spare need: the chip
// ignores the bits above (on 2 KiB pages, I/O4-7 of the second cycle).
uint32_t NandChip::column() const {
  if (!geometry_.large_page) return address_[0];
  uint32_t value = 0;
  for (int i = 0; i < geometry_.column_cycles; ++i)
    value |= uint32_t{address_[static_cast<std::size_t>(i)]} << (8 * i);
  return value & (std::bit_ceil(geometry_.page_size + geometry_.spare_size) - 1);
}

// On 512-byte pages the one column cycle counts from where the pointer
// command pointed: the first half, the second half (256), or the spare area
// (only its low four bits count there).
uint32_t NandChip::area_column() const {
  if (read_area_ == 2) return geometry_.page_size + (address_[0] & 0x0FU);
  return address_[0] + (read_area_ == 1 ? 256U : 0U);
}

void NandChip::start_read() {
  const uint32_t page = row(static_cast<std::size_t>(geometry_.column_cycles));
  column_ = geometry_.large_page ? column() : area_column();
  // 0x01 points into the second half for one operation only; 0x50 stays.
  if (read_area_ == 1) read_area_ = 0;
  const uint64_t start = uint64_t{page} * geometry_.page_size;
  store_->read(start, std::span<uint8_t>(page_.data(), geometry_.page_size));
  spare_->read(page, std::span<uint8_t>(page_).subspan(geometry_.page_size));
  for (const BitFlip& flip : flips_) {
    const auto mask = static_cast<uint8_t>(1U << flip.bit);
    if (flip.spare && flip.where == page) {
      page_[geometry_.page_size + flip.spare_byte] ^= mask;
    } else if (!flip.spare && flip.where >= start && flip.where < start + geometry_.page_size) {
      page_[static_cast<std::size_t>(flip.where - start)] ^= mask;
    }
  }
  page_loaded_ = true;
  output_ = Output::kData;
  ++counts_.reads;
  start_busy(NandOp::kRead);
}

void NandChip::finish_program() {
  const uint32_t page = row(static_cast<std::size_t>(geometry_.column_cycles));
  ++counts_.programs;
  fail_ = contains(progfail_pages_, page);
  if (!fail_) {
    store_->program(uint64_t{page} * geometry_.page_size,
                    std::span<const uint8_t>(page_.data(), geometry_.page_size));
    spare_->program(page, std::span<const uint8_t>(page_).subspan(geometry_.page_size));
  }
  if (read_area_ == 1) read_area_ = 0;
  start_busy(NandOp::kProgram);
}

void NandChip::finish_erase() {
  const uint32_t pages_per_block = geometry_.block_size / geometry_.page_size;
  const uint32_t block = row(0) / pages_per_block;
  ++counts_.erases;
  fail_ = contains(bad_blocks_, block);
  if (!fail_) {
    store_->erase_block(block);
    spare_->erase_block(block);
  }
  start_busy(NandOp::kErase);
}

}  // namespace jtagnand::sim
