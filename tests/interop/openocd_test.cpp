// The simulated board checked by a JTAG master written elsewhere: OpenOCD
// drives jtagnand-sim over remote_bitbang, finds the CPU in its chain scan and
// then, with nothing but irscan and drscan, reads the NAND chip's ID through
// the boundary register.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "openocd_run.h"
#include "read_id_scans.h"
#include "run_program.h"
#include "sim_server.h"
#include "test_files.h"

namespace jtagnand::testing {
namespace {

// OpenOCD's remote_bitbang driver on the server at `port`.
std::string rbb_adapter(const std::string& port) {
  return "adapter driver remote_bitbang\nremote_bitbang host 127.0.0.1\nremote_bitbang port " +
         port + "\n";
}

class OpenOcdInterop : public ::testing::TestWithParam<CpuCells> {
 protected:
  void SetUp() override {
    if (openocd_.empty()) {
      GTEST_SKIP() << "openocd is not installed (Debian package openocd): the OpenOCD "
                      "interop checks were not run";
    }
  }
  std::string openocd_ = find_in_path("openocd");
};

TEST_P(OpenOcdInterop, InitFindsTheCpuAndIrAndDrScansReadTheNandId) {
  const CpuCells& cpu = GetParam();
  SimServer server({"--port", "0", "--once", read_id_board_options(cpu)});
  ASSERT_FALSE(server.address().empty()) << server.err();

  const ReadIdScans read_id = read_id_scans();
  const std::string out =
      run_openocd(openocd_, rbb_adapter(server.tcp_port()),
                  cpu_tap("-ircapture 0x1 -irmask 0x3 -expected-id " + hex32(cpu.idcode)),
                  read_id_commands(cpu, read_id));
  expect_openocd_read_id(out, cpu, read_id);

  // OpenOCD said 'Q'; the server ends with --once, and under strict any bus
  // violation would have ended it with status 3.
  EXPECT_EQ(server.wait(), 0) << server.err();
  EXPECT_TRUE(contains(server.err(), "violations=0\n")) << server.err();
  EXPECT_TRUE(contains(server.err(), "ir_scans=")) << server.err();
}

INSTANTIATE_TEST_SUITE_P(EveryCpu, OpenOcdInterop, ::testing::ValuesIn(kCpuCells),
                         [](const ::testing::TestParamInfo<CpuCells>& param) {
                           return std::string(param.param.name);
                         });

// A two-device chain: the KELDA board built from its BSDL file and board
// description, with a bypass-only TAP of IR 4 between it and TDO, or between
// TDI and it. OpenOCD must find both TAPs' IR capture patterns where it expects
// them, the CPU's IDCODE behind the other TAP's bypass bit, and reach the
// flash with the other TAP in BYPASS.
class OpenOcdChain : public ::testing::TestWithParam<const char*> {};

TEST_P(OpenOcdChain, BothTapsAreFoundAndTheNandIdIsReadThroughTheChain) {
  const std::string openocd = find_in_path("openocd");
  if (openocd.empty()) GTEST_SKIP() << "openocd is not installed: chain interop not run";
  const std::string side = GetParam();
  const CpuCells& cpu = kCpuCells[2];  // KELDA
  TempDir boards;
  const std::string file = boards.file("chain.board");
  {
    std::ifstream in(std::string(JTAGNAND_TEST_DATA) + "/boards/kelda.board");
    std::ofstream board(file);
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("BSDL=", 0) == 0)
        line = std::string("bsdl = ") + JTAGNAND_TEST_DATA + "/boards/kelda.bsdl";
      if (line.rfind("tdi_side", 0) == 0) line = side + " = 4";
      board << line << "\n";
    }
  }
  SimServer server({"--once", "stats,strict,maker=0xAD,nand=0xF1,board=" + file});
  ASSERT_FALSE(server.address().empty()) << server.err();

  // OpenOCD declares the TAP nearest TDO first.
  const std::string cpu_tap =
      "jtag newtap board cpu -irlen 4 -ircapture 0x1 -irmask 0x3 "
      "-expected-id " +
      hex32(cpu.idcode) + "\n";
  const std::string other_tap = "jtag newtap board dap -irlen 4 -ircapture 0x1 -irmask 0xF\n";
  const std::string taps = side == "tdo_side" ? other_tap + cpu_tap : cpu_tap + other_tap;
  const ReadIdScans read_id = read_id_scans();
  const std::string out =
      run_openocd(openocd, rbb_adapter(server.tcp_port()), taps, read_id_commands(cpu, read_id));

  EXPECT_TRUE(contains(out, "tap/device found: " + hex32(cpu.idcode))) << out;
  EXPECT_FALSE(contains(out, "UNEXPECTED")) << out;
  EXPECT_FALSE(contains(out, "Error")) << out;
  // The other TAP answered the IDCODE scan with its one bypass bit.
  EXPECT_TRUE(contains(out, "TAP board.dap does not have valid IDCODE")) << out;

  const std::vector<std::vector<bool>> captures = captures_of(out, cpu);
  ASSERT_EQ(captures.size(), read_id.scans.size()) << out;
  EXPECT_EQ(data_byte(cpu, captures[read_id.maker_capture]), 0xAD) << out;
  EXPECT_EQ(data_byte(cpu, captures[read_id.device_capture]), 0xF1) << out;
  EXPECT_EQ(server.wait(), 0) << server.err();
  EXPECT_TRUE(contains(server.err(), "violations=0\n")) << server.err();
}

INSTANTIATE_TEST_SUITE_P(BothSides, OpenOcdChain, ::testing::Values("tdo_side", "tdi_side"),
                         [](const ::testing::TestParamInfo<const char*>& param) {
                           return std::string(param.param);
                         });

// The two checks above are live: a wrong IDCODE and a wrong IR capture
// pattern are both reported by OpenOCD against the same board.
TEST(OpenOcdInteropControls, WrongIdcodeAndIrCaptureAreNoticed) {
  const std::string openocd = find_in_path("openocd");
  if (openocd.empty()) GTEST_SKIP() << "openocd is not installed: interop control not run";
  SimServer server({"--once", "cpu=KELDA"});
  ASSERT_FALSE(server.address().empty()) << server.err();
  const std::string out = run_openocd(openocd, rbb_adapter(server.tcp_port()),
                                      cpu_tap("-ircapture 0x2 -irmask 0x3 -expected-id 0x30002693"),
                                      "init\nshutdown\n");
  EXPECT_TRUE(contains(out, "UNEXPECTED: 0x00d3165b")) << out;
  EXPECT_TRUE(contains(out, "IR capture error")) << out;
  server.wait();
}

}  // namespace
}  // namespace jtagnand::testing
