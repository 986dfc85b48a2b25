#include "jtag/tap.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace jtagnand {

namespace {

// Sent on TDI while the IDCODE register is shifted out; what comes back
// replaces it character by character.
constexpr char kIdcodeFill[] = "00001111000011110000111100001111";
static_assert(sizeof kIdcodeFill == kIdcodeLength + 1);

// TMS sequences, first clock in bit 0, all with TDI low.
// Run-Test/Idle (or Test-Logic-Reset) -> Run-Test/Idle -> Select-DR -> Capture-DR
// -> Shift-DR: TMS 0, 1, 0, 0. The rising edge of the last clock is where the
// register captures.
constexpr uint32_t kEnterShiftDr = 0b0010;
constexpr uint32_t kEnterShiftDrClocks = 4;
// ... -> Select-DR -> Select-IR -> Capture-IR -> Shift-IR: TMS 0, 1, 1, 0, 0.
constexpr uint32_t kEnterShiftIr = 0b00110;
constexpr uint32_t kEnterShiftIrClocks = 5;
// Update-DR (or Run-Test/Idle) -> Select-DR -> Capture-DR -> Shift-DR: TMS 1, 0, 0.
constexpr uint32_t kNextShiftDr = 0b001;
constexpr uint32_t kNextShiftDrClocks = 3;
constexpr uint32_t kResetTms = 0b11111;
constexpr uint32_t kResetClocks = 5;

// `count` fill bits for the other devices of the chain, all `level`; the last
// of them leaves the Shift state when `exit_shift`. Returns the TDI of the last
// bit sent, or `previous_tdi` when there were none.
bool shift_fill(Cable& cable, uint32_t count, char level, bool exit_shift, bool previous_tdi) {
  if (count == 0) return previous_tdi;
  const std::string fill(count, level);
  cable.shift(fill.data(), nullptr, count, exit_shift);
  return level == '1';
}

// A Shift state's bits for the CPU, with the chain's other devices before (nearer
// TDO: shifted first, so they travel furthest) and after it.
// Returns the TDI of the last bit sent, which the Update clock repeats.
bool shift_through_chain(Cable& cable, uint32_t tdo_side, const char* tdi, char* capture,
                         uint32_t length, uint32_t tdi_side, char fill) {
  if (tdo_side == 0 && tdi_side == 0) {
    const bool last_tdi = bit_of(tdi[length - 1]);  // taken before a capture overwrites it
    cable.shift(tdi, capture, length, true);
    return last_tdi;
  }
  static_cast<void>(shift_fill(cable, tdo_side, fill, false, false));
  const bool last_tdi = bit_of(tdi[length - 1]);
  cable.shift(tdi, capture, length, tdi_side == 0);
  return shift_fill(cable, tdi_side, fill, true, last_tdi);
}

// Moves from Run-Test/Idle (or Update) into a Shift state with `enter_tms`
// over `enter_clocks` clocks, then shifts the CPU's bits through the chain
// with `fill` for the other devices. Returns the TDI of the last bit sent.
bool enter_and_shift(Cable& cable, uint32_t enter_tms, uint32_t enter_clocks, uint32_t tdo_side,
                     const char* tdi, char* capture, uint32_t length, uint32_t tdi_side,
                     char fill) {
  cable.clock_tms(enter_tms, enter_clocks, false);
  return shift_through_chain(cable, tdo_side, tdi, capture, length, tdi_side, fill);
}

// The DR variant through the chain: the CPU's register with the other
// devices' bypass bits around it, which carry nothing worth keeping.
bool enter_and_shift_dr(Cable& cable, const Chain& chain, uint32_t enter_tms, uint32_t enter_clocks,
                        const char* source, char* capture, uint32_t length) {
  return enter_and_shift(cable, enter_tms, enter_clocks, chain.tdo_side_devices, source, capture,
                         length, chain.tdi_side_devices, '0');
}

// Exit1 -> Update with TDI unchanged, then Update -> Run-Test/Idle with TDI low.
// The falling edge of that last clock, still in Update, makes the register take
// over the shifted value.
inline void leave_through_update(Cable& cable, bool last_tdi) {
  cable.clock_tms(1, 1, last_tdi);
  cable.clock_tms(0, 1, false);
}

}  // namespace

void tap_reset(Cable& cable) {
  cable.clock_tms(kResetTms, kResetClocks, false);
}

void scan_ir(Cable& cable, const Chain& chain, uint8_t length, const char* code) {
  if (length == 0) return;
  // The other devices get all ones: BYPASS. The last bit leaves for Exit1-IR.
  const bool last_tdi =
      enter_and_shift(cable, kEnterShiftIr, kEnterShiftIrClocks, chain.tdo_side_ir_bits, code,
                      nullptr, length, chain.tdi_side_ir_bits, '1');
  leave_through_update(cable, last_tdi);
}

void scan_dr(Cable& cable, const Chain& chain, const char* vector, uint32_t length) {
  scan_dr_capture(cable, chain, vector, nullptr, length);
}

void scan_dr_capture(Cable& cable, const Chain& chain, const char* source, char* capture,
                     uint32_t length) {
  if (length == 0) return;
  // Each sample is taken with TCK high, after the falling edge on which the
  // target put out that clock's bit; the last one before the Update clock.
  leave_through_update(cable, enter_and_shift_dr(cable, chain, kEnterShiftDr, kEnterShiftDrClocks,
                                                 source, capture, length));
}

void scan_dr_back_to_back(Cable& cable, const Chain& chain, const char* source, char* capture,
                          uint32_t length) {
  if (length == 0) return;
  const bool last_tdi =
      enter_and_shift_dr(cable, chain, kNextShiftDr, kNextShiftDrClocks, source, capture, length);
  cable.clock_tms(1, 1, last_tdi);  // Exit1-DR -> Update-DR
}

// The whole chain is one register here: no fill bits on either side.
void scan_whole_chain_dr(Cable& cable, const char* source, char* capture, uint32_t length) {
  if (length == 0) return;
  leave_through_update(cable, enter_and_shift(cable, kEnterShiftDr, kEnterShiftDrClocks, 0, source,
                                              capture, length, 0, '0'));
}

void scan_whole_chain_ir(Cable& cable, const char* source, char* capture, uint32_t length) {
  if (length == 0) return;
  leave_through_update(cable, enter_and_shift(cable, kEnterShiftIr, kEnterShiftIrClocks, 0, source,
                                              capture, length, 0, '1'));
}

void reverse_id_string(char* text) {
  std::reverse(text, text + kIdcodeLength);
}

IdcodeCheck check_idcode(Cable& cable, const Chain& chain, std::string_view idcode_instruction,
                         std::string_view expected_idcode) {
  IdcodeCheck check;
  char* id = check.bits.data();
  std::memcpy(id, kIdcodeFill, sizeof kIdcodeFill);
  scan_ir(cable, chain, static_cast<uint8_t>(idcode_instruction.size()), idcode_instruction.data());
  scan_dr_capture(cable, chain, id, id, kIdcodeLength);
  cable.flush();
  // Shifted out least significant bit first; shown and compared bit 31 first.
  reverse_id_string(id);
  bool match = expected_idcode.size() == kIdcodeLength;
  for (uint32_t bit = 0; match && bit < kIdcodeLength; ++bit)
    match = expected_idcode[bit] == 'X' || expected_idcode[bit] == id[bit];
  check.outcome = match ? IdcodeOutcome::kMatch : IdcodeOutcome::kMismatch;
  return check;
}

}  // namespace jtagnand
