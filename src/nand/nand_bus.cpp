#include "nand/nand_bus.h"

#include <algorithm>
#include <array>
#include <bit>

#include "jtag/tap.h"

namespace jtagnand {

namespace {

// Boundary cells hold the level a pin is driven to.
constexpr char kLow = '0';
constexpr char kHigh = '1';

// Every pin change is one full shift of the active vector; the pins take the
// whole vector at once at Update-DR.
inline void scan(NandBus& bus) {
  scan_dr(bus.cable, bus.target.vector.data(), bus.target.boundary_length());
}

// The same shift, recording what every cell sampled from its pin just before.
// A cable that queues its samples fills `into` at the latest on its flush().
inline void scan_capture(NandBus& bus, CaptureVector& into) {
  scan_dr_capture(bus.cable, bus.target.vector.data(), into.data(), bus.target.boundary_length());
}

inline void set_cell(NandBus& bus, uint32_t cell, char level) {
  bus.target.vector[cell] = level;
}

// Puts a byte on the data cells and turns the CPU's data pins to drive; the
// next scan carries both.
inline void put_byte(NandBus& bus, uint8_t value) {
  bus.target.accessors().put_data_byte(bus.target.vector, value, 8);
}

// One write strobe: the byte and nWE low in one scan, nWE high in the next.
// The chip latches on the rising edge of nWE.
inline void strobe_byte(NandBus& bus, const CpuProfile& cpu, uint8_t value) {
  put_byte(bus, value);
  set_cell(bus, cpu.nwe_cell, kLow);
  scan(bus);
  set_cell(bus, cpu.nwe_cell, kHigh);
  scan(bus);
}

}  // namespace

int nand_row_column_bytes(const ChipDescriptor& chip, AddressKind kind, uint64_t row,
                          uint32_t column, AddressBytes& bytes) {
  int count = 0;
  if (kind == AddressKind::kColumnAndRow) {
    // Low byte first; on 512-byte pages the one cycle carries bits 0-7 and the
    // read command chose the half.
    for (int i = 0; i < chip.column_cycles; ++i) {
      bytes[count++] = static_cast<uint8_t>((column >> (8 * i)) & 0xFF);
    }
  }
  for (int i = 0; i < chip.row_cycles; ++i) {
    const uint64_t mask = i + 1 == chip.row_cycles ? chip.last_row_mask : 0xFF;
    bytes[count++] = static_cast<uint8_t>((row >> (8 * i)) & mask);
  }
  return count;
}

int nand_address_bytes(const ChipDescriptor& chip, AddressKind kind, uint64_t offset,
                       AddressBytes& bytes) {
  const int page_shift = std::countr_zero(chip.page_size);
  return nand_row_column_bytes(chip, kind, offset >> page_shift,
                               static_cast<uint32_t>(offset & (chip.page_size - 1)), bytes);
}

void nand_chip_select(NandBus& bus, char level) {
  set_cell(bus, bus.target.profile->nce_cell, level);
  scan(bus);
}

void nand_command(NandBus& bus, uint8_t command) {
  const CpuProfile& cpu = *bus.target.profile;
  // Byte, drive and CLE reach the pins together, one scan before nWE falls.
  put_byte(bus, command);
  set_cell(bus, cpu.cle_cell, kHigh);
  scan(bus);
  set_cell(bus, cpu.nwe_cell, kLow);
  scan(bus);
  set_cell(bus, cpu.nwe_cell, kHigh);
  scan(bus);
  set_cell(bus, cpu.cle_cell, kLow);
  scan(bus);
}

void nand_address_cycles(NandBus& bus, const uint8_t* bytes, int count) {
  const CpuProfile& cpu = *bus.target.profile;
  set_cell(bus, cpu.ale_cell, kHigh);
  scan(bus);
  for (int i = 0; i < count; ++i) strobe_byte(bus, cpu, bytes[i]);
  set_cell(bus, cpu.ale_cell, kLow);
  scan(bus);
}

void nand_address(NandBus& bus, AddressKind kind, uint64_t offset) {
  AddressBytes bytes{};
  const int count = nand_address_bytes(bus.flash.chip, kind, offset, bytes);
  nand_address_cycles(bus, bytes, count);
}

void nand_write_bytes(NandBus& bus, const uint8_t* data, int32_t count) {
  const CpuProfile& cpu = *bus.target.profile;
  for (int32_t i = 0; i < count; ++i) strobe_byte(bus, cpu, data[i]);
}

namespace {

// The scans of `count` data output cycles, their captures into
// bus.read_captures from `first_slot` on; nothing is decoded yet.
void queue_reads(NandBus& bus, std::size_t first_slot, std::size_t count) {
  const uint32_t nre = bus.target.profile->nre_cell;
  // Release the data lines before nRE falls, so the chip never drives against
  // the CPU. The next put turns them back to drive.
  bus.target.accessors().set_data_direction(bus.target.vector, kDataListen);
  if (bus.read_captures.size() < first_slot + count) bus.read_captures.resize(first_slot + count);
  for (std::size_t i = first_slot; i < first_slot + count; ++i) {
    set_cell(bus, nre, kLow);
    scan(bus);
    // Capture-DR samples the pins as the previous update left them: the chip
    // has been driving the byte since nRE fell.
    scan_capture(bus, bus.read_captures[i]);
    set_cell(bus, nre, kHigh);
    scan(bus);
  }
}

// Polls R/nB `count` times, the captures into bus.read_captures from slot 0.
void queue_polls(NandBus& bus, std::size_t count) {
  if (bus.read_captures.size() < count) bus.read_captures.resize(count);
  for (std::size_t i = 0; i < count; ++i) scan_capture(bus, bus.read_captures[i]);
}

}  // namespace

void nand_read_bytes(NandBus& bus, uint8_t* destination, int32_t count) {
  const auto bytes = static_cast<std::size_t>(std::max(count, 0));
  queue_reads(bus, 0, bytes);
  if (bytes == 0) return;
  bus.cable.flush();
  const ProfileAccessors& accessors = bus.target.accessors();
  for (std::size_t i = 0; i < bytes; ++i)
    destination[i] = accessors.get_data_byte(bus.read_captures[i]);
  // The last capture stays readable where every capture used to land.
  bus.capture = bus.read_captures[bytes - 1];
}

int32_t nand_wait_ready(NandBus& bus) {
  return nand_wait_ready_then_status(bus, nullptr);
}

int32_t nand_wait_ready_then_status(NandBus& bus, uint8_t* status) {
  const uint32_t rnb_cell = bus.target.profile->rnb_cell;
  const auto batch = static_cast<int32_t>(std::max<uint32_t>(bus.cable.poll_batch(), 1));
  // A cable that sends polls ahead also gets the status read behind them, in
  // the same round trip: 0x70 may be given while the chip is busy, and once a
  // poll has seen it ready, the status read after the polls is its final word.
  // Otherwise the polls go on and the status is read again behind them.
  const bool status_behind_polls = status != nullptr && batch > 1;
  // R/nB is open-drain: the pin reads 1 once the chip is ready.
  for (int32_t polls = 1;;) {
    const int32_t sent = std::min(batch, kNandReadyPolls + 1 - (polls - 1));
    const auto slots = static_cast<std::size_t>(sent);
    // The cable keeps where each queued capture goes until the flush: make room
    // for all of this round trip's captures before the first is queued, as
    // growing read_captures later would move the ones already queued.
    const std::size_t captures = slots + (status_behind_polls ? 1 : 0);
    if (bus.read_captures.size() < captures) bus.read_captures.resize(captures);
    queue_polls(bus, slots);
    if (status_behind_polls) {
      nand_command(bus, kNandCmdStatus);
      queue_reads(bus, slots, 1);
    }
    bus.cable.flush();
    for (int32_t i = 0; i < sent; ++i, ++polls) {
      bus.capture = bus.read_captures[static_cast<std::size_t>(i)];
      if (polls > kNandReadyPolls) return -1;
      if (bus.capture[rnb_cell] != kHigh) continue;
      if (status_behind_polls) {
        *status = bus.target.accessors().get_data_byte(bus.read_captures[slots]);
      } else if (status != nullptr) {
        nand_command(bus, kNandCmdStatus);
        nand_read_bytes(bus, status, 1);
      }
      return 0;
    }
  }
}

}  // namespace jtagnand
