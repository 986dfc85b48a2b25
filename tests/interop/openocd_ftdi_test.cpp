// The virtual FTDI chip checked by an MPSSE master written elsewhere: OpenOCD's
// own ftdi driver, which talks to libusb directly (asynchronous bulk
// transfers, not libftdi1), drives the virtual FT2232H through the libusb-1.0
// stand-in, finds the CPU in its chain scan and reads the NAND chip's ID with
// irscan and drscan, as the remote_bitbang interop test does.

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
#include "virtual_usb.h"

namespace jtagnand::testing {
namespace {

// Runs OpenOCD with its ftdi driver on the virtual chip (board `options`) and
// `commands` after the set-up; returns its exit status and everything printed,
// the chip's stats line included.
std::string run_openocd_ftdi(const std::string& openocd, const std::string& options,
                             const std::string& tap_options, const std::string& commands) {
  return run_openocd(openocd,
                     "adapter driver ftdi\n"
                     "ftdi vid_pid 0x0403 0x6010\n"
                     "ftdi channel 0\n"
                     "ftdi layout_init 0x0008 0x000b\n"
                     "adapter speed 1000\n"
                     "transport select jtag\n",
                     cpu_tap(tap_options), commands, virtual_ftdi_env(options));
}

class OpenOcdFtdiInterop : public ::testing::TestWithParam<CpuCells> {
 protected:
  void SetUp() override {
    JTAGNAND_SKIP_WITHOUT_VIRTUAL_USB();
    if (openocd_.empty()) {
      GTEST_SKIP() << "openocd is not installed (Debian package openocd): the OpenOCD ftdi "
                      "interop checks were not run";
    }
  }
  std::string openocd_ = find_in_path("openocd");
};

TEST_P(OpenOcdFtdiInterop, InitFindsTheCpuAndIrAndDrScansReadTheNandId) {
  const CpuCells& cpu = GetParam();
  const ReadIdScans read_id = read_id_scans();
  const std::string out =
      run_openocd_ftdi(openocd_, read_id_board_options(cpu),
                       "-ircapture 0x1 -irmask 0x3 -expected-id " + hex32(cpu.idcode),
                       read_id_commands(cpu, read_id));
  expect_openocd_read_id(out, cpu, read_id);

  // The chip's stats line: the board saw the IR scan and every DR scan, with
  // no bus violation (strict would have ended OpenOCD with status 3), and
  // OpenOCD never had to wait for the latency timer.
  EXPECT_TRUE(contains(out, "violations=0 ")) << out;
  EXPECT_TRUE(contains(out, "dr_scans=")) << out;
  EXPECT_TRUE(contains(out, " latency_waits=0\n")) << out;
}

INSTANTIATE_TEST_SUITE_P(EveryCpu, OpenOcdFtdiInterop, ::testing::ValuesIn(kCpuCells),
                         [](const ::testing::TestParamInfo<CpuCells>& param) {
                           return std::string(param.param.name);
                         });

// The checks are live: with the board wired to the other channel, OpenOCD
// finds nothing but ones on channel A; a wrong expected IDCODE is reported.
TEST(OpenOcdFtdiInteropControls, WrongChannelAndWrongIdcodeAreNoticed) {
  JTAGNAND_SKIP_WITHOUT_VIRTUAL_USB();
  const std::string openocd = find_in_path("openocd");
  if (openocd.empty()) GTEST_SKIP() << "openocd is not installed: interop control not run";
  const std::string other_channel =
      run_openocd_ftdi(openocd, "cpu=KELDA,usb_channel=B",
                       "-ircapture 0x1 -irmask 0x3 -expected-id 0x00d3165b", "init\nshutdown\n");
  EXPECT_FALSE(contains(other_channel, "tap/device found: 0x00d3165b")) << other_channel;
  const std::string wrong_id =
      run_openocd_ftdi(openocd, "cpu=KELDA", "-ircapture 0x1 -irmask 0x3 -expected-id 0x30002693",
                       "init\nshutdown\n");
  EXPECT_TRUE(contains(wrong_id, "UNEXPECTED: 0x00d3165b")) << wrong_id;
}

}  // namespace
}  // namespace jtagnand::testing
