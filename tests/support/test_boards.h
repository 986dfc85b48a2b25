#pragma once

// A CPU for the tests of board descriptions, written as a BSDL file: what the
// four data files of tests/data/boards do not have. Its instruction register
// has 6 bits (EXTEST 100110, PRELOAD 000010 apart from SAMPLE 000001, IDCODE
// 001001), its IDCODE leaves the version bits open (X), its boundary register
// has 600 cells, past the built-in CPUs' 412, and the flash's pins sit at its
// far end, switched by control cells of both polarities.

#include <array>
#include <cstdint>
#include <string>

namespace jtagnand::testing {

// Where the flash's pins are in the register (cell numbers).
struct TestCpuCells {
  // D0-D3: BC_7 bidir cells, the control disables at 1. D4-D7: an output3
  // and an input cell each, the control disables at 0.
  std::array<uint32_t, 8> data_out{541, 543, 545, 547, 549, 552, 555, 558};
  std::array<uint32_t, 8> data_in{541, 543, 545, 547, 550, 553, 556, 559};
  std::array<uint32_t, 8> data_control{540, 542, 544, 546, 548, 551, 554, 557};
  uint32_t nce_control = 560;  // disables at 0: '1' drives nCE
  uint32_t nce = 561;
  uint32_t cle = 562;          // output2: always driven
  uint32_t ale_control = 563;  // disables at 1
  uint32_t ale = 564;
  uint32_t strobe_control = 565;  // nWE and nRE share it; disables at 0
  uint32_t nwe = 566;
  uint32_t nre = 567;
  uint32_t rb_control = 568;  // R/nB is an inout pin: its driver must stay off
  uint32_t rb_out = 569;
  uint32_t rb_in = 570;
  uint32_t wp_control = 571;  // WP: for a hold line
  uint32_t wp = 572;
  uint32_t length = 600;
};
inline constexpr TestCpuCells kTestCpu{};
inline constexpr uint32_t kTestCpuIdcode = 0x0ABCD0F3;  // the version bits as 0
inline constexpr uint8_t kTestCpuExtest = 0x26;         // register values, bit 0 nearest TDO
inline constexpr uint8_t kTestCpuPreload = 0x02;

struct TestCpuOptions {
  bool idcode = true;            // false: no IDCODE instruction nor register
  std::string version = "XXXX";  // the IDCODE's version bits as the file writes them
  // The control cell whose disable value is written the other way round, as a
  // wrongly transcribed file would have it (0: none).
  uint32_t flipped_control = 0;
};

// The BSDL text of entity WIDE.
[[nodiscard]] std::string test_cpu_bsdl(const TestCpuOptions& options = {});

// A board description of the CPU above with the flash on D(0)-D(7), NCE, CLE,
// ALE, NWE, NRE and RB, and WP held high; `bsdl` as its bsdl line,
// `tdi_side`/`tdo_side` as their values.
[[nodiscard]] std::string test_board_description(const std::string& bsdl,
                                                 const std::string& tdi_side = {},
                                                 const std::string& tdo_side = {});

// Writes `text` to `path`, replacing the file.
void write_text(const std::string& path, const std::string& text);

}  // namespace jtagnand::testing
