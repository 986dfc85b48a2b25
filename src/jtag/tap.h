#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "jtag/cable.h"
#include "jtag/chain.h"

namespace jtagnand {

// The built-in CPUs have a 4-bit instruction register; a CPU from a BSDL file
// brings its own length and codes.
inline constexpr uint8_t kInstructionLength = 4;
inline constexpr uint32_t kIdcodeLength = 32;

// Instruction codes shared by the built-in CPUs, as bit strings: character 0
// is shifted first and becomes bit 0 of the instruction register.
struct InstructionCodes {
  std::string_view extest;
};
inline constexpr InstructionCodes kInstructionCodes{.extest = "0000"};

// Five clocks with TMS high: Test-Logic-Reset from any state.
void tap_reset(Cable& cable);

// Instruction scan from Test-Logic-Reset or Run-Test/Idle back to Run-Test/Idle;
// `length` + 7 clocks for a CPU alone on `chain`, and one more per instruction
// bit of the other devices, which get BYPASS.
void scan_ir(Cable& cable, const Chain& chain, uint8_t length, const char* code);

// Data scan of `length` (>= 1) bits of `vector`, Run-Test/Idle to Run-Test/Idle;
// `length` + 6 clocks, and one more per other device on `chain` (its bypass
// bit). In EXTEST the pins take the whole vector at Update-DR.
void scan_dr(Cable& cable, const Chain& chain, const char* vector, uint32_t length);

// Data and instruction scans of the whole chain as it stands, with no bypass
// bits added for the other devices: what reading every device's IDCODE, or
// checking every instruction register's length, needs. With `capture` not
// null, capture[i] becomes the TDO bit of clock i (see Cable::flush()).
void scan_whole_chain_dr(Cable& cable, const char* source, char* capture, uint32_t length);
void scan_whole_chain_ir(Cable& cable, const char* source, char* capture, uint32_t length);

// As scan_dr, and capture[i] becomes the TDO bit ('0'/'1') of data clock i,
// which is what cell i captured. `source` and `capture` may be one buffer.
// Nothing past capture[length - 1] is written. A cable that queues its samples
// delivers them at the latest when cable.flush() returns.
void scan_dr_capture(Cable& cable, const Chain& chain, const char* source, char* capture,
                     uint32_t length);

// A data scan with no Run-Test/Idle around it, for scans that follow one
// another: from Run-Test/Idle or straight from the Update-DR of the scan
// before through Select-DR-Scan, and it ends in Update-DR, where the pins take
// the vector on TCK's falling edge; `length` + 4 clocks, and one more per other
// device on the chain. `capture` as for scan_dr_capture, or null. Every other
// sequence here begins with TMS low (or is a reset), which leads from Update-DR
// to Run-Test/Idle, so any of them may follow.
void scan_dr_back_to_back(Cable& cable, const Chain& chain, const char* source, char* capture,
                          uint32_t length);

// Reverses the first 32 characters in place.
void reverse_id_string(char* text);

// Reads the IDCODE selected by `idcode_instruction` (a bit string as long as the
// instruction register) and compares it, most significant bit first, with
// `expected_idcode` (32 characters; an 'X' matches either level). The CPU
// sits on `chain`: the other devices get BYPASS.
enum class IdcodeOutcome : uint8_t { kMatch, kMismatch };
struct [[nodiscard]] IdcodeCheck {
  IdcodeOutcome outcome = IdcodeOutcome::kMismatch;
  std::array<char, kIdcodeLength + 1> bits{};  // as read, bit 31 first, NUL-terminated
};
IdcodeCheck check_idcode(Cable& cable, const Chain& chain, std::string_view idcode_instruction,
                         std::string_view expected_idcode);

}  // namespace jtagnand
