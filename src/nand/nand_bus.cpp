#include "nand/nand_bus.h"

#include <algorithm>
#include <array>

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

// How a byte offset becomes address cycles on one chip. The column is the byte
// within the page (one cycle on 512-byte pages, where bit 8 is chosen by the
// read command and sent in no cycle; two on 2 KiB pages, the second carrying
// bits 8-10). The row is the page number (offset >> 9 or >> 11), low byte
// first; its last cycle only has as many bits as the chip has pages.
struct AddressLayout {
  uint8_t device_code;
  uint8_t column_cycles;
  uint8_t row_shift;
  uint8_t row_cycles;
  uint8_t last_row_mask;
};

constexpr std::array<AddressLayout, 8> kAddressLayouts{{
    {.device_code = 0x76,
     .column_cycles = 1,
     .row_shift = 9,
     .row_cycles = 3,
     .last_row_mask = 0x7F},
    {.device_code = 0x75,
     .column_cycles = 1,
     .row_shift = 9,
     .row_cycles = 2,
     .last_row_mask = 0xFF},
    // A17-A23; I/O7 is don't-care in the third cycle.
    {.device_code = 0x73,
     .column_cycles = 1,
     .row_shift = 9,
     .row_cycles = 2,
     .last_row_mask = 0x7F},
    // A17-A22; I/O6 and I/O7 are don't-care in the third cycle.
    {.device_code = 0xE6,
     .column_cycles = 1,
     .row_shift = 9,
     .row_cycles = 2,
     .last_row_mask = 0x3F},
    {.device_code = 0xF1,
     .column_cycles = 2,
     .row_shift = 11,
     .row_cycles = 2,
     .last_row_mask = 0xFF},
    {.device_code = 0xDA,
     .column_cycles = 2,
     .row_shift = 11,
     .row_cycles = 3,
     .last_row_mask = 0x01},
    {.device_code = 0xDC,
     .column_cycles = 2,
     .row_shift = 11,
     .row_cycles = 3,
     .last_row_mask = 0x03},
    {.device_code = 0xD3,
     .column_cycles = 2,
     .row_shift = 11,
     .row_cycles = 3,
     .last_row_mask = 0x07},
}};

// Column bits 8-10 of a 2 KiB page.
constexpr uint8_t kColumnHighMask = 0x07;

static_assert([] {
  for (const auto& layout : kAddressLayouts) {
    if (layout.column_cycles < 1 || layout.column_cycles > 2) return false;
    if (layout.row_cycles < 1 || layout.column_cycles + layout.row_cycles > 5) return false;
    if (layout.row_shift != (layout.column_cycles == 1 ? 9 : 11)) return false;
  }
  return true;
}());

}  // namespace

int nand_address_bytes(uint8_t device_code, AddressKind kind, uint32_t offset,
                       uint8_t (&bytes)[5]) {
  for (const auto& layout : kAddressLayouts) {
    if (layout.device_code != device_code) continue;
    int count = 0;
    if (kind == AddressKind::kColumnAndRow) {
      bytes[count++] = static_cast<uint8_t>(offset & 0xFF);
      if (layout.column_cycles == 2) {
        bytes[count++] = static_cast<uint8_t>((offset >> 8) & kColumnHighMask);
      }
    }
    for (int row = 0; row < layout.row_cycles; ++row) {
      const uint32_t mask = row + 1 == layout.row_cycles ? layout.last_row_mask : 0xFF;
      const uint32_t shift = layout.row_shift + 8u * static_cast<uint32_t>(row);
      bytes[count++] = static_cast<uint8_t>((offset >> shift) & mask);
    }
    return count;
  }
  return 0;
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

void nand_address(NandBus& bus, AddressKind kind, uint32_t offset) {
  uint8_t bytes[5]{};
  const int count = nand_address_bytes(bus.flash.device_code, kind, offset, bytes);
  nand_address_cycles(bus, bytes, count);
}

void nand_write_bytes(NandBus& bus, const uint8_t* data, int32_t count) {
  const CpuProfile& cpu = *bus.target.profile;
  for (int32_t i = 0; i < count; ++i) strobe_byte(bus, cpu, data[i]);
}

void nand_read_bytes(NandBus& bus, uint8_t* destination, int32_t count) {
  const CpuProfile& cpu = *bus.target.profile;
  const ProfileAccessors& accessors = bus.target.accessors();
  // Release the data lines before nRE falls, so the chip never drives against
  // the CPU. The next put turns them back to drive.
  accessors.set_data_direction(bus.target.vector, kDataListen);
  if (count <= 0) return;
  const auto bytes = static_cast<std::size_t>(count);
  if (bus.read_captures.size() < bytes) bus.read_captures.resize(bytes);
  for (std::size_t i = 0; i < bytes; ++i) {
    set_cell(bus, cpu.nre_cell, kLow);
    scan(bus);
    // Capture-DR samples the pins as the previous update left them: the chip
    // has been driving the byte since nRE fell.
    scan_capture(bus, bus.read_captures[i]);
    set_cell(bus, cpu.nre_cell, kHigh);
    scan(bus);
  }
  bus.cable.flush();
  for (std::size_t i = 0; i < bytes; ++i)
    destination[i] = accessors.get_data_byte(bus.read_captures[i]);
  // The last capture stays readable where every capture used to land.
  bus.capture = bus.read_captures[bytes - 1];
}

int32_t nand_wait_ready(NandBus& bus) {
  const uint32_t rnb_cell = bus.target.profile->rnb_cell;
  const int32_t batch = static_cast<int32_t>(std::max<uint32_t>(bus.cable.poll_batch(), 1));
  if (bus.read_captures.size() < static_cast<std::size_t>(batch))
    bus.read_captures.resize(static_cast<std::size_t>(batch));
  // R/nB is open-drain: the pin reads 1 once the chip is ready.
  for (int32_t polls = 1;;) {
    const int32_t sent = std::min(batch, kNandReadyPolls + 1 - (polls - 1));
    for (int32_t i = 0; i < sent; ++i)
      scan_capture(bus, bus.read_captures[static_cast<std::size_t>(i)]);
    bus.cable.flush();
    for (int32_t i = 0; i < sent; ++i, ++polls) {
      bus.capture = bus.read_captures[static_cast<std::size_t>(i)];
      if (polls > kNandReadyPolls) return -1;
      if (bus.capture[rnb_cell] == kHigh) return 0;
    }
  }
}

}  // namespace jtagnand
