#include "jtag/tap.h"

#include <algorithm>
#include <cstring>

namespace jtagnand {

namespace {

// jtag_clock() line values: bit 0 TDI, bit 1 TMS.
constexpr uint8_t kTms0 = 0;
constexpr uint8_t kTms1 = kLineTms;

// A bit string carries each bit in the low bit of its character code.
[[nodiscard]] inline uint8_t tdi_of(char bit) {
  return static_cast<uint8_t>(static_cast<unsigned char>(bit) & kLineTdi);
}

// Sent on TDI while the IDCODE register is shifted out; what comes back
// replaces it character by character.
constexpr char kIdcodeFill[] = "00001111000011110000111100001111";
static_assert(sizeof kIdcodeFill == kIdcodeLength + 1);

// Run-Test/Idle (or Test-Logic-Reset) -> Select-DR -> Capture-DR -> Shift-DR.
// The rising edge of the last clock is where the register captures.
inline void enter_shift_dr(const LptCable& cable) {
  jtag_clock(cable, kTms0);
  jtag_clock(cable, kTms1);
  jtag_clock(cable, kTms0);
  jtag_clock(cable, kTms0);
}

// Exit1-DR -> Update-DR with TDI unchanged, then Update-DR -> Run-Test/Idle.
// The falling edge of that last clock, still in Update-DR, makes the cells
// take over the shifted values.
inline void leave_through_update(const LptCable& cable, uint8_t last_tdi) {
  jtag_clock(cable, static_cast<uint8_t>(kTms1 | last_tdi));
  jtag_clock(cable, kTms0);
}

}  // namespace

void init_instruction_codes(InstructionCodes& codes) {
  std::memcpy(codes.bypass, "1111", 5);
  std::memcpy(codes.extest_instruction, "0000", 5);
  std::memcpy(codes.code_1000, "1000", 5);
  std::memcpy(codes.code_1101, "1101", 5);
  std::memcpy(codes.code_1100, "1100", 5);
}

void tap_reset(const LptCable& cable) {
  // TMS high, TDI low, TRST released: TCK low then high, five times over.
  constexpr uint8_t kLow = kLineTrstN | kLineTms;
  constexpr uint8_t kHigh = kLineTrstN | kLineTms | kLineTck;
  for (int clock = 0; clock < 5; ++clock) {
    cable.io->write_byte(cable.base, kLow);
    cable.io->write_byte(cable.base, kHigh);
  }
}

void scan_ir(const LptCable& cable, uint8_t length, const char* code) {
  if (length == 0) return;
  const LptCable local = cable;  // keeps io and base in registers across the clocks
  jtag_clock(local, kTms0);      // Run-Test/Idle
  jtag_clock(local, kTms1);      // Select-DR-Scan
  jtag_clock(local, kTms1);      // Select-IR-Scan
  jtag_clock(local, kTms0);      // Capture-IR
  jtag_clock(local, kTms0);      // Shift-IR
  const uint32_t last = length - 1u;
  for (uint32_t i = 0; i < last; ++i) jtag_clock(local, tdi_of(code[i]));
  const uint8_t last_tdi = tdi_of(code[last]);
  jtag_clock(local, static_cast<uint8_t>(kTms1 | last_tdi));  // last bit, to Exit1-IR
  jtag_clock(local, static_cast<uint8_t>(kTms1 | last_tdi));  // Update-IR
  jtag_clock(local, kTms0);  // instruction in force on the falling edge; Run-Test/Idle
}

void scan_dr(const LptCable& cable, const char* vector, uint32_t length) {
  if (length == 0) return;
  const LptCable local = cable;
  enter_shift_dr(local);
  const uint32_t last = length - 1;
  for (uint32_t i = 0; i < last; ++i) jtag_clock(local, tdi_of(vector[i]));
  const uint8_t last_tdi = tdi_of(vector[last]);
  jtag_clock(local, static_cast<uint8_t>(kTms1 | last_tdi));  // last bit, to Exit1-DR
  leave_through_update(local, last_tdi);
}

void scan_dr_capture(const LptCable& cable, const char* source, char* capture, uint32_t length) {
  if (length == 0) return;
  const LptCable local = cable;
  enter_shift_dr(local);
  const uint32_t last = length - 1;
  // source[i] is consumed before capture[i] is written, so the two may be one
  // buffer. TDO is sampled with TCK high, after the falling edge on which the
  // target put out this clock's bit.
  for (uint32_t i = 0; i < last; ++i) {
    jtag_clock(local, tdi_of(source[i]));
    capture[i] = static_cast<char>('0' + static_cast<int>(cable_read_tdo(local)));
  }
  const uint8_t last_tdi = tdi_of(source[last]);
  jtag_clock(local, static_cast<uint8_t>(kTms1 | last_tdi));
  capture[last] = static_cast<char>('0' + static_cast<int>(cable_read_tdo(local)));
  leave_through_update(local, last_tdi);
}

void reverse_id_string(char* text) {
  std::reverse(text, text + kIdcodeLength);
}

int32_t check_idcode(const LptCable& cable, Console& console, const char* idcode_instruction,
                     const char* expected_idcode) {
  char id[kIdcodeLength + 1];
  std::memcpy(id, kIdcodeFill, sizeof id);
  scan_ir(cable, kInstructionLength, idcode_instruction);
  scan_dr_capture(cable, id, id, kIdcodeLength);
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
