// The program's ftdi cable, through libftdi1 and the USB stack, on the virtual
// FTDI chip: IDCODE checks on every CPU, a programming run stepping over a bad
// block with the flash file checked, the adapter's options, and the refusal
// when no adapter is attached.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "adapter_runs.h"
#include "read_id_scans.h"
#include "run_program.h"
#include "test_files.h"
#include "virtual_usb.h"

namespace jtagnand::testing {
namespace {

// Runs the program with JTAGNAND_PORT=`port` on the virtual chip with `options`.
ProgramResult jtagnand_on_ftdi(const std::string& options, const std::string& port,
                               const std::vector<std::string>& args) {
  std::vector<std::string> env = virtual_ftdi_env(options);
  env.push_back("JTAGNAND_PORT=" + port);
  return run_program(JTAGNAND_BINARY, args, env);
}

const std::string kAnnouncement =
    "\nFTDI FT2232H \"Dual RS232-HS\" serial JTAGNAND1 (USB 0403:6010, channel A) is connected, "
    "TCK 30 MHz.\n";

class ProgramOverFtdi : public ::testing::Test {
 protected:
  void SetUp() override {
    JTAGNAND_SKIP_WITHOUT_VIRTUAL_USB();
    if (JTAGNAND_HAVE_LIBFTDI1 == 0)
      GTEST_SKIP() << "the program was built without libftdi1 (Debian: libftdi1-dev)";
  }
};

TEST_F(ProgramOverFtdi, IdcodeCheckOnEveryCpu) {
  for (const CpuCells& cell : kCpuCells) {
    const std::string cpu = cell.name;
    const ProgramResult r = jtagnand_on_ftdi("stats,strict,cpu=" + cpu, "ftdi", {"-C", cpu, "-j"});
    EXPECT_EQ(r.exit_status, 0) << cpu << r.out << r.err;
    EXPECT_TRUE(
        contains(r.out, kAnnouncement + "\nOK!, JTAG ID:   " + idcode_bits(cell.idcode) + "\n"))
        << cpu << r.out;
    // One IR and one DR scan; nothing waited for the latency timer.
    EXPECT_TRUE(contains(r.err, "ir_scans=1 dr_scans=1 violations=0 ")) << cpu << r.err;
    EXPECT_TRUE(contains(r.err, " latency_waits=0\n")) << cpu << r.err;
  }
}

// The demo's run, over USB: a 64 MiB small-page chip whose block 5 fails to
// erase, the image written from block 4.
TEST_F(ProgramOverFtdi, ProgrammingRunStepsOverABadBlockAndVerifies) {
  TempDir dir;
  const std::string flash = dir.file("flash.bin");
  const std::string image_path = dir.file("image.bin");
  const std::vector<unsigned char> image = test_pattern(3 * kRunBlock + 1000, 9);
  write_file(image_path, image);

  const ProgramResult r =
      jtagnand_on_ftdi("stats,strict,nand=0x76,bad=5,flash=" + flash, "ftdi:tck=15M",
                       {"-C", "RQ7220", "-f" + image_path, "-b", "4"});
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "(USB 0403:6010, channel A) is connected, TCK 15 MHz.\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "Maker = 0xEC, Device = 0x76\nNAND DEVICE: 64MBytes(K9F1208U0M)\n"))
      << r.out;
  EXPECT_TRUE(contains(r.out, "\nSkip bad block at 0x14000\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "\nVerify GOOD!!\n")) << r.out;
  EXPECT_TRUE(contains(r.err, " violations=0 ")) << r.err;
  EXPECT_TRUE(contains(r.err, " latency_waits=0\n")) << r.err;

  expect_image_around_bad_block(flash, image);
}

// What the adapter's options choose, each checked by an IDCODE run: the chip
// model (its clock and its command set), the ids, the channel, the serial.
TEST_F(ProgramOverFtdi, TheOptionsChooseAdapterChannelAndClock) {
  const struct {
    std::string chip_options;
    std::string port;
    std::string announced;
  } cases[] = {
      {"", "ftdi:tck=8M",
       "(USB 0403:6010, channel A) is connected, TCK 7.5 MHz (8 MHz asked, rounded down to "
       "what the clock divisor makes).\n"},
      {"", "ftdi:tck=1000", "TCK 1 kHz.\n"},
      // What was asked is shown exactly, not rounded to six digits.
      {"", "ftdi:tck=30000001", "TCK 30 MHz (30.000001 MHz asked, above the FT2232H's highest).\n"},
      {"usb_chip=ft2232d", "ftdi:tck=30M",
       "\nFTDI FT2232C/D \"Dual RS232\" serial JTAGNAND1 (USB 0403:6010, channel A) is "
       "connected, TCK 6 MHz (30 MHz asked, above the FT2232C/D's highest).\n"},
      {"usb_chip=ft232h,usb_serial=FT42", "ftdi:id=0403:6014,serial=FT42",
       "\nFTDI FT232H \"Single RS232-HS\" serial FT42 (USB 0403:6014, channel A) is connected, "
       "TCK 30 MHz.\n"},
      {"usb_channel=B", "ftdi:channel=B,layout=olimex", "(USB 0403:6010, channel B) is connected"},
      {"", "ftdi:layout=buffered", "(USB 0403:6010, channel A) is connected"},
      {"", "ftdi:gpio=0x0f00/0x0f00", "(USB 0403:6010, channel A) is connected"},
  };
  for (const auto& c : cases) {
    const ProgramResult r = jtagnand_on_ftdi(
        "stats,strict,cpu=KELDA" + (c.chip_options.empty() ? "" : "," + c.chip_options), c.port,
        {"-C", "KELDA", "-j"});
    EXPECT_EQ(r.exit_status, 0) << c.port << r.out << r.err;
    EXPECT_TRUE(contains(r.out, c.announced)) << c.port << r.out;
    EXPECT_TRUE(contains(r.out, "\nOK!, JTAG ID:   00000000110100110001011001011011\n"))
        << c.port << r.out;
    EXPECT_TRUE(contains(r.err, " violations=0 bad_commands=1 latency_waits=0\n"))
        << c.port << r.err;
  }
}

// With a board description, the BSDL file's TAP_SCAN_CLOCK (10 MHz for the
// RQ7220) caps the default TCK; a higher tck= is refused before any clock
// unless overclock is given.
TEST_F(ProgramOverFtdi, TheBsdlFileLimitsTheClock) {
  const std::string board = JTAGNAND_TEST_DATA "/boards/rq7220.board";
  const struct {
    std::string port;
    int status;
    std::string announced;
    std::string refusal;
  } cases[] = {
      {"ftdi", 0, "channel A) is connected, TCK 10 MHz.\n", ""},
      {"ftdi:tck=5M", 0, "channel A) is connected, TCK 5 MHz.\n", ""},
      {"ftdi:tck=15M,overclock", 0, "channel A) is connected, TCK 15 MHz.\n", ""},
      {"ftdi:tck=15M", 1, "",
       "jtagnand: JTAGNAND_PORT=ftdi: TCK 15 MHz is above 10 MHz, the highest TCK " +
           std::string(JTAGNAND_TEST_DATA) +
           "/boards/rq7220.bsd gives (TAP_SCAN_CLOCK); add ,overclock to the ftdi options to "
           "run at it anyway\n"},
  };
  for (const auto& c : cases) {
    const ProgramResult r =
        jtagnand_on_ftdi("stats,strict,board=" + board, c.port, {"-T" + board, "-j"});
    EXPECT_EQ(r.exit_status, c.status) << c.port << r.out << r.err;
    if (c.status == 0) {
      EXPECT_TRUE(contains(r.out, c.announced)) << c.port << r.out;
      EXPECT_TRUE(contains(r.out, "\nOK!, JTAG ID:")) << c.port << r.out;
    } else {
      EXPECT_TRUE(contains(r.err, c.refusal)) << c.port << r.err;
      EXPECT_FALSE(contains(r.out, "is connected")) << c.port << r.out;
      EXPECT_TRUE(contains(r.err, " dr_scans=0 ")) << c.port << r.err;  // nothing driven
    }
  }
}

// The wrong channel has no target behind it: TDO reads high, the ID is all ones.
TEST_F(ProgramOverFtdi, TheWrongChannelReadsNoTarget) {
  const ProgramResult r =
      jtagnand_on_ftdi("cpu=KELDA,usb_channel=B", "ftdi", {"-C", "KELDA", "-j"});
  EXPECT_EQ(r.exit_status, 2) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "\nERROR, Your ID: 11111111111111111111111111111111\n")) << r.out;
}

TEST_F(ProgramOverFtdi, NoAdapterAttachedIsARefusalNamingWhatWasLookedFor) {
  const struct {
    std::string chip_options;
    std::string port;
    std::string said;
  } cases[] = {
      {"", "ftdi", "no FTDI adapter 0403:6010 (channel A, any serial) found;"},
      {"cpu=KELDA", "ftdi:serial=FT99",
       "no FTDI adapter 0403:6010 (channel A, serial FT99) found (1 with these ids, serials "
       "JTAGNAND1);"},
      {"cpu=KELDA", "ftdi:id=0403:6014",
       "no FTDI adapter 0403:6014 (channel A, any serial) found;"},
  };
  for (const auto& c : cases) {
    const ProgramResult r = jtagnand_on_ftdi(c.chip_options, c.port, {"-C", "KELDA", "-j"});
    EXPECT_EQ(r.exit_status, 1) << c.port;
    EXPECT_TRUE(contains(r.out, "Couldn't access giveio device")) << r.out;
    EXPECT_TRUE(contains(r.err, c.said)) << r.err;
    EXPECT_TRUE(contains(r.err, "udev rule")) << r.err;
    EXPECT_TRUE(contains(r.err, "ftdi_sio")) << r.err;
    // One line on standard error.
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
  }
}

}  // namespace
}  // namespace jtagnand::testing
