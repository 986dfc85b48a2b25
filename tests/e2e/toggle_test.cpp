// The pin toggle test (-t) of the built program.

#include <gtest/gtest.h>

#include "e2e.h"

namespace jtagnand::testing {
namespace {

const std::string kToggleBanner = "\nOutput toggled value to all pin\n Enter ESC to EXIT\n";

TEST(ToggleMode, OneScanPerKeyBeforeEscThenExitZero) {
  for (const std::string cpu : {"KELDA", "RQ7220", "ZELT"}) {
    const ProgramResult r = jtagnand("sim:stats,cpu=" + cpu, {"-C", cpu, "-t"}, "ab\033");
    EXPECT_EQ(r.exit_status, 0) << cpu;
    EXPECT_EQ(r.out, kBanner + "\nLPT 0x378 Port is detected.\n" + kToggleBanner) << cpu;
    // EXTEST is loaded once; ESC ends the process without the shutdown's resets.
    EXPECT_TRUE(contains(r.err, " ir_scans=1 dr_scans=2 ")) << cpu << ": " << r.err;
  }
}

TEST(ToggleMode, EscAlreadyWaitingMakesNoDataScan) {
  const ProgramResult r = jtagnand("sim:stats", {"-C", "RQ7220", "-t"}, "\033");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_TRUE(contains(r.out, kToggleBanner)) << r.out;
  // Probe 1, TRST pulse 3, TAP reset 10 at start-up; in the test: TRST pulse 3,
  // TAP reset 10, EXTEST 11 clocks (22 writes); then nothing.
  EXPECT_TRUE(contains(r.err, "sim: writes=49 reads=1 ir_scans=1 dr_scans=0")) << r.err;
}

TEST(ToggleMode, TomuxOnlyPrintsItsLine) {
  const ProgramResult r = jtagnand("sim:stats,cpu=TOMUX", {"-C", "TOMUX", "-t"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, kBanner + "\nLPT 0x378 Port is detected.\nTOMUX BOUNDARY TEST\n");
  // Start-up's and shutdown's resets only.
  EXPECT_TRUE(contains(r.err, "sim: writes=27 reads=1 ir_scans=0 dr_scans=0")) << r.err;
}

TEST(ToggleMode, TakesPrecedenceOverProgramming) {
  const ProgramResult r =
      jtagnand("sim:stats", {"-f", "image.bin", "-C", "RQ7220", "-t", "-b", "2"}, "\033");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_FALSE(contains(r.out, "Could not open")) << r.out;
  EXPECT_FALSE(contains(r.out, "JTAG ID")) << r.out;
}

}  // namespace
}  // namespace jtagnand::testing
