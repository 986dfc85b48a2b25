#include "jtag/tap.h"

#include <algorithm>
#include <cstring>

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
constexpr uint32_t kResetTms = 0b11111;
constexpr uint32_t kResetClocks = 5;

[[nodiscard]] inline bool bit_of(char c) {
  return (static_cast<unsigned char>(c) & 1U) != 0;
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

void scan_ir(Cable& cable, uint8_t length, const char* code) {
  if (length == 0) return;
  cable.clock_tms(kEnterShiftIr, kEnterShiftIrClocks, false);
  cable.shift(code, nullptr, length, true);  // the last bit leaves for Exit1-IR
  leave_through_update(cable, bit_of(code[length - 1]));
}

void scan_dr(Cable& cable, const char* vector, uint32_t length) {
  if (length == 0) return;
  cable.clock_tms(kEnterShiftDr, kEnterShiftDrClocks, false);
  cable.shift(vector, nullptr, length, true);
  leave_through_update(cable, bit_of(vector[length - 1]));
}

void scan_dr_capture(Cable& cable, const char* source, char* capture, uint32_t length) {
  if (length == 0) return;
  // The last TDI bit is taken before the shift may overwrite it with its capture.
  const bool last_tdi = bit_of(source[length - 1]);
  cable.clock_tms(kEnterShiftDr, kEnterShiftDrClocks, false);
  // Each sample is taken with TCK high, after the falling edge on which the
  // target put out that clock's bit; the last one before the Update clock.
  cable.shift(source, capture, length, true);
  leave_through_update(cable, last_tdi);
}

void reverse_id_string(char* text) {
  std::reverse(text, text + kIdcodeLength);
}

int32_t check_idcode(Cable& cable, Console& console, const char* idcode_instruction,
                     const char* expected_idcode) {
  char id[kIdcodeLength + 1];
  std::memcpy(id, kIdcodeFill, sizeof id);
  scan_ir(cable, kInstructionLength, idcode_instruction);
  scan_dr_capture(cable, id, id, kIdcodeLength);
  cable.flush();
  // Shifted out least significant bit first; shown and compared bit 31 first.
  reverse_id_string(id);
  if (std::memcmp(id, expected_idcode, kIdcodeLength) != 0) {
    print(console, "\nERROR, Your ID: %s\n", id);
    return -1;
  }
  print(console, "\nOK!, JTAG ID:   %s\n", id);
  return 0;
}

}  // namespace jtagnand
