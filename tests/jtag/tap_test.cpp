#include "jtag/tap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "cables/lpt_cable.h"
#include "recording_port.h"

namespace jtagnand {
namespace {

using testing::RecordingPort;

constexpr uint16_t kBase = 0x378;
constexpr uint16_t kStatus = kBase + 1;

// The two writes of one TCK period with the given TMS and TDI.
void clock(std::vector<uint8_t>& out, int tms, int tdi) {
  const auto low = static_cast<uint8_t>(0x08 | (tms << 1) | tdi);
  out.push_back(low);
  out.push_back(static_cast<uint8_t>(low | 0x04));
}

// Status byte showing TDO at `level`, with every other input bit set the other
// way so that only bit 6 can decide.
uint8_t status_with_tdo(bool level) {
  return level ? 0x40 : 0xBF;
}

class TapTest : public ::testing::Test {
 protected:
  RecordingPort port;
  LptCable cable{&port, kBase};
};

TEST_F(TapTest, ResetIsFiveClocksWithTmsHigh) {
  tap_reset(cable);
  const std::vector<uint8_t> expected{0x0A, 0x0E, 0x0A, 0x0E, 0x0A, 0x0E, 0x0A, 0x0E, 0x0A, 0x0E};
  EXPECT_EQ(port.writes(), expected);
  EXPECT_EQ(port.read_count(), 0u);
  for (const auto& access : port.accesses()) EXPECT_EQ(access.address, kBase);
}

struct IrCase {
  const char* code;
  std::vector<uint8_t> writes;
};

TEST_F(TapTest, InstructionScanStreams) {
  const std::vector<uint8_t> entry{0x08, 0x0C, 0x0A, 0x0E, 0x0A, 0x0E, 0x08, 0x0C, 0x08, 0x0C};
  const IrCase cases[] = {
      {"0000", {0x08, 0x0C, 0x08, 0x0C, 0x08, 0x0C, 0x0A, 0x0E, 0x0A, 0x0E, 0x08, 0x0C}},
      {"1011", {0x09, 0x0D, 0x08, 0x0C, 0x09, 0x0D, 0x0B, 0x0F, 0x0B, 0x0F, 0x08, 0x0C}},
  };
  for (const IrCase& c : cases) {
    SCOPED_TRACE(c.code);
    port.clear();
    scan_ir(cable, Chain{}, 4, c.code);
    std::vector<uint8_t> expected = entry;
    expected.insert(expected.end(), c.writes.begin(), c.writes.end());
    EXPECT_EQ(port.writes(), expected);
    EXPECT_EQ(port.read_count(), 0u);
  }
}

TEST_F(TapTest, DataScanOfOneBitHasNoShiftClockWithTmsLow) {
  scan_dr(cable, Chain{}, "1", 1);
  std::vector<uint8_t> expected;
  clock(expected, 0, 0);  // Run-Test/Idle
  clock(expected, 1, 0);  // Select-DR
  clock(expected, 0, 0);  // Capture-DR
  clock(expected, 0, 0);  // Shift-DR
  clock(expected, 1, 1);  // the only bit, to Exit1-DR
  clock(expected, 1, 1);  // Update-DR, TDI unchanged
  clock(expected, 0, 0);  // Run-Test/Idle
  EXPECT_EQ(port.writes(), expected);
}

TEST_F(TapTest, DataScanShiftsOnlyLengthCharactersLowBitFirst) {
  // Characters beyond the length must not reach TDI.
  scan_dr(cable, Chain{},
          "0110"
          "1111",
          4);
  std::vector<uint8_t> expected;
  clock(expected, 0, 0);
  clock(expected, 1, 0);
  clock(expected, 0, 0);
  clock(expected, 0, 0);
  clock(expected, 0, 0);
  clock(expected, 0, 1);
  clock(expected, 0, 1);
  clock(expected, 1, 0);
  clock(expected, 1, 0);
  clock(expected, 0, 0);
  EXPECT_EQ(port.writes(), expected);
  EXPECT_EQ(port.writes().size(), 2u * (4 + 6));
}

TEST_F(TapTest, CaptureInPlaceSendsOldContentsAndKeepsTheTail) {
  const std::string before = "10110";
  const std::vector<bool> tdo{false, true, true, false, true};
  char buffer[9];
  std::memcpy(buffer, (before + "XYZ").c_str(), sizeof buffer);
  for (const bool level : tdo) port.script_reads(kStatus, {status_with_tdo(level)});

  scan_dr_capture(cable, Chain{}, buffer, buffer, 5);

  EXPECT_EQ(std::string(buffer, 5), "01101");
  EXPECT_EQ(std::string(buffer + 5, 4), std::string("XYZ\0", 4));

  // Every data clock is followed by one status read, taken with TCK high; the
  // last one comes before the Update-DR clock.
  std::vector<RecordingPort::Access> expected;
  const auto clk = [&](int tms, int tdi) {
    std::vector<uint8_t> w;
    clock(w, tms, tdi);
    for (const uint8_t b : w) expected.push_back({true, kBase, b});
  };
  clk(0, 0);
  clk(1, 0);
  clk(0, 0);
  clk(0, 0);
  for (size_t i = 0; i < before.size(); ++i) {
    clk(i + 1 == before.size() ? 1 : 0, before[i] - '0');
    expected.push_back({false, kStatus, status_with_tdo(tdo[i])});
  }
  clk(1, before.back() - '0');
  clk(0, 0);
  EXPECT_EQ(port.accesses(), expected);
}

// Each TCK period as "TMS TDI" characters, from the port's writes.
std::string clocks_of(const std::vector<uint8_t>& writes) {
  std::string out;
  for (size_t i = 0; i + 1 < writes.size(); i += 2)
    out += std::string(1, (writes[i] & 0x02) != 0 ? '1' : '0') +
           ((writes[i] & 0x01) != 0 ? '1' : '0') + ' ';
  return out;
}

// With other devices on the chain, their bits surround the CPU's: BYPASS
// (all ones) in instruction scans, one bypass bit each in data scans, the
// devices nearer TDO shifted first. Captures are the CPU's cells only.
TEST_F(TapTest, ChainDevicesHeldInBypassSurroundTheCpusBits) {
  const Chain chain{
      .tdo_side_ir_bits = 2, .tdo_side_devices = 1, .tdi_side_ir_bits = 5, .tdi_side_devices = 2};
  scan_ir(cable, chain, 4, "0100");
  EXPECT_EQ(clocks_of(port.writes()),
            "00 10 10 00 00 "  // to Shift-IR
            "01 01 "           // the device nearer TDO: BYPASS
            "00 01 00 00 "     // the CPU's code
            "01 01 01 01 11 "  // the devices nearer TDI: BYPASS, to Exit1-IR
            "11 00 ");         // Update-IR, Run-Test/Idle
  port.clear();
  // TDO is read on the CPU's clocks only: cells 0..2 come after the one bypass
  // bit of the device nearer TDO.
  for (const bool level : {true, false, true}) port.script_reads(kStatus, {status_with_tdo(level)});
  char capture[4] = "xyz";
  scan_dr_capture(cable, chain, "110", capture, 3);
  EXPECT_EQ(std::string(capture, 3), "101");
  EXPECT_EQ(clocks_of(port.writes()), "00 10 00 00 00 01 01 00 00 10 10 00 ");
  EXPECT_EQ(port.read_count(), 3u);
  // The first read follows the first data clock: entry, the bypass bit, cell 0.
  const auto& accesses = port.accesses();
  const auto first_read = std::find_if(accesses.begin(), accesses.end(),
                                       [](const RecordingPort::Access& a) { return !a.is_write; });
  EXPECT_EQ(first_read - accesses.begin(), 2 * (4 + 1 + 1));
}

TEST_F(TapTest, ReverseIdStringTurnsTheFillPatternAround) {
  char text[] = "00001111000011110000111100001111";
  reverse_id_string(text);
  EXPECT_STREQ(text, "11110000111100001111000011110000");
}

constexpr const char* kExpected = "00110000000000000010011010010011";

// Scripts the status reads so that the target shifts out `id` (bit 31 first
// as written), least significant bit first.
void script_idcode(RecordingPort& port, const std::string& id) {
  for (size_t bit = 0; bit < 32; ++bit)
    port.script_reads(kStatus, {status_with_tdo(id[31 - bit] == '1')});
}

TEST_F(TapTest, IdcodeMatchGivesTheBitsRead) {
  script_idcode(port, kExpected);
  const IdcodeCheck check = check_idcode(cable, Chain{}, "1011", kExpected);
  EXPECT_EQ(check.outcome, IdcodeOutcome::kMatch);
  EXPECT_STREQ(check.bits.data(), kExpected);
  EXPECT_EQ(port.writes().size(), 98u);
  EXPECT_EQ(port.read_count(), 32u);

  // The instruction scan carries the profile's IDCODE instruction, and the
  // data scan sends the fill pattern while the register comes out.
  RecordingPort reference;
  LptCable reference_cable{&reference, kBase};
  scan_ir(reference_cable, Chain{}, 4, "1011");
  scan_dr(reference_cable, Chain{}, "00001111000011110000111100001111", 32);
  EXPECT_EQ(port.writes(), reference.writes());
}

TEST_F(TapTest, IdcodeMismatchesGiveTheBitsRead) {
  std::string last_bit_differs = kExpected;
  last_bit_differs.back() = '0';
  const std::string all_ones(32, '1');
  for (const std::string& read : {last_bit_differs, all_ones}) {
    SCOPED_TRACE(read);
    RecordingPort target;
    LptCable target_cable{&target, kBase};
    script_idcode(target, read);
    const IdcodeCheck check = check_idcode(target_cable, Chain{}, "1011", kExpected);
    EXPECT_EQ(check.outcome, IdcodeOutcome::kMismatch);
    EXPECT_EQ(std::string(check.bits.data()), read);
  }
}

}  // namespace
}  // namespace jtagnand
