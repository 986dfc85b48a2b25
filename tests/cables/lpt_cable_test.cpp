#include "cables/lpt_cable.h"

#include <gtest/gtest.h>

#include "recording_port.h"

namespace jtagnand {
namespace {

using testing::RecordingPort;
using Access = RecordingPort::Access;

TEST(LptDetect, ProbesAllThreeBasesInOrderEvenWhenTheFirstAnswers) {
  RecordingPort port;
  port.answer_at(0x378);
  EXPECT_EQ(lpt_detect(port), 0x378);
  const std::vector<Access> expected{
      {true, 0x378, 0x55},  {false, 0x378, 0x55}, {true, 0x278, 0x55},
      {false, 0x278, 0xFF}, {true, 0x3BC, 0x55},  {false, 0x3BC, 0xFF},
  };
  EXPECT_EQ(port.accesses(), expected);
}

TEST(LptDetect, TheLastAnsweringBaseWins) {
  struct Case {
    std::vector<uint16_t> answering;
    uint16_t found;
  };
  const Case cases[] = {
      {{0x378, 0x3BC}, 0x3BC}, {{0x378, 0x278}, 0x278}, {{0x378}, 0x378}, {{0x278}, 0x278}, {{}, 0},
  };
  for (const Case& c : cases) {
    RecordingPort port;
    for (const uint16_t base : c.answering) port.answer_at(base);
    EXPECT_EQ(lpt_detect(port), c.found) << "answering ports: " << c.answering.size();
  }
}

TEST(LptDetect, ADataRegisterThatReadsBackSomethingElseIsNotAPort) {
  RecordingPort port;
  port.script_reads(0x378, {0x54});
  port.script_reads(0x278, {0xD5});
  port.script_reads(0x3BC, {0x00});
  EXPECT_EQ(lpt_detect(port), 0);
}

TEST(JtagClock, WritesTckLowThenHighWithTrstHeldHigh) {
  const std::vector<std::vector<uint8_t>> expected{
      {0x08, 0x0C}, {0x09, 0x0D}, {0x0A, 0x0E}, {0x0B, 0x0F}};
  for (uint8_t lines = 0; lines < 4; ++lines) {
    RecordingPort port;
    const LptCable cable{&port, 0x278};
    jtag_clock(cable, lines);
    EXPECT_EQ(port.writes(), expected[lines]) << "lines " << int{lines};
    for (const auto& access : port.accesses()) EXPECT_EQ(access.address, 0x278);
  }
}

TEST(CableReadTdo, ReadsBitSixOfTheStatusRegister) {
  RecordingPort port;
  port.script_reads(0x379, {0x40, 0xBF, 0xFF, 0x00});
  const LptCable cable{&port, 0x378};
  EXPECT_TRUE(cable_read_tdo(cable));
  EXPECT_FALSE(cable_read_tdo(cable));
  EXPECT_TRUE(cable_read_tdo(cable));
  EXPECT_FALSE(cable_read_tdo(cable));
  EXPECT_EQ(port.read_count(), 4u);
}

TEST(CableTrstPulse, HoldsTckHighAndDropsTrstOnce) {
  RecordingPort port;
  const LptCable cable{&port, 0x3BC};
  cable_trst_pulse(cable);
  EXPECT_EQ(port.writes(), (std::vector<uint8_t>{0x0C, 0x04, 0x0C}));
  EXPECT_EQ(port.read_count(), 0u);
}

TEST(DelayLoop, ZeroAndNegativeCountsReturnAtOnce) {
  // Nothing to observe but termination; a loop that counted down from a
  // negative number would take minutes.
  delay_loop(0);
  delay_loop(-5);
  delay_loop(INT32_MIN);
  delay_loop(1000);
  SUCCEED();
}

}  // namespace
}  // namespace jtagnand
