#pragma once

#include <cstdint>
#include <vector>

#include "jtag/cable.h"
#include "nand/chip_descriptor.h"
#include "targets/profile.h"

namespace jtagnand {

// NAND command codes.
inline constexpr uint8_t kNandCmdReset = 0xFF;
inline constexpr uint8_t kNandCmdReadId = 0x90;
inline constexpr uint8_t kNandCmdReadParameterPage = 0xEC;
inline constexpr uint8_t kNandCmdRead = 0x00;
inline constexpr uint8_t kNandCmdReadConfirm = 0x30;
inline constexpr uint8_t kNandCmdProgram = 0x80;
inline constexpr uint8_t kNandCmdProgramConfirm = 0x10;
inline constexpr uint8_t kNandCmdErase = 0x60;
inline constexpr uint8_t kNandCmdEraseConfirm = 0xD0;
inline constexpr uint8_t kNandCmdStatus = 0x70;

inline constexpr uint8_t kNandStatusFail = 0x01;

// A ready line still busy after this many polls is a time-out.
inline constexpr int32_t kNandReadyPolls = 4096;

enum class AddressKind {
  kColumnAndRow = 1,  // page program and page read
  kRowOnly = 2,       // block erase
};

// How the chip on the board made itself known.
enum class ChipSource : uint8_t {
  kBuiltin,     // a built-in chip: its code, and on large pages its own word agreeing
  kOnfi,        // its ONFI parameter page
  kExtendedId,  // its further ID bytes (or its whole ID)
};

// The detected chip: its codes, and every other fact in its descriptor.
struct FlashInfo {
  uint8_t maker_code = 0;
  uint8_t device_code = 0;
  ChipSource source = ChipSource::kBuiltin;
  ChipDescriptor chip{};
};

// Captures waiting for a cable's flush, slot after slot in one buffer, each
// slot as long as the register. A cable keeps where each queued capture goes
// until its flush, and making room moves every slot: all the slots of a round
// trip are made before the first of them is queued.
class CaptureSlots {
 public:
  // Room for `count` slots of `length` cells; keeps the slots where they are
  // when there is room already.
  void make(std::size_t count, uint32_t length) {
    if (length != length_) {
      bits_.clear();
      length_ = length;
    }
    if (bits_.size() < count * length) bits_.resize(count * length);
  }
  [[nodiscard]] char* slot(std::size_t index) { return bits_.data() + index * length_; }
  [[nodiscard]] const char* slot(std::size_t index) const { return bits_.data() + index * length_; }

 private:
  std::vector<char> bits_;
  uint32_t length_ = 0;
};

// The flash as the program reaches it: through the active CPU's boundary
// register in EXTEST. Every pin change is one full scan of the active vector.
//
// Two shapes of bus cycle, chosen once from what the cable asks for:
// - classic: every scan from Run-Test/Idle back to it; a command or an address
//   raises CLE or ALE a scan before its first nWE pulse and lowers it a scan
//   after the last; two scans per byte written, three per byte read;
// - minimal: scans back to back; every write cycle is two scans, the strobe
//   falling in the first with CLE, ALE and the data at their levels and rising
//   alone in the second; a read cycle is two scans, the byte captured in the
//   one whose update raises nRE. CLE and ALE stay up after a latch cycle until
//   the next cycle sets them; a scan of its own lowers them (and turns the data
//   lines to listen) before a read or a ready wait.
struct NandBus {
  Cable& cable;
  ActiveProfile& target;
  CaptureVector capture{};  // the last capture decoded
  FlashInfo flash{};
  // One capture per byte of a read, so that a cable that queues its samples
  // delivers a whole read at once.
  CaptureSlots read_captures{};
  BusTraffic traffic = cable.bus_traffic();
  // Data reads queued by nand_read_ahead, waiting for their round trip: their
  // captures hold the first slots, and a ready wait puts its polls behind them.
  std::size_t read_ahead = 0;
  bool read_ahead_arrived = false;
};

// nCE's levels: low selects the chip, high releases it.
constexpr char kSelect = '0';
constexpr char kRelease = '1';

// nCE := level (kSelect or kRelease); one scan. The minimal cycles lower CLE
// and ALE in it too.
void nand_chip_select(NandBus& bus, char level);
// Command latch cycle; four scans (minimal: two).
void nand_command(NandBus& bus, uint8_t command);
// Address latch cycle for the chip in bus.flash; 2n + 2 scans for n bytes
// (minimal: 2n).
// `offset` is a byte offset in the main area: the column is the byte within
// the page, the row the page number.
void nand_address(NandBus& bus, AddressKind kind, uint64_t offset);
// The same latch cycle for bytes given as they are (ALE up, one nWE pulse per
// byte, ALE down): what Read ID uses for its single 0x00 address byte.
void nand_address_cycles(NandBus& bus, const uint8_t* bytes, int count);
// Data input, two scans per byte; nothing when count <= 0.
void nand_write_bytes(NandBus& bus, const uint8_t* data, int32_t count);
// Data output, three scans per byte (one capturing); minimal: two, after a
// scan that lowers CLE or ALE where one is high. The data lines are left
// listening, even when count <= 0.
void nand_read_bytes(NandBus& bus, uint8_t* destination, int32_t count);
// Polls R/nB with capturing scans: 0 when ready within 4096 polls, else -1
// after a 4097th poll. The minimal cycles scan once first, lowering CLE and
// ALE, so that the first poll comes a whole scan after the last nWE pulse. A cable that asks for it
// gets its polls sent in batches; the polls after the first ready one repeat the same pins and
// change nothing.
[[nodiscard]] int32_t nand_wait_ready(NandBus& bus);
// The same wait, then the status byte (0x70 and one data read) into *status.
// A cable that sends polls ahead gets the status read queued behind them.
[[nodiscard]] int32_t nand_wait_ready_then_status(NandBus& bus, uint8_t* status);

// A ready wait sent one round trip at a time, so that what a round trip
// brings back (the bytes read ahead of it) can be used before the wait goes on.
// `outcome` is 0 once a poll has seen the chip ready, -1 after the 4097th
// poll, 1 while neither.
struct ReadyWait {
  bool with_status = false;  // the status byte read as nand_wait_ready_then_status reads it
  int32_t polls = 1;         // the number of the next poll
  int32_t outcome = 1;
  uint8_t status = 0;
};
// The start of nand_wait_ready(_then_status): the scan that lowers CLE and
// ALE, and one round trip of polls (behind whatever is queued).
void nand_wait_start(NandBus& bus, ReadyWait& wait);
// The rest of the wait: round trips of polls until it is decided. Returns the
// outcome.
int32_t nand_wait_finish(NandBus& bus, ReadyWait& wait);

// Whether a read of `count` bytes may go ahead of the next ready wait: the
// cable sends its polls in batches, and the captures of the bytes and of a
// batch of polls fit in one round trip.
[[nodiscard]] bool nand_can_read_ahead(const NandBus& bus, uint32_t count);
// Queues the data output cycles of `count` bytes (as nand_read_bytes sends
// them) without waiting for them: they travel in the next round trip, the one
// of a ready wait started behind them or nand_take_read_ahead's own.
void nand_read_ahead(NandBus& bus, uint32_t count);
// The bytes nand_read_ahead queued, after their round trip.
void nand_take_read_ahead(NandBus& bus, uint8_t* destination);

using AddressBytes = uint8_t[kNandMaxAddressCycles];

// The address bytes a cycle of `kind` sends for `row` (page number within the
// chip) and `column` (byte within the page, spare area after the main area) on
// `chip`; returns how many were written into `bytes`.
[[nodiscard]] int nand_row_column_bytes(const ChipDescriptor& chip, AddressKind kind, uint64_t row,
                                        uint32_t column, AddressBytes& bytes);
// The same for a byte offset in the main area.
[[nodiscard]] int nand_address_bytes(const ChipDescriptor& chip, AddressKind kind, uint64_t offset,
                                     AddressBytes& bytes);

}  // namespace jtagnand
