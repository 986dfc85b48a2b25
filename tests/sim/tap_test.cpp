// The board's JTAG side: TAP state machine, instruction register, IDCODE,
// BYPASS, the virtual port's registers.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/sim_board.h"
#include "sim_cable.h"

namespace jtagnand::sim {
namespace {

using testing::Cable;

using testing::make_port;

// The 1149.1 transitions, written out as the standard draws them.
struct Transition {
  TapState from;
  int tms;
  TapState to;
};
using S = TapState;
constexpr Transition kTransitions[] = {
    {S::kTestLogicReset, 0, S::kRunTestIdle},
    {S::kTestLogicReset, 1, S::kTestLogicReset},
    {S::kRunTestIdle, 0, S::kRunTestIdle},
    {S::kRunTestIdle, 1, S::kSelectDrScan},
    {S::kSelectDrScan, 0, S::kCaptureDr},
    {S::kSelectDrScan, 1, S::kSelectIrScan},
    {S::kCaptureDr, 0, S::kShiftDr},
    {S::kCaptureDr, 1, S::kExit1Dr},
    {S::kShiftDr, 0, S::kShiftDr},
    {S::kShiftDr, 1, S::kExit1Dr},
    {S::kExit1Dr, 0, S::kPauseDr},
    {S::kExit1Dr, 1, S::kUpdateDr},
    {S::kPauseDr, 0, S::kPauseDr},
    {S::kPauseDr, 1, S::kExit2Dr},
    {S::kExit2Dr, 0, S::kShiftDr},
    {S::kExit2Dr, 1, S::kUpdateDr},
    {S::kUpdateDr, 0, S::kRunTestIdle},
    {S::kUpdateDr, 1, S::kSelectDrScan},
    {S::kSelectIrScan, 0, S::kCaptureIr},
    {S::kSelectIrScan, 1, S::kTestLogicReset},
    {S::kCaptureIr, 0, S::kShiftIr},
    {S::kCaptureIr, 1, S::kExit1Ir},
    {S::kShiftIr, 0, S::kShiftIr},
    {S::kShiftIr, 1, S::kExit1Ir},
    {S::kExit1Ir, 0, S::kPauseIr},
    {S::kExit1Ir, 1, S::kUpdateIr},
    {S::kPauseIr, 0, S::kPauseIr},
    {S::kPauseIr, 1, S::kExit2Ir},
    {S::kExit2Ir, 0, S::kShiftIr},
    {S::kExit2Ir, 1, S::kUpdateIr},
    {S::kUpdateIr, 0, S::kRunTestIdle},
    {S::kUpdateIr, 1, S::kSelectDrScan},
};

// A TMS path from Test-Logic-Reset to each state.
std::vector<int> path_to(TapState target) {
  switch (target) {
    case S::kTestLogicReset:
      return {};
    case S::kRunTestIdle:
      return {0};
    case S::kSelectDrScan:
      return {0, 1};
    case S::kCaptureDr:
      return {0, 1, 0};
    case S::kShiftDr:
      return {0, 1, 0, 0};
    case S::kExit1Dr:
      return {0, 1, 0, 1};
    case S::kPauseDr:
      return {0, 1, 0, 1, 0};
    case S::kExit2Dr:
      return {0, 1, 0, 1, 0, 1};
    case S::kUpdateDr:
      return {0, 1, 0, 1, 1};
    case S::kSelectIrScan:
      return {0, 1, 1};
    case S::kCaptureIr:
      return {0, 1, 1, 0};
    case S::kShiftIr:
      return {0, 1, 1, 0, 0};
    case S::kExit1Ir:
      return {0, 1, 1, 0, 1};
    case S::kPauseIr:
      return {0, 1, 1, 0, 1, 0};
    case S::kExit2Ir:
      return {0, 1, 1, 0, 1, 0, 1};
    case S::kUpdateIr:
      return {0, 1, 1, 0, 1, 1};
  }
  return {};
}

TEST(SimTap, EveryTransitionOfTheStateMachine) {
  auto port = make_port("");
  Cable cable(*port);
  for (const auto& t : kTransitions) {
    cable.reset();
    ASSERT_EQ(port->board().tap_state(), S::kTestLogicReset);
    for (int tms : path_to(t.from)) cable.clock(tms, 0);
    ASSERT_EQ(port->board().tap_state(), t.from);
    cable.clock(t.tms, 0);
    EXPECT_EQ(port->board().tap_state(), t.to)
        << "from " << static_cast<int>(t.from) << " with TMS " << t.tms;
  }
}

TEST(SimTap, FiveTmsHighClocksResetFromEveryState) {
  auto port = make_port("");
  Cable cable(*port);
  for (const auto& t : kTransitions) {
    cable.reset();
    for (int tms : path_to(t.from)) cable.clock(tms, 0);
    cable.reset();
    EXPECT_EQ(port->board().tap_state(), S::kTestLogicReset);
  }
}

TEST(SimTap, StateChangesOnlyOnTheRisingEdge) {
  auto port = make_port("");
  Cable cable(*port);
  cable.trst_pulse();
  port->write_byte(0x378, 0x08);  // TCK low, TMS 0
  EXPECT_EQ(port->board().tap_state(), S::kTestLogicReset);
  port->write_byte(0x378, 0x0A);  // TMS changes while TCK is low: nothing
  EXPECT_EQ(port->board().tap_state(), S::kTestLogicReset);
  port->write_byte(0x378, 0x0C);  // rising edge with TMS 0
  EXPECT_EQ(port->board().tap_state(), S::kRunTestIdle);
}

TEST(SimTap, InstructionCaptureIsBinary0001) {
  auto port = make_port("");
  Cable cable(*port);
  cable.reset();
  EXPECT_EQ(cable.scan_ir(0xF), 0x1);
  // An 8-bit shift through the 4-bit register: 0001, then the ones shifted in.
  for (int tms : {0, 1, 1, 0, 0}) cable.clock(tms, 0);
  std::string out;
  for (int i = 0; i < 8; ++i) {
    cable.clock(i == 7, 1);
    out += static_cast<char>('0' + cable.tdo());
  }
  EXPECT_EQ(out, "10001111");
}

TEST(SimTap, InstructionStringGoesInBitZeroFirst) {
  auto port = make_port("");
  Cable cable(*port);
  cable.reset();
  // The host string "1011" shifts 1, 0, 1, 1: bit0 = 1, bit1 = 0, bit2 = 1, bit3 = 1.
  static_cast<void>(cable.scan_ir(0b1101));
  EXPECT_EQ(port->board().instruction(), 0b1101);
  EXPECT_EQ(port->board().ir_scans(), 1U);
}

struct CpuCase {
  const char* name;
  uint32_t idcode;
  uint8_t instruction;  // register value: the host string read bit 0 first
  int length;
};
constexpr CpuCase kCpus[] = {
    {"RQ7220", 0x30002693, 0b1101, 298},  // "1011"
    {"ZELT", 0x30002693, 0b1101, 185},    // "1011"
    {"TOMUX", 0x005A30E5, 0b0001, 412},   // "1000"
    {"KELDA", 0x00D3165B, 0b1010, 298},   // "0101"
};

TEST(SimTap, IdcodeAfterResetAfterTrstAndByInstruction) {
  for (const auto& c : kCpus) {
    SCOPED_TRACE(c.name);
    auto port = make_port(std::string("cpu=") + c.name);
    Cable cable(*port);
    EXPECT_EQ(port->board().idcode(), c.idcode);
    EXPECT_EQ(port->board().boundary_length(), c.length);

    cable.reset();  // Test-Logic-Reset selects IDCODE
    EXPECT_EQ(cable.read_dr32(), c.idcode);

    static_cast<void>(cable.scan_ir(0xF));
    EXPECT_EQ(cable.read_dr32(), 0U);  // bypass: one 0, then the zeros shifted in
    cable.trst_pulse();                // asynchronous reset, no clock
    EXPECT_EQ(port->board().tap_state(), S::kTestLogicReset);
    EXPECT_EQ(cable.read_dr32(), c.idcode);

    static_cast<void>(cable.scan_ir(c.instruction));
    EXPECT_EQ(cable.read_dr32(), c.idcode);
  }
}

TEST(SimTap, BypassCapturesZeroAndDelaysByOneBit) {
  auto port = make_port("");
  Cable cable(*port);
  cable.reset();
  static_cast<void>(cable.scan_ir(0xF));
  const auto out = cable.scan_dr({1, 0, 1, 1, 0});
  EXPECT_EQ(out, (std::vector<uint8_t>{0, 1, 0, 1, 1}));
  // Codes the CPU does not know select the bypass register too.
  static_cast<void>(cable.scan_ir(0x6));
  EXPECT_EQ(cable.scan_dr({1, 1}), (std::vector<uint8_t>{0, 1}));
}

TEST(SimTap, IdcodeShiftsThroughAfterItsOwnBits) {
  auto port = make_port("cpu=TOMUX");
  Cable cable(*port);
  cable.reset();
  std::vector<uint8_t> in(40, 0);
  in[0] = 1;
  in[3] = 1;
  const auto out = cable.scan_dr(in);
  EXPECT_EQ(out[32], 1);
  EXPECT_EQ(out[35], 1);
  EXPECT_EQ(out[33] + out[34] + out[36], 0);
}

TEST(SimTap, PauseDrKeepsTheShiftGoing) {
  auto port = make_port("cpu=KELDA");
  Cable cable(*port);
  cable.reset();
  for (int tms : {0, 1, 0, 0}) cable.clock(tms, 0);  // Shift-DR of the IDCODE
  uint32_t value = 0;
  for (int i = 0; i < 32; ++i) {
    if (i == 12) {
      for (int tms : {1, 0, 0, 0, 1, 0}) cable.clock(tms, 0);  // Exit1, Pause x3, Exit2, Shift
      EXPECT_EQ(port->board().tap_state(), S::kShiftDr);
    }
    cable.clock(0, 0);
    value |= uint32_t(cable.tdo()) << i;
  }
  // The clock that leaves Shift-DR for Exit1-DR shifts too: bit 12 went out
  // there unread, and bit 13 is the next one shown.
  EXPECT_EQ(value >> 12, 0x00D3165BU >> 13);
  EXPECT_EQ(value & 0xFFF, 0x00D3165BU & 0xFFF);
}

TEST(SimTap, PinLevelDriveAsARemoteCableWould) {
  SimOptions options;
  std::string error;
  ASSERT_TRUE(parse_sim_options("cpu=TOMUX", "", options, error));
  auto board = SimBoard::create(options, error);
  ASSERT_NE(board, nullptr) << error;
  auto clock = [&](bool tms, bool tdi) {
    board->drive(false, tms, tdi, true);
    board->drive(true, tms, tdi, true);
  };
  for (bool tms : {true, true, true, true, true, false, true, false, false}) clock(tms, false);
  uint32_t value = 0;
  for (int i = 0; i < 32; ++i) {
    board->drive(false, i == 31, false, true);
    value |= uint32_t(board->tdo()) << i;  // valid from the falling edge on
    board->drive(true, i == 31, false, true);
  }
  EXPECT_EQ(value, 0x005A30E5U);
  board->drive(true, true, false, false);  // nTRST low: reset without a clock
  EXPECT_EQ(board->tap_state(), S::kTestLogicReset);
}

TEST(SimTap, TdoFloatsHighOutsideShiftStates) {
  auto port = make_port("");
  Cable cable(*port);
  cable.reset();
  cable.clock(0, 0);
  EXPECT_EQ(cable.tdo(), 1);
  for (int tms : {1, 0}) cable.clock(tms, 0);  // Capture-DR
  EXPECT_EQ(cable.tdo(), 1);
  cable.clock(0, 0);  // to Shift-DR; bit 0 of the IDCODE only after the next falling edge
  EXPECT_EQ(cable.tdo(), 1);
}

TEST(SimPortRegisters, DataReadsBackStatusCarriesTdo) {
  auto port = make_port("");
  port->write_byte(0x378, 0x55);
  EXPECT_EQ(port->read_byte(0x378), 0x55);
  EXPECT_EQ(port->board().tap_state(), S::kTestLogicReset);  // nTRST low in the probe pattern
  port->write_byte(0x278, 0x55);
  EXPECT_EQ(port->read_byte(0x278), 0xFF);
  EXPECT_EQ(port->read_byte(0x3BC), 0xFF);
  // Idle status: TDO high on bit 6, BUSY reads 0 (inverted), the rest high.
  EXPECT_EQ(port->read_byte(0x379), 0x7F);
  Cable cable(*port);
  cable.reset();
  for (int tms : {0, 1, 0, 0}) cable.clock(tms, 0);  // Shift-DR of the IDCODE
  cable.clock(0, 0);                                 // bit 0 (1) then bit 1 (1) of 0x...93
  cable.clock(0, 0);
  EXPECT_EQ(port->read_byte(0x379), 0x7F);
  cable.clock(0, 0);  // bit 2 = 0
  EXPECT_EQ(port->read_byte(0x379), 0x3F);
}

TEST(SimPortRegisters, ChosenBaseNoneAndTargetOff) {
  auto at278 = make_port("port=0x278");
  at278->write_byte(0x378, 0x55);
  EXPECT_EQ(at278->read_byte(0x378), 0xFF);
  at278->write_byte(0x278, 0x55);
  EXPECT_EQ(at278->read_byte(0x278), 0x55);

  auto none = make_port("port=none");
  for (uint16_t a : {uint16_t{0x378}, uint16_t{0x278}, uint16_t{0x3BC}, uint16_t{0}, uint16_t{1}}) {
    none->write_byte(a, 0x55);
    EXPECT_EQ(none->read_byte(a), 0xFF);
  }
  EXPECT_EQ(none->stats().writes, 0U);

  auto off = make_port("target=off");
  Cable cable(*off);
  cable.reset();
  EXPECT_EQ(cable.read_dr32(), 0xFFFFFFFFU);
  EXPECT_EQ(off->read_byte(0x378), 0x0C);  // the port itself is there
}

TEST(SimPortRegisters, StatsCountAccessesAndScans) {
  auto port = make_port("");
  Cable cable(*port);
  cable.reset();                          // 10 writes
  static_cast<void>(cable.scan_ir(0xD));  // 22 writes, 4 reads
  static_cast<void>(cable.read_dr32());   // 76 writes, 32 reads
  port->write_byte(0x37A, 0x00);          // control register counts
  port->write_byte(0x37B, 0x00);          // beyond the port: does not
  const SimStats s = port->stats();
  EXPECT_EQ(s.writes, 10U + 22U + 76U + 1U);
  EXPECT_EQ(s.reads, 4U + 32U);
  EXPECT_EQ(s.ir_scans, 1U);
  EXPECT_EQ(s.dr_scans, 1U);
  EXPECT_EQ(port->stats_line(), "sim: writes=109 reads=36 ir_scans=1 dr_scans=1 violations=0");
}

}  // namespace
}  // namespace jtagnand::sim
