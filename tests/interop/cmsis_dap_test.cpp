// The virtual CMSIS-DAP v2 probe under the libusb-1.0 stand-in, checked by
// OpenOCD's own cmsis-dap driver (usb_bulk backend): the chain's IDCODE, the
// IR capture, and the NAND Read ID through irscan and drscan. Then the
// program's cmsis-dap cable on it: IDCODE checks with the probe's clock and
// packet size, a programming run over a bad block with the flash checked, a
// described board on a chain, and the refusals.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "adapter_runs.h"
#include "openocd_run.h"
#include "read_id_scans.h"
#include "run_program.h"
#include "sim_server.h"
#include "test_boards.h"
#include "test_files.h"
#include "virtual_usb.h"

namespace jtagnand::testing {
namespace {

std::string run_openocd_dap(const std::string& options, const std::string& tap_options,
                            const std::string& commands) {
  // OpenOCD 0.12 spells its backend choice cmsis_dap_backend.
  return run_openocd(find_in_path("openocd"),
                     "adapter driver cmsis-dap\n"
                     "cmsis_dap_backend usb_bulk\n"
                     "cmsis_dap_vid_pid 0x2e8a 0x000c\n"
                     "adapter speed 1000\n"
                     "transport select jtag\n",
                     cpu_tap(tap_options), commands, virtual_dap_env(options));
}

class OpenOcdDapInterop : public ::testing::TestWithParam<CpuCells> {
 protected:
  void SetUp() override {
    ASSERT_FALSE(kVirtualUsbDir.empty()) << "the libusb-1.0 stand-in was not built";
    ASSERT_FALSE(find_in_path("openocd").empty()) << "openocd is not installed";
  }
};

TEST_P(OpenOcdDapInterop, InitFindsTheCpuAndIrAndDrScansReadTheNandId) {
  const CpuCells& cpu = GetParam();
  const ReadIdScans read_id = read_id_scans();
  const std::string out = run_openocd_dap(
      read_id_board_options(cpu), "-ircapture 0x1 -irmask 0x3 -expected-id " + hex32(cpu.idcode),
      read_id_commands(cpu, read_id));
  expect_openocd_read_id(out, cpu, read_id);
  EXPECT_TRUE(contains(out, "CMSIS-DAP: Interface Initialised (JTAG)")) << out;
  EXPECT_TRUE(contains(out, " violations=0 bad_commands=0\n")) << out;
}

INSTANTIATE_TEST_SUITE_P(EveryCpu, OpenOcdDapInterop, ::testing::ValuesIn(kCpuCells),
                         [](const ::testing::TestParamInfo<CpuCells>& param) {
                           return std::string(param.param.name);
                         });

// The check is live: a wrong expected IDCODE is reported.
TEST(OpenOcdDapInteropControls, AWrongIdcodeIsNoticed) {
  const std::string out = run_openocd_dap(
      "cpu=KELDA", "-ircapture 0x1 -irmask 0x3 -expected-id 0x30002693", "init\nshutdown\n");
  EXPECT_TRUE(contains(out, "UNEXPECTED: 0x00d3165b")) << out;
}

ProgramResult jtagnand_on_dap(const std::string& options, const std::string& port,
                              const std::vector<std::string>& args) {
  std::vector<std::string> env = virtual_dap_env(options);
  env.push_back("JTAGNAND_PORT=" + port);
  return run_program(JTAGNAND_BINARY, args, env);
}

const std::string kProbe =
    "\nCMSIS-DAP probe \"Debugprobe on Pico (CMSIS-DAP)\" serial JTAGNAND2 (USB 2e8a:000c) is "
    "connected, ";

// Each CPU's IDCODE, with the clock and the packet size and count the probe
// reports; every packet within the probe's size (bad_commands=0).
TEST(ProgramOverCmsisDap, IdcodeCheckOnEveryCpu) {
  ASSERT_FALSE(kVirtualUsbDir.empty());
  const struct {
    std::string cpu, probe, port, line, id;
  } cases[] = {
      {"RQ7220", "", "cmsis-dap", "TCK 1 MHz, 4 packets of 512 bytes.\n",
       "00110000000000000010011010010011"},
      {"ZELT", "dap_packet=64,dap_count=1", "cmsis-dap:tck=10M",
       "TCK 10 MHz, 1 packets of 64 bytes.\n", "00110000000000000010011010010011"},
      {"KELDA", "dap_id=c251:f001,dap_serial=P7", "cmsis-dap:vid=c251,pid=f001,serial=P7,tck=500k",
       "", "00000000110100110001011001011011"},
      {"TOMUX", "dap_count=8", "cmsis-dap", "TCK 1 MHz, 8 packets of 512 bytes.\n",
       "00000000010110100011000011100101"},
  };
  for (const auto& c : cases) {
    const ProgramResult r =
        jtagnand_on_dap("stats,strict,cpu=" + c.cpu + (c.probe.empty() ? "" : "," + c.probe),
                        c.port, {"-C", c.cpu, "-j"});
    EXPECT_EQ(r.exit_status, 0) << c.cpu << r.out << r.err;
    if (!c.line.empty()) {
      EXPECT_TRUE(contains(r.out, kProbe + c.line)) << r.out;
    }
    EXPECT_TRUE(contains(r.out, "\nOK!, JTAG ID:   " + c.id + "\n")) << r.out;
    EXPECT_TRUE(contains(r.err, " ir_scans=1 dr_scans=1 violations=0 bad_commands=0\n")) << r.err;
  }
  const ProgramResult named =
      jtagnand_on_dap("cpu=KELDA,dap_id=c251:f001,dap_serial=P7", "cmsis-dap:serial=P7,tck=500k",
                      {"-C", "KELDA", "-j"});
  EXPECT_TRUE(contains(named.out,
                       "\nCMSIS-DAP probe \"Debugprobe on Pico (CMSIS-DAP)\" serial P7 (USB "
                       "c251:f001) is connected, TCK 500 kHz, 4 packets of 512 bytes.\n"))
      << named.out;
}

TEST(ProgramOverCmsisDap, ProgrammingRunStepsOverABadBlockAndVerifies) {
  ASSERT_FALSE(kVirtualUsbDir.empty());
  TempDir dir;
  const std::string flash = dir.file("flash.bin");
  const std::string image_path = dir.file("image.bin");
  const std::vector<unsigned char> image = test_pattern(64 * 1024, 17);
  write_file(image_path, image);
  const ProgramResult r =
      jtagnand_on_dap("stats,strict,cpu=RQ7220,nand=0x76,bad=5,flash=" + flash, "cmsis-dap:tck=10M",
                      {"-C", "RQ7220", "-f" + image_path, "-b", "4"});
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, kProbe + "TCK 10 MHz, 4 packets of 512 bytes.\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "\nSkip bad block at 0x14000\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "\nVerify GOOD!!\n")) << r.out;
  EXPECT_TRUE(contains(r.err, " violations=0 bad_commands=0\n")) << r.err;
  expect_image_around_bad_block(flash, image);
}

TEST(ProgramOverCmsisDap, DescribedBoardOnAChain) {
  ASSERT_FALSE(kVirtualUsbDir.empty());
  TempDir dir;
  write_text(dir.file("wide.bsd"), test_cpu_bsdl({.version = "0101"}));
  write_text(dir.file("wide.board"), test_board_description("wide.bsd", "3", "4 5"));
  const ProgramResult r = jtagnand_on_dap("stats,strict,board=" + dir.file("wide.board"),
                                          "cmsis-dap", {"-T" + dir.file("wide.board"), "-j"});
  EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "\nOK!, JTAG ID:   01011010101111001101000011110011\n")) << r.out;
  EXPECT_TRUE(contains(r.err, " violations=0 bad_commands=0\n")) << r.err;
}

TEST(ProgramOverCmsisDap, NoProbeOrNoJtagIsRefused) {
  ASSERT_FALSE(kVirtualUsbDir.empty());
  const struct {
    std::string probe, port, said;
  } cases[] = {
      {"", "cmsis-dap",
       "cmsis-dap: no CMSIS-DAP v2 probe found (a USB interface named \"CMSIS-DAP...\", any "
       "vendor, any product, any serial); "},
      {"cpu=KELDA", "cmsis-dap:serial=X1",
       "cmsis-dap: no CMSIS-DAP v2 probe found (a USB interface named \"CMSIS-DAP...\", any "
       "vendor, any product, serial X1); "},
      {"cpu=KELDA,dap_swd_only", "cmsis-dap", "(USB 2e8a:000c): the probe has no JTAG (SWD only)"},
  };
  for (const auto& c : cases) {
    const ProgramResult r = jtagnand_on_dap(c.probe, c.port, {"-C", "KELDA", "-j"});
    EXPECT_EQ(r.exit_status, 1) << c.port;
    EXPECT_TRUE(contains(r.out, "Couldn't access giveio device")) << r.out;
    EXPECT_TRUE(contains(r.err, c.said)) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;  // one line
  }
  const ProgramResult none = jtagnand_on_dap("", "cmsis-dap", {"-C", "KELDA", "-j"});
  EXPECT_TRUE(contains(none.err, "udev rule")) << none.err;
}

}  // namespace
}  // namespace jtagnand::testing
