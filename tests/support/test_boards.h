#pragma once

// A test CPU as a BSDL file, with what the four data files of tests/data/boards
// lack: a 6-bit IR (EXTEST 100110, PRELOAD 000010 apart from SAMPLE 000001),
// the IDCODE's version bits as the caller writes them (default X), 600 cells,
// and the flash's pins at the far end behind control cells of both polarities.

#include <array>
#include <cstdint>
#include <string>

namespace jtagnand::testing {

// Where the flash's pins are. D0-D3: BC_7 bidir cells whose controls disable
// at 1; D4-D7: output3 + input cells, controls disabling at 0.
struct TestCpuCells {
  std::array<uint32_t, 8> data_out{541, 543, 545, 547, 549, 552, 555, 558};
  std::array<uint32_t, 8> data_control{540, 542, 544, 546, 548, 551, 554, 557};
  uint32_t nce_control = 560, nce = 561;                // disables at 0
  uint32_t cle = 562;                                   // output2: always driven
  uint32_t ale_control = 563, ale = 564;                // disables at 1
  uint32_t strobe_control = 565, nwe = 566, nre = 567;  // nWE and nRE share it; disables at 0
  uint32_t wp_control = 571, wp = 572;                  // a pin for a hold line; disables at 0
};
inline constexpr TestCpuCells kTestCpu{};
inline constexpr uint8_t kTestCpuExtest = 0x26, kTestCpuPreload = 0x02;  // bit 0 nearest TDO

struct TestCpuOptions {
  bool idcode = true;
  std::string version = "XXXX";  // the IDCODE_REGISTER's version bits; the rest is 0xABCD0F3
  uint32_t flipped_control = 0;  // a control cell whose disable value is written wrong
};

// The BSDL text of entity WIDE.
[[nodiscard]] std::string test_cpu_bsdl(const TestCpuOptions& options = {});

// A description of it: the flash on D(0)-D(7), NCE, CLE, ALE, NWE, NRE, RB
// (an inout pin), WP held high.
[[nodiscard]] std::string test_board_description(const std::string& bsdl,
                                                 const std::string& tdi_side = {},
                                                 const std::string& tdo_side = {});

void write_text(const std::string& path, const std::string& text);

}  // namespace jtagnand::testing
