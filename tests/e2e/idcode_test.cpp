// The IDCODE check (-j) against simulated boards of every CPU.

#include <gtest/gtest.h>

#include "e2e.h"

namespace jtagnand::testing {
namespace {

struct Cpu {
  std::string name;
  std::string idcode;  // bit 31 first
};

const Cpu kCpuIdcodes[] = {
    {"RQ7220", "00110000000000000010011010010011"},
    {"ZELT", "00110000000000000010011010010011"},
    {"TOMUX", "00000000010110100011000011100101"},
    {"KELDA", "00000000110100110001011001011011"},
};

TEST(IdcodeCheck, EachCpuPassesOnItsOwnBoard) {
  for (const Cpu& cpu : kCpuIdcodes) {
    const ProgramResult r = jtagnand("sim:cpu=" + cpu.name, {"-C", cpu.name, "-j"});
    EXPECT_EQ(r.exit_status, 0) << cpu.name;
    // The OK line is the last thing printed.
    EXPECT_EQ(r.out,
              kBanner + "\nLPT 0x378 Port is detected.\n\nOK!, JTAG ID:   " + cpu.idcode + "\n")
        << cpu.name;
  }
}

TEST(IdcodeCheck, EachCpuFailsOnAnotherBoard) {
  // Each profile's IDCODE instruction is one the other board does not decode,
  // so that board puts its one-bit BYPASS register between TDI and TDO: the
  // check reads a 0 and then the first 31 bits of its own fill pattern
  // "00001111..." (shown most significant bit first). RQ7220 and ZELT share
  // their IDCODE and its instruction, so each is checked against a board of
  // another family.
  const std::string through_bypass = "11100001111000011110000111100000";
  const std::pair<std::string, std::string> pairs[] = {
      {"RQ7220", "TOMUX"}, {"ZELT", "KELDA"}, {"TOMUX", "RQ7220"}, {"KELDA", "ZELT"}};
  for (const auto& [profile, board] : pairs) {
    const ProgramResult r = jtagnand("sim:cpu=" + board, {"-C", profile, "-j"});
    EXPECT_EQ(r.exit_status, 2) << profile << " on " << board;
    EXPECT_TRUE(contains(r.out, "\nERROR, Your ID: " + through_bypass + "\nInvalid JTAG ID\n"))
        << profile << " on " << board << ":\n"
        << r.out;
  }
}

TEST(IdcodeCheck, RQ7220AndZeltCannotBeToldApart) {
  const ProgramResult r = jtagnand("sim:cpu=ZELT", {"-C", "RQ7220", "-j"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_TRUE(contains(r.out, "OK!, JTAG ID:   " + std::string(kCpuIdcodes[0].idcode))) << r.out;
}

TEST(IdcodeCheck, NoTargetReadsAllOnes) {
  const ProgramResult r = jtagnand("sim:target=off", {"-C", "RQ7220", "-j"});
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_TRUE(contains(r.out, "\nERROR, Your ID: " + std::string(32, '1') + "\nInvalid JTAG ID\n"))
      << r.out;
}

TEST(IdcodeCheck, MakesExactlyThePrescribedPortAccesses) {
  // Probe 1 write + 1 read; TRST pulse 3; TAP reset 10; check: instruction
  // scan 11 clocks + data scan 38 clocks = 98 writes and 32 status reads;
  // shutdown: TAP reset 10, TRST pulse 3.
  const ProgramResult r = jtagnand("sim:cpu=KELDA,stats", {"-C", "KELDA", "-j"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_TRUE(contains(r.err, "sim: writes=125 reads=33 ir_scans=1 dr_scans=1 violations=0\n"))
      << r.err;
}

TEST(IdcodeCheck, TakesPrecedenceOverTheOtherModes) {
  const ProgramResult r =
      jtagnand("sim:stats", {"-t", "x", "-f", "missing.bin", "-C", "RQ7220", "-j"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_FALSE(contains(r.out, "Could not open file")) << r.out;
  EXPECT_FALSE(contains(r.out, "toggled")) << r.out;
  EXPECT_TRUE(contains(r.err, "ir_scans=1 dr_scans=1")) << r.err;
}

TEST(IdcodeCheck, OptionsAfterAnUnknownOneAreNotSeen) {
  // -j after -x is never read: this is a programming run (no image given), which
  // identifies the chip and is done. Standard error names the option.
  const ProgramResult r = jtagnand("sim", {"-C", "RQ7220", "-x", "-j"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_TRUE(contains(r.out, "NAND DEVICE: ")) << r.out;
  EXPECT_TRUE(
      contains(r.err, "jtagnand: unknown option -x: it and the options after it were not read\n"))
      << r.err;
}

}  // namespace
}  // namespace jtagnand::testing
