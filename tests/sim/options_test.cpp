#include <gtest/gtest.h>

#include <string>

#include "sim/ftdi/virtual_dap.h"
#include "sim/ftdi/virtual_ftdi.h"
#include "sim/sim_board.h"
#include "test_files.h"

namespace jtagnand::sim {
namespace {

TEST(SimOptionsParse, DefaultsAndHint) {
  SimOptions o;
  std::string error;
  ASSERT_TRUE(parse_sim_options("", "", o, error));
  EXPECT_EQ(o.cpu, Cpu::kRq7220);
  EXPECT_EQ(o.nand_code, 0xDA);
  EXPECT_EQ(o.maker_code, 0xEC);
  EXPECT_EQ(o.busy_scans, 2U);
  EXPECT_EQ(o.port_base, 0x378);
  EXPECT_FALSE(o.stats || o.strict || o.target_off || o.busy_never);

  ASSERT_TRUE(parse_sim_options("", "KELDA", o, error));
  EXPECT_EQ(o.cpu, Cpu::kKelda);
  ASSERT_TRUE(parse_sim_options("", "kelda", o, error));  // not a CPU name as given
  EXPECT_EQ(o.cpu, Cpu::kRq7220);
  ASSERT_TRUE(parse_sim_options("cpu=zelt", "TOMUX", o, error));  // the option wins
  EXPECT_EQ(o.cpu, Cpu::kZelt);
}

TEST(SimOptionsParse, EveryOption) {
  SimOptions o;
  std::string error;
  ASSERT_TRUE(
      parse_sim_options("cpu=TOMUX,nand=0x75,maker=152,flash=/tmp/"
                        "x.bin,bad=3,bad=0x10,progfail=7,flip=0x1000,flip=0x20:7,"
                        "flip=spare:3:0x3f:2,"
                        "busy=0,hang=erase,hang=reset,target=off,port=0x3BC,stats,strict,",
                        "", o, error))
      << error;
  EXPECT_EQ(o.cpu, Cpu::kTomux);
  EXPECT_EQ(o.nand_code, 0x75);
  EXPECT_EQ(o.maker_code, 152);
  EXPECT_EQ(o.flash_path, "/tmp/x.bin");
  EXPECT_EQ(o.bad_blocks, (std::vector<uint32_t>{3, 16}));
  EXPECT_EQ(o.progfail_pages, (std::vector<uint32_t>{7}));
  EXPECT_EQ(o.flips,
            (std::vector<BitFlip>{{.where = 0x1000},
                                  {.where = 0x20, .bit = 7},
                                  {.spare = true, .where = 3, .spare_byte = 63, .bit = 2}}));
  EXPECT_EQ(o.busy_scans, 0U);
  EXPECT_TRUE(o.hang[static_cast<std::size_t>(NandOp::kErase)]);
  EXPECT_TRUE(o.hang[static_cast<std::size_t>(NandOp::kReset)]);
  EXPECT_FALSE(o.hang[static_cast<std::size_t>(NandOp::kProgram)]);
  EXPECT_TRUE(o.target_off && o.stats && o.strict);
  EXPECT_EQ(o.port_base, 0x3BC);

  ASSERT_TRUE(parse_sim_options("busy=never,port=none,port=0x278,port=none", "", o, error));
  EXPECT_TRUE(o.busy_never);
  EXPECT_EQ(o.port_base, 0);
}

// A second flash= would leave the first file silently out of the run.
TEST(SimOptionsParse, FlashFileGivenTwiceIsRefused) {
  SimOptions o;
  std::string error;
  EXPECT_FALSE(parse_sim_options("flash=a.bin,nand=0x76,flash=b.bin", "", o, error));
  EXPECT_EQ(error, "sim option flash given twice ('a.bin' and 'b.bin'); the chip has one file");
  EXPECT_TRUE(o.flash_path.empty());
}

// The option text comes from the environment: a line end or an ESC in it
// must not break the one-line message or reach the terminal as a sequence.
TEST(SimOptionsParse, ControlCharactersInTheTextAreShownEscaped) {
  const struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"sta\nts", "unknown sim option 'sta\\x0Ats' (known: "},
      {"cpu=\x1B[2J", "bad value '\\x1B[2J' for sim option cpu"},
      {"flash=a\rb,flash=c", "sim option flash given twice ('a\\x0Db' and 'c')"},
  };
  for (const auto& c : cases) {
    SimOptions o;
    std::string error;
    EXPECT_FALSE(parse_sim_options(c.text, "", o, error)) << c.text;
    EXPECT_EQ(error.rfind(c.error, 0), 0U) << error;
  }
}

TEST(SimOptionsParse, BadInputIsRefusedWithOneLine) {
  const char* bad[] = {
      "frobnicate", "cpu=",
      "cpu=ARM9",   "nand=0x100",
      "nand=12x",   "nand=",
      "maker=-1",   "bad=",
      "bad=x",      "bad=0x",
      "flip=1e3",   "busy=soon",
      "flip=1:8",   "flip=spare:3",
      "flip=1:2:3", "flip=spare:1:2:3:4",
      "busy=-2",    "hang=write",
      "hang",       "target=no",
      "port=0x379", "port=888x",
      "stats=1",    "strict=yes",
      "flash=",     "progfail=99999999999",
  };
  for (const char* text : bad) {
    SimOptions o;
    o.nand_code = 0x11;
    std::string error;
    EXPECT_FALSE(parse_sim_options(text, "", o, error)) << text;
    EXPECT_FALSE(error.empty()) << text;
    EXPECT_EQ(error.find('\n'), std::string::npos) << text;
    EXPECT_EQ(o.nand_code, 0x11) << text;  // nothing changed on failure
  }
}

// A virtual adapter's options mixed with the board's: each goes to its owner,
// in any order, and the first bad one of either is the message.
TEST(AdapterOptionsParse, PrefixedOptionsGoToTheAdapterTheRestToTheBoard) {
  std::string error;
  VirtualFtdiOptions ftdi;
  ASSERT_TRUE(parse_virtual_ftdi_options("busy=5,usb_chip=ft232h,,cpu=KELDA,usb_id=0x1234:abcd",
                                         ftdi, error))
      << error;
  EXPECT_EQ(ftdi.model, FtdiModel::kFt232h);
  EXPECT_EQ(ftdi.vendor, 0x1234);
  EXPECT_EQ(ftdi.product, 0xABCD);
  EXPECT_EQ(ftdi.board.cpu, Cpu::kKelda);
  EXPECT_EQ(ftdi.board.busy_scans, 5U);

  VirtualDapOptions dap;
  ASSERT_TRUE(
      parse_virtual_dap_options("dap_packet=64,nand=0x75,dap_count=1,dap_swd_only,"
                                "dap_id=c251:f001,dap_serial=P7",
                                dap, error))
      << error;
  EXPECT_EQ(dap.packet_size, 64);
  EXPECT_EQ(dap.packet_count, 1);
  EXPECT_FALSE(dap.jtag);
  EXPECT_EQ(dap.vendor, 0xC251);
  EXPECT_EQ(dap.product, 0xF001);
  EXPECT_EQ(dap.serial, "P7");
  EXPECT_EQ(dap.board.nand_code, 0x75);

  const struct {
    const char* text;
    bool dap;
    std::string error;
  } kBad[] = {
      {"usb_id=0403", false, "bad usb_id '0403' (VID:PID in hex)"},
      {"usb_channel=B,usb_chip=ft232h,cpu=nope", false, "usb_channel=B: this chip has one channel"},
      {"usb_chip=ft232h,cpu=nope", false,
       "bad value 'nope' for sim option cpu (expected RQ7220, ZELT, KELDA or TOMUX)"},
      {"dap_packet=63", true,
       "bad option 'dap_packet=63' (known: dap_id=VID:PID, dap_serial=TEXT, dap_packet=64..1024, "
       "dap_count=1..255, dap_swd_only, and the board options of sim:)"},
      {"dap_count=0", true,
       "bad option 'dap_count=0' (known: dap_id=VID:PID, dap_serial=TEXT, "
       "dap_packet=64..1024, dap_count=1..255, dap_swd_only, and the board "
       "options of sim:)"},
      {"dap_id=c251:10000", true,
       "bad option 'dap_id=c251:10000' (known: dap_id=VID:PID, dap_serial=TEXT, "
       "dap_packet=64..1024, dap_count=1..255, dap_swd_only, and the board options of sim:)"},
  };
  for (const auto& c : kBad) {
    error.clear();
    VirtualFtdiOptions f;
    VirtualDapOptions d;
    EXPECT_FALSE(c.dap ? parse_virtual_dap_options(c.text, d, error)
                       : parse_virtual_ftdi_options(c.text, f, error))
        << c.text;
    EXPECT_EQ(error, c.error) << c.text;
  }
}

TEST(SimOptionsParse, IdBytesAndParameterPage) {
  SimOptions o;
  std::string error;
  ASSERT_TRUE(parse_sim_options("nand=0x76,id=2C:da:0x90:95:6,onfi=/tmp/p.bin", "", o, error))
      << error;
  EXPECT_EQ(o.id_bytes, (std::vector<uint8_t>{0x2C, 0xDA, 0x90, 0x95, 0x06}));
  EXPECT_EQ(o.onfi_path, "/tmp/p.bin");
  for (const char* text : {"id=", "id=2C", "id=2C:", "id=2C::DA", "id=2C:DAB", "id=2C:XY",
                           "id=1:2:3:4:5:6:7:8:9", "onfi="}) {
    SimOptions unchanged;
    EXPECT_FALSE(parse_sim_options(text, "", unchanged, error)) << text;
    EXPECT_TRUE(unchanged.id_bytes.empty()) << text;
  }
}

TEST(SimOptionsParse, ParameterPageFilesTheBoardCannotUseAreRefusedAtCreation) {
  const jtagnand::testing::TempDir dir;
  jtagnand::testing::write_file(dir.file("short.bin"), std::vector<unsigned char>(255, 0));
  jtagnand::testing::write_file(dir.file("empty.bin"), {});
  for (const std::string name : {"short.bin", "empty.bin", "missing.bin"}) {
    SimOptions o;
    std::string error;
    ASSERT_TRUE(parse_sim_options("onfi=" + dir.file(name), "", o, error));
    EXPECT_EQ(make_sim_port(o, error), nullptr) << name;
    EXPECT_NE(error.find("onfi file"), std::string::npos) << error;
  }
}

TEST(SimOptionsParse, FaultsBeyondTheChipAreRefusedAtCreation) {
  for (const char* text :
       {"nand=0xE6,bad=1024", "nand=0xE6,progfail=16384", "nand=0xE6,flip=8388608",
        "nand=0xE6,marked=1024", "nand=0xE6,marked=x"}) {
    SCOPED_TRACE(text);
    SimOptions o;
    std::string error;
    if (parse_sim_options(text, "", o, error)) {
      EXPECT_EQ(make_sim_port(o, error), nullptr);
    }
    EXPECT_FALSE(error.empty());
  }
  SimOptions o;
  std::string error;
  ASSERT_TRUE(parse_sim_options("nand=0xE6,bad=1023,progfail=16383,flip=8388607,marked=1023", "", o,
                                error));
  EXPECT_NE(make_sim_port(o, error), nullptr) << error;
}

}  // namespace
}  // namespace jtagnand::sim
