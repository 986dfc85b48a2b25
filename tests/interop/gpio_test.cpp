// The virtual GPIO chip under the libgpiod v1 stand-in, its lines wired to
// the simulated board's TAP: OpenOCD's linuxgpiod driver finds the CPU, checks
// the IR capture and reads the NAND ID through irscan and drscan; then the
// program's gpio cable on it: IDCODE checks, a programming run over a bad
// block with the flash checked, a described board on a chain, and the
// refusals naming chip and line.

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

namespace jtagnand::testing {
namespace {

const std::string kVirtualGpioDir = JTAGNAND_VIRTUAL_GPIO_DIR;

std::vector<std::string> gpio_env(const std::string& options) {
  return {"LD_LIBRARY_PATH=" + kVirtualGpioDir, "JTAGNAND_VIRTUAL_GPIO=" + options};
}

// A Raspberry Pi's usual lines: TCK 11, TMS 25, TDI 10, TDO 9, nTRST 7.
const std::string kPort = "gpio:chip=gpiochip0,tck=11,tms=25,tdi=10,tdo=9";

std::string run_openocd_gpio(const std::string& options, const std::string& tap_options,
                             const std::string& commands) {
  return run_openocd(find_in_path("openocd"),
                     "adapter driver linuxgpiod\n"
                     "linuxgpiod gpiochip 0\n"
                     "linuxgpiod jtag_nums 11 25 10 9\n"
                     "transport select jtag\n",
                     cpu_tap(tap_options), commands, gpio_env(options));
}

class OpenOcdGpioInterop : public ::testing::TestWithParam<CpuCells> {
 protected:
  void SetUp() override {
    ASSERT_FALSE(kVirtualGpioDir.empty()) << "the libgpiod stand-in was not built";
    ASSERT_FALSE(find_in_path("openocd").empty()) << "openocd is not installed";
  }
};

TEST_P(OpenOcdGpioInterop, InitFindsTheCpuAndIrAndDrScansReadTheNandId) {
  const CpuCells& cpu = GetParam();
  const ReadIdScans read_id = read_id_scans();
  const std::string out = run_openocd_gpio(
      read_id_board_options(cpu), "-ircapture 0x1 -irmask 0x3 -expected-id " + hex32(cpu.idcode),
      read_id_commands(cpu, read_id));
  expect_openocd_read_id(out, cpu, read_id);
  EXPECT_TRUE(contains(out, " violations=0\n")) << out;
}

INSTANTIATE_TEST_SUITE_P(EveryCpu, OpenOcdGpioInterop, ::testing::ValuesIn(kCpuCells),
                         [](const ::testing::TestParamInfo<CpuCells>& param) {
                           return std::string(param.param.name);
                         });

// The check is live: with nothing behind the lines OpenOCD sees all ones.
TEST(OpenOcdGpioInteropControls, NoTargetIsNoticed) {
  const std::string out =
      run_openocd_gpio("cpu=KELDA,target=off", "-expected-id 0x00d3165b", "init\nshutdown\n");
  EXPECT_FALSE(contains(out, "tap/device found: 0x00d3165b")) << out;
  EXPECT_TRUE(contains(out, "all ones")) << out;
}

ProgramResult jtagnand_on_gpio(const std::string& options, const std::string& port,
                               const std::vector<std::string>& args) {
  std::vector<std::string> env = gpio_env(options);
  env.push_back("JTAGNAND_PORT=" + port);
  return run_program(JTAGNAND_BINARY, args, env);
}

TEST(ProgramOverGpio, IdcodeCheckOnEveryCpu) {
  ASSERT_FALSE(kVirtualGpioDir.empty());
  for (const CpuCells& cell : kCpuCells) {
    const std::string cpu = cell.name;
    // nTRST wired too: the run pulses it before its reset.
    const ProgramResult r =
        jtagnand_on_gpio("stats,strict,cpu=" + cpu, kPort + ",trst=7", {"-C", cpu, "-j"});
    EXPECT_EQ(r.exit_status, 0) << cpu << r.out << r.err;
    EXPECT_TRUE(contains(r.out,
                         "\nGPIO cable on gpiochip0 (TCK 11, TMS 25, TDI 10, TDO 9, TRST 7) is "
                         "connected.\n\nOK!, JTAG ID:   " +
                             idcode_bits(cell.idcode) + "\n"))
        << r.out;
    EXPECT_TRUE(contains(r.err, " ir_scans=1 dr_scans=1 violations=0\n")) << r.err;
  }
}

TEST(ProgramOverGpio, ProgrammingRunStepsOverABadBlockAndVerifies) {
  ASSERT_FALSE(kVirtualGpioDir.empty());
  TempDir dir;
  const std::string flash = dir.file("flash.bin");
  const std::string image_path = dir.file("image.bin");
  const std::vector<unsigned char> image = test_pattern(64 * 1024, 19);
  write_file(image_path, image);
  const ProgramResult r = jtagnand_on_gpio("stats,strict,cpu=ZELT,nand=0x76,bad=5,flash=" + flash,
                                           kPort, {"-C", "ZELT", "-f" + image_path, "-b", "4"});
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "\nSkip bad block at 0x14000\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "\nVerify GOOD!!\n")) << r.out;
  EXPECT_TRUE(contains(r.err, " violations=0\n")) << r.err;
  expect_image_around_bad_block(flash, image);
}

TEST(ProgramOverGpio, DescribedBoardOnAChain) {
  ASSERT_FALSE(kVirtualGpioDir.empty());
  TempDir dir;
  write_text(dir.file("wide.bsd"), test_cpu_bsdl({.version = "0101"}));
  write_text(dir.file("wide.board"), test_board_description("wide.bsd", "3", "4 5"));
  const ProgramResult r = jtagnand_on_gpio("stats,strict,board=" + dir.file("wide.board"), kPort,
                                           {"-T" + dir.file("wide.board"), "-j"});
  EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "\nOK!, JTAG ID:   01011010101111001101000011110011\n")) << r.out;
  EXPECT_TRUE(contains(r.err, " violations=0\n")) << r.err;
}

// Each refusal names the chip, and the line where one is at fault.
TEST(ProgramOverGpio, RefusalsNameChipAndLine) {
  ASSERT_FALSE(kVirtualGpioDir.empty());
  const struct {
    std::string chip_options, port;
    int status;
    std::string said;
  } cases[] = {
      {"", kPort, 1, "gpio: no GPIO chip gpiochip0 (No such file or directory; gpiodetect"},
      {"cpu=KELDA,gpio_denied", kPort, 1,
       "gpio: gpiochip0: permission denied; add yourself to the group that owns /dev/gpiochip0 "
       "(gpio on a Raspberry Pi: sudo usermod -aG gpio $USER"},
      {"cpu=KELDA,gpio_busy=25", kPort, 1,
       "gpio: gpiochip0 line 25 (tms) is busy (another program or driver holds it; gpioinfo "
       "gpiochip0 shows who)"},
      {"cpu=KELDA,gpio_lines=28", "gpio:chip=gpiochip0,tck=11,tms=25,tdi=10,tdo=40", 1,
       "gpio: gpiochip0 has no line 40 (tdo)"},
      {"cpu=KELDA", "gpio:chip=gpiochip0,tck=11,tms=25,tdi=10", 2, "needs tdo=N"},
      {"cpu=KELDA", kPort + ",trst=9", 2, "line 9 is given twice"},
  };
  for (const auto& c : cases) {
    const ProgramResult r = jtagnand_on_gpio(c.chip_options, c.port, {"-C", "KELDA", "-j"});
    EXPECT_TRUE(contains(r.err, c.said)) << c.port << "\n" << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;  // one line
    if (c.status == 1) {
      EXPECT_EQ(r.exit_status, 1) << r.err;
      EXPECT_TRUE(contains(r.out, "Couldn't access giveio device")) << r.out;
    }
  }
}

}  // namespace
}  // namespace jtagnand::testing
