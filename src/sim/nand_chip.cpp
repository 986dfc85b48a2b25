#include "sim/nand_chip.h"

#include <algorithm>
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

constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr uint32_t kKiB = 1024;

// The chips as their datasheets give them. Small-page chips send one column
// byte, large-page chips two; the rest of a read or program address is the
// page number, low byte first, and an erase sends only that part.
constexpr ChipGeometry kChips[] = {
    {0x76, 64 * kMiB, 512, 16 * kKiB, 16, false, 4, 3},
    {0x75, 32 * kMiB, 512, 16 * kKiB, 16, false, 3, 2},
    {0x73, 16 * kMiB, 512, 16 * kKiB, 16, false, 3, 2},
    {0xE6, 8 * kMiB, 512, 8 * kKiB, 16, false, 3, 2},
    {0xF1, 128 * kMiB, 2048, 128 * kKiB, 64, true, 4, 2},
    {0xDA, 256 * kMiB, 2048, 128 * kKiB, 64, true, 5, 3},
    {0xDC, 512 * kMiB, 2048, 128 * kKiB, 64, true, 5, 3},
    {0xD3, 1024 * kMiB, 2048, 256 * kKiB, 64, true, 5, 3},
};

// Fourth Read ID byte of the large-page chips: 2 KiB page, 16 spare bytes per
// 512, block 128 KiB (0x15) or 256 KiB (0x25).
[[nodiscard]] uint8_t organisation_byte(const ChipGeometry& g) {
  return g.block_size == 256 * kKiB ? uint8_t{0x25} : uint8_t{0x15};
}

[[nodiscard]] bool contains(const std::vector<uint32_t>& list, uint64_t value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

}  // namespace

ChipGeometry chip_geometry(uint8_t device_code) {
  for (const auto& chip : kChips)
    if (chip.device_code == device_code) return chip;
  ChipGeometry other = kChips[4];  // behaves like the 128 MiB large-page chip
  other.device_code = device_code;
  return other;
}

NandChip::NandChip(const SimOptions& options, std::unique_ptr<FlashStore> store, Checker& checker)
    : geometry_(chip_geometry(options.nand_code)),
      maker_(options.maker_code),
      store_(std::move(store)),
      checker_(checker),
      busy_scans_(options.busy_scans),
      busy_never_(options.busy_never),
      hang_(options.hang),
      bad_blocks_(options.bad_blocks),
      progfail_pages_(options.progfail_pages),
      flips_(options.flip_offsets),
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

void NandChip::apply(const CpuPins& cpu) {
  const CpuPins old = pins_;
  const uint8_t old_io = io_;
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
      output_ = Output::kId;
      id_index_ = 0;
      mode_ = Mode::kIdle;
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
        column_ = geometry_.large_page ? (address_[0] | (uint32_t{address_[1]} & 0x0F) << 8)
                                       : address_[0];
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
    case Output::kId: {
      const uint8_t id[4] = {maker_, geometry_.device_code, 0x80, organisation_byte(geometry_)};
      const std::size_t length = geometry_.large_page ? 4 : 2;
      return id_index_ < length ? id[id_index_++] : uint8_t{0xFF};
    }
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

void NandChip::start_read() {
  const std::size_t column_bytes = geometry_.large_page ? 2 : 1;
  const uint32_t page = row(column_bytes);
  if (geometry_.large_page) {
    column_ = address_[0] | (uint32_t{address_[1]} & 0x0F) << 8;
  } else {
    column_ = read_area_ == 2 ? geometry_.page_size + (address_[0] & 0x0FU)
                              : address_[0] + (read_area_ == 1 ? 256U : 0U);
  }
  const uint64_t start = uint64_t{page} * geometry_.page_size;
  std::fill(page_.begin(), page_.end(), uint8_t{0xFF});  // the spare area is never stored: erased
  store_->read(start, std::span<uint8_t>(page_.data(), geometry_.page_size));
  for (uint64_t flip : flips_)
    if (flip >= start && flip < start + geometry_.page_size)
      page_[static_cast<std::size_t>(flip - start)] ^= 0x01;
  page_loaded_ = true;
  output_ = Output::kData;
  ++counts_.reads;
  start_busy(NandOp::kRead);
}

void NandChip::finish_program() {
  const uint32_t page = row(geometry_.large_page ? 2 : 1);
  ++counts_.programs;
  fail_ = contains(progfail_pages_, page);
  if (!fail_)
    store_->program(uint64_t{page} * geometry_.page_size,
                    std::span<const uint8_t>(page_.data(), geometry_.page_size));
  start_busy(NandOp::kProgram);
}

void NandChip::finish_erase() {
  const uint32_t pages_per_block = geometry_.block_size / geometry_.page_size;
  const uint32_t block = row(0) / pages_per_block;
  ++counts_.erases;
  fail_ = contains(bad_blocks_, block);
  if (!fail_) store_->erase_block(block);
  start_busy(NandOp::kErase);
}

}  // namespace jtagnand::sim
