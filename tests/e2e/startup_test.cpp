// Start-up, option errors and exit statuses of the built program.

#include <gtest/gtest.h>

#include "e2e.h"

namespace jtagnand::testing {
namespace {

TEST(Startup, NoArgumentsPrintsUsageAndExitsOne) {
  const ProgramResult r = jtagnand("sim", {});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, kBanner + "\nLPT 0x378 Port is detected.\n" + kUsage);
}

TEST(Startup, ReportsTheBaseThePortAnswersAt) {
  for (const std::string base : {"0x278", "0x3BC", "0x378"}) {
    const ProgramResult r = jtagnand("sim:port=" + base, {"-C", "RQ7220", "-x"});
    EXPECT_TRUE(contains(r.out, "\nLPT " + base + " Port is detected.\n")) << r.out;
  }
}

TEST(Startup, NoPortPrintsTheBannerOnlyAndExitsOne) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-C", "RQ7220"}, std::vector<std::string>{}}) {
    const ProgramResult r = jtagnand("sim:port=none", args);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, kBanner);
  }
}

// Started with its standard descriptors closed, the program opens /dev/null
// onto them first: the files it opens later (here the simulated chip's spare
// areas) do not take their numbers, and no message lands in them.
TEST(Startup, ClosedStandardDescriptorsTakeNoFileTheProgramOpens) {
  TempDir dir;
  const std::string flash = dir.file("flash.bin");
  const ProgramResult r = run_program(
      "/bin/sh", {"-c", "\"$0\" -C ZELT -fmissing.bin 2>&-; echo status=$?", JTAGNAND_BINARY},
      {"JTAGNAND_PORT=sim:nand=0xE6,stats,flash=" + flash});
  EXPECT_TRUE(contains(r.out, "Could not open file: missing.bin")) << r.out;
  EXPECT_TRUE(contains(r.out, "status=2")) << r.out << r.err;
  EXPECT_EQ(read_file(flash + ".oob"), std::vector<unsigned char>(1024 * 16 * 16, 0xFF));
  EXPECT_EQ(read_file(flash), std::vector<unsigned char>(8 << 20, 0xFF));
}

// Settings and options that were misread or echoed whole: each is refused
// naming what is wrong, in a line of reasonable length.
TEST(Startup, MisreadSettingsAreRefusedNamingTheirFault) {
  const std::string huge(100000, 'Q');
  const struct {
    std::string port;
    std::vector<std::string> args;
    int status;
    std::string out, err;
  } cases[] = {
      {"rbb:127.0.0.1:4444,foo=1",
       {"-C", "ZELT", "-j"},
       1,
       "",
       "unknown option 'foo=1' (the one option is timeout=SECONDS)"},
      {"sim",
       {"-C", "ZELT", "-f", "a.bin", "-f", "b.bin"},
       2,
       "** Error: -f is given more than once\n",
       ""},
      {"sim",
       {"-C", "ZELT", "-r", "a.bin", "-r", "b.bin"},
       2,
       "** Error: -r is given more than once\n",
       ""},
      {"sim",
       {"-C", "ZELT", "-r", "a.bin", "-l", "1", "-l", "2"},
       2,
       "** Error: -l is given more than once\n",
       ""},
      {"sim",
       {"-C", huge},
       2,
       "** Error: CPU name '" + huge.substr(0, 64) + "...' is longer than 15 characters\n",
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.port + " " + c.args.back().substr(0, 20));
    const ProgramResult r = jtagnand(c.port, c.args);
    EXPECT_EQ(r.exit_status, c.status) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, c.out)) << r.out;
    EXPECT_TRUE(contains(r.err, c.err)) << r.err;
    EXPECT_LT(r.out.size(), 1000u);
  }
}

// Standard output stays the banner alone; standard error says why.
TEST(Startup, NoPortNamesTheBasesTriedOnStandardError) {
  const ProgramResult r = jtagnand("sim:port=none", {"-C", "RQ7220"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, kBanner);
  EXPECT_TRUE(contains(r.err, "jtagnand: no parallel port answered at 0x378, 0x278 or 0x3BC"))
      << r.err;
}

TEST(Startup, RefusedPortAccessSaysSoAndExitsOne) {
  // Direct I/O needs CAP_SYS_RAWIO, which this test environment does not give.
  const ProgramResult r = jtagnand("direct", {"-C", "RQ7220"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, kBanner + "Couldn't access giveio device");
  EXPECT_TRUE(contains(r.err, "CAP_SYS_RAWIO")) << r.err;
}

TEST(Startup, ARefusedDeviceNamesTheRemedy) {
  const ProgramResult r = jtagnand("ppdev:/dev/parport-none", {"-C", "RQ7220"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, kBanner + "Couldn't access giveio device");
  EXPECT_TRUE(contains(r.err, "group lp")) << r.err;
}

TEST(Startup, AnUnknownPortSettingIsAnErrorOnStderr) {
  for (const std::string setting : {"lpt1", "sim:bogus", "sim:nand=xyz", "sim:port=0x379"}) {
    const ProgramResult r = jtagnand(setting, {"-C", "RQ7220", "-j"});
    EXPECT_EQ(r.exit_status, 1) << setting;
    EXPECT_FALSE(r.err.empty()) << setting;
    EXPECT_FALSE(contains(r.out, "LPT")) << setting;
  }
}

TEST(Startup, OptionErrorsFailTheRunWithStatusTwo) {
  const ProgramResult bad_number = jtagnand("sim", {"-C", "RQ7220", "-o", "4000h"});
  EXPECT_EQ(bad_number.exit_status, 2);
  EXPECT_EQ(bad_number.out,
            kBanner + "\nLPT 0x378 Port is detected.\n** Error: invalid number '4000h'\n");

  const ProgramResult missing_value = jtagnand("sim", {"-C"});
  EXPECT_EQ(missing_value.exit_status, 2);
  EXPECT_EQ(missing_value.out,
            kBanner + "\nLPT 0x378 Port is detected.\nInvalid Option\n" + kUsage);
}

TEST(Startup, MissingCpuNamePrintsTheHintAndUsage) {
  const ProgramResult r = jtagnand("sim", {"-c", "RQ7220"});
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.out, kBanner + "\nLPT 0x378 Port is detected.\n" +
                       "Invalid Option\nType your CPU name with '-C' option\n\n"
                       "   ex: -C RQ7220, -C ZELT, -C KELDA\n\n" +
                       kUsage);
}

TEST(Startup, UnknownCpuIsRefusedAfterResettingTheTapBothWays) {
  const ProgramResult r = jtagnand("sim:stats", {"-C", "rq7220"});
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_TRUE(contains(r.out, "Not or Yet support for rq7220\n")) << r.out;
  // Probe (1 write, 1 read), TRST pulse (3) and TAP reset (10) at start-up,
  // TAP reset and TRST pulse again at shutdown.
  EXPECT_TRUE(contains(r.err, "sim: writes=27 reads=1 ir_scans=0 dr_scans=0 violations=0"))
      << r.err;
}

TEST(Startup, ALongCpuNameIsRefusedNotTruncated) {
  const ProgramResult r = jtagnand("sim", {"-C", "RQ7220RQ7220RQ7220"});
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_TRUE(contains(r.out, "longer than 15 characters")) << r.out;
  EXPECT_FALSE(contains(r.out, "Not or Yet support")) << r.out;
}

}  // namespace
}  // namespace jtagnand::testing
