#include "nand/nand_bus.h"

#include <algorithm>
#include <array>
#include <bit>

#include "jtag/tap.h"

namespace jtagnand {

namespace {

// Captures waiting for one flush, in cells: 16 MiB. A read of a page on any
// built-in CPU's register (at most 412 cells) is far below it.
constexpr std::size_t kMaxQueuedCells = std::size_t{1} << 24;

// Boundary cells hold the level a pin is driven to.
constexpr char kLow = '0';
constexpr char kHigh = '1';

[[nodiscard]] inline bool minimal(const NandBus& bus) {
  return bus.traffic == BusTraffic::kMinimal;
}

// Every pin change is one full shift of the active vector; the pins take the
// whole vector at once at Update-DR.
inline void scan(NandBus& bus) {
  if (minimal(bus)) {
    scan_dr_back_to_back(bus.cable, bus.target.chain, bus.target.vector.data(), nullptr,
                         bus.target.boundary_length());
  } else {
    scan_dr(bus.cable, bus.target.chain, bus.target.vector.data(), bus.target.boundary_length());
  }
}

// The same shift, recording what every cell sampled from its pin just before
// into slot `slot` of bus.read_captures, made beforehand. A cable that queues
// its samples fills the slot at the latest on its flush().
inline void scan_capture(NandBus& bus, std::size_t slot) {
  if (minimal(bus)) {
    scan_dr_back_to_back(bus.cable, bus.target.chain, bus.target.vector.data(),
                         bus.read_captures.slot(slot), bus.target.boundary_length());
  } else {
    scan_dr_capture(bus.cable, bus.target.chain, bus.target.vector.data(),
                    bus.read_captures.slot(slot), bus.target.boundary_length());
  }
}

// Slots 0..count-1 of bus.read_captures, as long as the register.
inline void make_slots(NandBus& bus, std::size_t count) {
  bus.read_captures.make(count, bus.target.boundary_length());
}

// Slot `slot` kept as the last capture.
inline void keep_capture(NandBus& bus, std::size_t slot) {
  const char* bits = bus.read_captures.slot(slot);
  bus.capture.assign(bits, bits + bus.target.boundary_length());
}

inline void set_cell(NandBus& bus, uint32_t cell, char level) {
  bus.target.vector[cell] = level;
}

// Puts a byte on the data cells and turns the CPU's data pins to drive; the
// next scan carries both.
inline void put_byte(NandBus& bus, uint8_t value) {
  bus.target.put_data_byte(value, 8);
}

// One write strobe: the byte and nWE low in one scan, nWE high in the next.
// The chip latches on the rising edge of nWE.
inline void strobe_byte(NandBus& bus, const NandCells& cells, uint8_t value) {
  put_byte(bus, value);
  set_cell(bus, cells.nwe, kLow);
  scan(bus);
  set_cell(bus, cells.nwe, kHigh);
  scan(bus);
}

// A minimal write cycle: CLE and ALE at `cle` and `ale`, the byte and nWE low
// in one scan, nWE high alone in the next. CLE and ALE may change where nWE
// falls, never where it rises; the chip takes them with the byte at the rise.
inline void latch_byte(NandBus& bus, char cle, char ale, uint8_t value) {
  const NandCells& cells = bus.target.cells;
  set_cell(bus, cells.cle, cle);
  set_cell(bus, cells.ale, ale);
  strobe_byte(bus, cells, value);
}

[[nodiscard]] inline bool latch_line_high(const NandBus& bus) {
  const NandCells& cells = bus.target.cells;
  return bus.target.vector[cells.cle] == kHigh || bus.target.vector[cells.ale] == kHigh;
}

[[nodiscard]] inline bool data_lines_drive(const NandBus& bus) {
  const DataLine& line = bus.target.cells.data[0];
  return bus.target.vector[line.control] == line.drive;
}

// Minimal cycles: CLE and ALE low and the data lines listening, in a scan of
// their own. CLE and ALE must be low tCLR / tAR before nRE falls, and the CPU
// must have let go of the data lines before the chip drives them; a ready wait
// also gets its first poll a whole scan after the last nWE rise, well past
// tWB, when R/nB may not yet show busy.
inline void settle(NandBus& bus) {
  const NandCells& cells = bus.target.cells;
  set_cell(bus, cells.cle, kLow);
  set_cell(bus, cells.ale, kLow);
  bus.target.set_data_direction(kDataListen);
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
  set_cell(bus, bus.target.cells.nce, level);
  if (minimal(bus)) {
    set_cell(bus, bus.target.cells.cle, kLow);
    set_cell(bus, bus.target.cells.ale, kLow);
  }
  scan(bus);
}

void nand_command(NandBus& bus, uint8_t command) {
  if (minimal(bus)) {
    latch_byte(bus, kHigh, kLow, command);
    return;
  }
  const NandCells& cells = bus.target.cells;
  // Byte, drive and CLE reach the pins together, one scan before nWE falls.
  put_byte(bus, command);
  set_cell(bus, cells.cle, kHigh);
  scan(bus);
  set_cell(bus, cells.nwe, kLow);
  scan(bus);
  set_cell(bus, cells.nwe, kHigh);
  scan(bus);
  set_cell(bus, cells.cle, kLow);
  scan(bus);
}

void nand_address_cycles(NandBus& bus, const uint8_t* bytes, int count) {
  if (minimal(bus)) {
    for (int i = 0; i < count; ++i) latch_byte(bus, kLow, kHigh, bytes[i]);
    return;
  }
  const NandCells& cells = bus.target.cells;
  set_cell(bus, cells.ale, kHigh);
  scan(bus);
  for (int i = 0; i < count; ++i) strobe_byte(bus, cells, bytes[i]);
  set_cell(bus, cells.ale, kLow);
  scan(bus);
}

void nand_address(NandBus& bus, AddressKind kind, uint64_t offset) {
  AddressBytes bytes{};
  const int count = nand_address_bytes(bus.flash.chip, kind, offset, bytes);
  nand_address_cycles(bus, bytes, count);
}

void nand_write_bytes(NandBus& bus, const uint8_t* data, int32_t count) {
  if (minimal(bus)) {
    for (int32_t i = 0; i < count; ++i) latch_byte(bus, kLow, kLow, data[i]);
    return;
  }
  const NandCells& cells = bus.target.cells;
  for (int32_t i = 0; i < count; ++i) strobe_byte(bus, cells, data[i]);
}

namespace {

// The scans of `count` data output cycles, their captures into
// bus.read_captures from `first_slot` on; nothing is decoded yet.
void queue_reads(NandBus& bus, std::size_t first_slot, std::size_t count) {
  const uint32_t nre = bus.target.cells.nre;
  if (minimal(bus)) {
    if (count != 0 && (latch_line_high(bus) || data_lines_drive(bus))) settle(bus);
    bus.target.set_data_direction(kDataListen);
    make_slots(bus, first_slot + count);
    for (std::size_t i = first_slot; i < first_slot + count; ++i) {
      set_cell(bus, nre, kLow);
      scan(bus);
      // Capture-DR comes before Update-DR: this scan captures the byte the chip
      // has driven since the update before, then raises nRE.
      set_cell(bus, nre, kHigh);
      scan_capture(bus, i);
    }
    return;
  }
  // Release the data lines before nRE falls, so the chip never drives against
  // the CPU. The next put turns them back to drive.
  bus.target.set_data_direction(kDataListen);
  make_slots(bus, first_slot + count);
  for (std::size_t i = first_slot; i < first_slot + count; ++i) {
    set_cell(bus, nre, kLow);
    scan(bus);
    // Capture-DR samples the pins as the previous update left them: the chip
    // has been driving the byte since nRE fell.
    scan_capture(bus, i);
    set_cell(bus, nre, kHigh);
    scan(bus);
  }
}

// Polls R/nB `count` times, the captures into bus.read_captures from slot
// `first_slot` on.
void queue_polls(NandBus& bus, std::size_t first_slot, std::size_t count) {
  make_slots(bus, first_slot + count);
  for (std::size_t i = first_slot; i < first_slot + count; ++i) scan_capture(bus, i);
}

[[nodiscard]] int32_t poll_batch(const NandBus& bus) {
  return static_cast<int32_t>(std::max<uint32_t>(bus.cable.poll_batch(), 1));
}

}  // namespace

void nand_read_bytes(NandBus& bus, uint8_t* destination, int32_t count) {
  const auto bytes = static_cast<std::size_t>(std::max(count, 0));
  // The whole read waits for one flush, unless its captures would take more
  // than kMaxQueuedCells: on a register of thousands of cells a page then
  // reads in pieces, and the captures stay within a few MiB.
  const std::size_t per_flush = std::max<std::size_t>(
      kMaxQueuedCells / std::max<uint32_t>(bus.target.boundary_length(), 1), 1);
  std::size_t done = 0;
  std::size_t piece = 0;
  do {
    piece = std::min(bytes - done, per_flush);
    queue_reads(bus, 0, piece);
    if (piece == 0) return;
    bus.cable.flush();
    for (std::size_t i = 0; i < piece; ++i)
      destination[done + i] = bus.target.get_data_byte(bus.read_captures.slot(i));
    done += piece;
  } while (done < bytes);
  // The last capture stays readable where every capture used to land.
  keep_capture(bus, piece - 1);
}

int32_t nand_wait_ready(NandBus& bus) {
  return nand_wait_ready_then_status(bus, nullptr);
}

int32_t nand_wait_ready_then_status(NandBus& bus, uint8_t* status) {
  ReadyWait wait{.with_status = status != nullptr};
  nand_wait_start(bus, wait);
  const int32_t outcome = nand_wait_finish(bus, wait);
  if (outcome == 0 && status != nullptr) *status = wait.status;
  return outcome;
}

namespace {

// One round trip of the wait: a batch of polls behind the slots read ahead.
void poll_round(NandBus& bus, ReadyWait& wait) {
  const uint32_t rnb_cell = bus.target.cells.rnb;
  const int32_t batch = poll_batch(bus);
  // A cable that sends polls ahead also gets the status read behind them, in
  // the same round trip: 0x70 may be given while the chip is busy, and once a
  // poll has seen it ready, the status read after the polls is its final word.
  // Otherwise the polls go on and the status is read again behind them.
  const bool status_behind_polls = wait.with_status && batch > 1;
  const int32_t sent = std::min(batch, kNandReadyPolls + 1 - (wait.polls - 1));
  const std::size_t first = bus.read_ahead;
  const auto slots = static_cast<std::size_t>(sent);
  // The cable keeps where each queued capture goes until the flush: make room
  // for all of this round trip's captures before the first is queued, as
  // making room later would move the ones already queued.
  make_slots(bus, first + slots + (status_behind_polls ? 1 : 0));
  queue_polls(bus, first, slots);
  if (status_behind_polls) {
    nand_command(bus, kNandCmdStatus);
    queue_reads(bus, first + slots, 1);
  }
  bus.cable.flush();
  bus.read_ahead_arrived = true;
  // R/nB is open-drain: the pin reads 1 once the chip is ready.
  for (std::size_t i = first; i < first + slots; ++i, ++wait.polls) {
    keep_capture(bus, i);
    if (wait.polls > kNandReadyPolls) {
      wait.outcome = -1;
      return;
    }
    if (bus.capture[rnb_cell] != kHigh) continue;
    if (status_behind_polls) {
      wait.status = bus.target.get_data_byte(bus.read_captures.slot(first + slots));
    } else if (wait.with_status) {
      nand_command(bus, kNandCmdStatus);
      nand_read_bytes(bus, &wait.status, 1);
    }
    wait.outcome = 0;
    return;
  }
}

}  // namespace

void nand_wait_start(NandBus& bus, ReadyWait& wait) {
  if (minimal(bus)) settle(bus);
  poll_round(bus, wait);
}

int32_t nand_wait_finish(NandBus& bus, ReadyWait& wait) {
  while (wait.outcome > 0) poll_round(bus, wait);
  return wait.outcome;
}

bool nand_can_read_ahead(const NandBus& bus, uint32_t count) {
  const std::size_t slots = std::size_t{count} + static_cast<std::size_t>(poll_batch(bus)) + 1;
  return poll_batch(bus) > 1 && slots * bus.target.boundary_length() <= kMaxQueuedCells;
}

void nand_read_ahead(NandBus& bus, uint32_t count) {
  // Room for the polls and the status read of the wait behind the bytes, made
  // now: the cable holds on to the slots of the bytes until their flush.
  make_slots(bus, std::size_t{count} + static_cast<std::size_t>(poll_batch(bus)) + 1);
  queue_reads(bus, 0, count);
  bus.read_ahead = count;
  bus.read_ahead_arrived = false;
}

void nand_take_read_ahead(NandBus& bus, uint8_t* destination) {
  if (!bus.read_ahead_arrived) bus.cable.flush();
  for (std::size_t i = 0; i < bus.read_ahead; ++i)
    destination[i] = bus.target.get_data_byte(bus.read_captures.slot(i));
  bus.read_ahead = 0;
}

}  // namespace jtagnand
