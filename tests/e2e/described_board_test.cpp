// The program with a board description (-T): against the hand-transcribed
// built-in boards (sim:cpu=), and against boards built from BSDL files
// (sim:board=) with chains, a 6-bit instruction register, 600 cells and
// control cells of both polarities.

#include <gtest/gtest.h>

#include <sstream>

#include "e2e.h"
#include "test_boards.h"
#include "test_files.h"

namespace jtagnand::testing {
namespace {

const std::string kPortLine = "\nLPT 0x378 Port is detected.\n";

std::string without_times(const std::string& text) {
  std::istringstream in(text);
  std::string line;
  std::string out;
  while (std::getline(in, line))
    if (line.find("elapsed time") == std::string::npos) out += line + "\n";
  return out;
}

std::string data_file(const std::string& name) {
  return std::string(JTAGNAND_TEST_DATA) + "/boards/" + name;
}

// An absolute path goes with its option letter: a word of its own that starts
// with '/' would be read as an option.
std::string board_option(const std::string& path) {
  return "-T" + path;
}

// The test CPU's files in `dir`: its BSDL file and a description of it.
struct TestBoard {
  TestBoard(const TempDir& dir, const std::string& name, const std::string& tdi_side,
            const std::string& tdo_side, const TestCpuOptions& cpu = {})
      : bsdl(dir.file(name + ".bsd")), description(dir.file(name + ".board")) {
    write_text(bsdl, test_cpu_bsdl(cpu));
    write_text(description, test_board_description(name + ".bsd", tdi_side, tdo_side));
  }
  std::string bsdl;
  std::string description;
};

// Every byte of `chip` from `offset` on for `length` bytes equals `image` from
// `from` on.
bool holds(const std::vector<unsigned char>& chip, size_t offset,
           const std::vector<unsigned char>& image, size_t from, size_t length) {
  return chip.size() >= offset + length &&
         std::equal(image.begin() + static_cast<long>(from),
                    image.begin() + static_cast<long>(from + length),
                    chip.begin() + static_cast<long>(offset));
}

// The description of each built-in CPU drives the independently transcribed
// board of that CPU exactly as the built-in profile does: the same console
// text, no protocol violation, the same flash.
TEST(DescribedBoards, EachDataFileDrivesTheBuiltInBoardOfItsCpu) {
  const struct {
    const char* cpu;
    const char* file;
  } boards[] = {{"RQ7220", "rq7220.board"},
                {"ZELT", "zelt.board"},
                {"KELDA", "kelda.board"},
                {"TOMUX", "tomux.board"}};
  TempDir dir;
  const std::string image_path = dir.file("image.bin");
  const auto image = test_pattern(20 * 1024, 7);
  write_file(image_path, image);
  for (const auto& b : boards) {
    SCOPED_TRACE(b.cpu);
    const std::string options = std::string("sim:cpu=") + b.cpu + ",nand=0xE6,bad=2,stats,strict";
    const std::string described_flash = dir.file(std::string(b.cpu) + "-described.bin");
    const std::string builtin_flash = dir.file(std::string(b.cpu) + "-builtin.bin");
    const ProgramResult described =
        jtagnand(options + ",flash=" + described_flash,
                 {board_option(data_file(b.file)), "-f" + image_path, "-b", "1"});
    const ProgramResult builtin =
        jtagnand(options + ",flash=" + builtin_flash, {"-C", b.cpu, "-f" + image_path, "-b", "1"});
    ASSERT_EQ(builtin.exit_status, 0) << builtin.out << builtin.err;
    EXPECT_EQ(described.exit_status, 0) << described.out << described.err;
    EXPECT_TRUE(contains(described.out, "\nVerify GOOD!!\n")) << described.out;
    EXPECT_TRUE(contains(described.out, "BAD Block number #\n [0002]\n")) << described.out;
    EXPECT_EQ(without_times(described.out), without_times(builtin.out));
    EXPECT_TRUE(contains(described.err, "violations=0\n")) << described.err;
    const auto chip = read_file(described_flash);
    ASSERT_EQ(chip.size(), 8u * 1024 * 1024);
    EXPECT_EQ(chip, read_file(builtin_flash));
    // 8 KiB blocks: block 1 holds the image's first block, bad block 2 is
    // stepped over, blocks 3 and 4 hold the rest.
    EXPECT_TRUE(holds(chip, 8192, image, 0, 8192));
    EXPECT_TRUE(holds(chip, 3 * 8192, image, 8192, 12 * 1024));
  }
}

// The CPU between a bypassed device and TDO... and one more on the TDO side:
// every scan carries their bits, the pins come up through PRELOAD, and the
// whole run happens with the flash's control cells at the right polarities
// (strict: a line left floating at a latch would end the run).
TEST(DescribedBoards, ProgrammingRunOnATwoDeviceChain) {
  TempDir dir;
  const TestBoard board(dir, "wide", "", "4");
  const std::string image_path = dir.file("image.bin");
  const auto image = test_pattern(20 * 1024, 11);
  write_file(image_path, image);
  const std::string flash = dir.file("flash.bin");
  const ProgramResult r =
      jtagnand("sim:nand=0xE6,bad=2,stats,strict,flash=" + flash + ",board=" + board.description,
               {board_option(board.description), "-f" + image_path, "-b", "1"});
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, kPortLine + "\nOK!, JTAG ID:   00001010101111001101000011110011\n"
                                          "Maker = 0xEC, Device = 0xE6\n"))
      << r.out;
  EXPECT_TRUE(contains(r.out, "Error erasing at 0x4000, Maybe BAD BLOCK"));
  EXPECT_TRUE(contains(r.out, "BAD Block number #\n [0002]\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "\nVerify GOOD!!\n")) << r.out;
  EXPECT_TRUE(contains(r.err, "violations=0\n")) << r.err;
  const auto chip = read_file(flash);
  EXPECT_TRUE(holds(chip, 8192, image, 0, 8192));
  EXPECT_TRUE(holds(chip, 3 * 8192, image, 8192, 12 * 1024));
  // Nothing before the offset was written.
  EXPECT_TRUE(
      std::all_of(chip.begin(), chip.begin() + 8192, [](unsigned char b) { return b == 0xFF; }));
}

TEST(DescribedBoards, IdcodeCheckListsTheChainOnBothSides) {
  TempDir dir;
  const TestBoard board(dir, "wide", "3", "4 5", {.version = "0101"});
  // The program's copy leaves the version open, as vendor files do.
  const TestBoard program(dir, "program", "3", "4 5");
  const ProgramResult r =
      jtagnand("sim:stats,board=" + board.description, {board_option(program.description), "-j"});
  EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, kBanner + kPortLine +
                       "\nJTAG chain from TDI to TDO:\n"
                       "  TAP 1 (IR 3): no IDCODE, bypass bit 0\n"
                       "  TAP 2 (IR 6, CPU WIDE): IDCODE 0x5ABCD0F3\n"
                       "  TAP 3 (IR 4): no IDCODE, bypass bit 0\n"
                       "  TAP 4 (IR 5): no IDCODE, bypass bit 0\n"
                       "\nOK!, JTAG ID:   01011010101111001101000011110011\n");

  // A file that fixes other version bits does not match.
  const TestBoard strict(dir, "strict", "3", "4 5", {.version = "0011"});
  const ProgramResult mismatch =
      jtagnand("sim:board=" + board.description, {board_option(strict.description), "-j"});
  EXPECT_EQ(mismatch.exit_status, 2);
  EXPECT_TRUE(contains(mismatch.out,
                       "\nERROR, Your ID: 01011010101111001101000011110011\nInvalid JTAG ID\n"))
      << mismatch.out;
}

// A description whose chain is not the board's never reaches EXTEST: -j says
// what it found, a programming run stops before the IDCODE and leaves the
// flash as it was.
TEST(DescribedBoards, AChainDescribedWrongIsRefused) {
  TempDir dir;
  const TestBoard board(dir, "wide", "3", "4 5");
  const TestBoard one_short(dir, "short", "3", "4");
  const ProgramResult j =
      jtagnand("sim:board=" + board.description, {board_option(one_short.description), "-j"});
  EXPECT_EQ(j.exit_status, 2);
  EXPECT_EQ(j.out, kBanner + kPortLine +
                       "\nJTAG chain from TDI to TDO:\n"
                       "  TAP 1: no IDCODE, bypass bit 0\n"
                       "  TAP 2: IDCODE 0x0ABCD0F3\n"
                       "  TAP 3: no IDCODE, bypass bit 0\n"
                       "  TAP 4: no IDCODE, bypass bit 0\n"
                       "\nJTAG chain: 4 devices answered, the board description lists 3 "
                       "(tdi_side, the CPU, tdo_side)\nInvalid JTAG ID\n");

  const std::string image_path = dir.file("image.bin");
  write_file(image_path, test_pattern(4096));
  // One instruction bit short, one too many: on the TDO side neither would
  // move the CPU's own instruction, but the device there would not be in
  // BYPASS.
  const TestBoard short_ir(dir, "short-ir", "3", "4 4");
  const TestBoard long_ir(dir, "long-ir", "3", "4 6");
  const ProgramResult short_j =
      jtagnand("sim:board=" + board.description, {board_option(short_ir.description), "-j"});
  EXPECT_EQ(short_j.exit_status, 2);
  EXPECT_TRUE(contains(short_j.out,
                       "  TAP 4 (IR 4): no IDCODE, bypass bit 0\n"
                       "\nJTAG chain: the instruction registers are not as the board description "
                       "gives them (tdi_side, the CPU's 6 bits, tdo_side)\nInvalid JTAG ID\n"))
      << short_j.out;
  for (const TestBoard* described : {&one_short, &short_ir, &long_ir}) {
    SCOPED_TRACE(described->description);
    const std::string flash = dir.file("flash.bin");
    const ProgramResult r =
        jtagnand("sim:nand=0xE6,stats,flash=" + flash + ",board=" + board.description,
                 {board_option(described->description), "-f" + image_path});
    EXPECT_EQ(r.exit_status, 2) << r.out;
    EXPECT_TRUE(contains(r.out, "Fail, Read JTAG ID\n")) << r.out;
    const auto chip = read_file(flash);
    EXPECT_TRUE(std::all_of(chip.begin(), chip.end(), [](unsigned char b) { return b == 0xFF; }));
  }
}

// A file that has a control cell's disable value the wrong way round makes the
// program leave a line undriven where it means to drive it: the board sees it,
// and the run fails instead of writing.
TEST(DescribedBoards, AControlCellOfTheWrongPolarityFailsTheRun) {
  TempDir dir;
  const TestBoard board(dir, "wide", "", "");
  const std::string image_path = dir.file("image.bin");
  write_file(image_path, test_pattern(4096));
  // A data line or ALE left floating is caught at the first latch; with nWE
  // and nRE, or nCE, never driven the chip is never reached and identifying it
  // fails.
  const std::string floating = "sim: protocol violation: a flash input floating at a latch\n";
  const std::string unreached = "Cannot support this device\nFail, Read Flash ID\n";
  const struct {
    const char* what;
    uint32_t control;
    int status;
    const std::string& message;
  } faults[] = {{"D1 (bidir, disables at 1)", kTestCpu.data_control[1], 3, floating},
                {"D5 (disables at 0)", kTestCpu.data_control[5], 3, floating},
                {"ALE (disables at 1)", kTestCpu.ale_control, 3, floating},
                {"nWE and nRE (disable at 0)", kTestCpu.strobe_control, 2, unreached},
                {"nCE (disables at 0)", kTestCpu.nce_control, 2, unreached}};
  for (const auto& fault : faults) {
    SCOPED_TRACE(fault.what);
    const TestBoard wrong(dir, "wrong", "", "", {.flipped_control = fault.control});
    const ProgramResult r = jtagnand("sim:nand=0xE6,stats,strict,board=" + board.description,
                                     {board_option(wrong.description), "-f" + image_path});
    EXPECT_EQ(r.exit_status, fault.status) << r.out << r.err;
    EXPECT_TRUE(contains(r.out + r.err, fault.message)) << r.out << r.err;
    EXPECT_FALSE(contains(r.out, "Verify GOOD")) << r.out;
  }
}

// A description that cannot be used stops the run before any port is opened:
// with sim:stats, an opened port would print its line at exit.
TEST(DescribedBoards, RefusedBeforeThePortIsTouched) {
  TempDir dir;
  const TestBoard board(dir, "wide", "", "");
  const std::string missing_bsdl = dir.file("missing-bsdl.board");
  write_text(missing_bsdl, test_board_description("nowhere.bsd"));
  const std::string not_a_port = dir.file("not-a-port.board");
  std::string text = test_board_description("wide.bsd");
  text.replace(text.find("nRE = NRE"), 9, "nRE = NOE");
  write_text(not_a_port, text);
  const std::string broken_bsdl = dir.file("broken.bsd");
  std::string bsdl = test_cpu_bsdl();
  bsdl.replace(bsdl.find("BOUNDARY_LENGTH of WIDE : entity is 600"), 39,
               "BOUNDARY_LENGTH of WIDE : entity is 601");
  write_text(broken_bsdl, bsdl);
  const std::string broken = dir.file("broken.board");
  write_text(broken, test_board_description("broken.bsd"));

  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{board_option(dir.file("none.board")), "-j"},
       "** Error: board description not usable: " + dir.file("none.board") +
           ": cannot open the file\n"},
      {{board_option(not_a_port), "-j"},
       "** Error: board description not usable: " + not_a_port +
           ":17: nRE = NOE: NOE is not a port of WIDE (wide.bsd)\n"},
      {{board_option(missing_bsdl), "-j"},
       "** Error: board description not usable: " + missing_bsdl + ":2: BSDL file " +
           dir.file("nowhere.bsd") + ": cannot open the file\n"},
      {{board_option(broken), "-fimage.bin"},
       "** Error: board description not usable: " + broken_bsdl},
      {{"-C", "RQ7220", board_option(board.description), "-j"},
       "** Error: -C and -T do not go together: the board description of -T names the CPU "
       "through its BSDL file\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    const ProgramResult r = jtagnand("sim:stats", c.args);
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_TRUE(r.out.rfind(kBanner + c.message, 0) == 0) << r.out;
    EXPECT_EQ(r.err, "");  // no port, no stats line
  }
}

// A CPU whose BSDL file has no IDCODE is checked by its place on the chain.
TEST(DescribedBoards, ACpuWithoutIdcodeIsFoundByItsBypassBit) {
  TempDir dir;
  const TestBoard board(dir, "wide", "", "4", {.idcode = false});
  const ProgramResult r =
      jtagnand("sim:board=" + board.description, {board_option(board.description), "-j"});
  EXPECT_EQ(r.exit_status, 0) << r.out;
  EXPECT_EQ(r.out, kBanner + kPortLine +
                       "\nJTAG chain from TDI to TDO:\n"
                       "  TAP 1 (IR 6, CPU WIDE): no IDCODE, bypass bit 0\n"
                       "  TAP 2 (IR 4): no IDCODE, bypass bit 0\n"
                       "\nOK!, no IDCODE register: the CPU answered with its bypass bit\n");
  // The same description on a board whose CPU does answer with an IDCODE.
  const TestBoard with_idcode(dir, "other", "", "4");
  const ProgramResult other =
      jtagnand("sim:board=" + with_idcode.description, {board_option(board.description), "-j"});
  EXPECT_EQ(other.exit_status, 2);
  EXPECT_TRUE(contains(other.out,
                       "\nERROR, the CPU has no IDCODE register in its BSDL file, but IDCODE "
                       "0x0ABCD0F3 answered in its place\nInvalid JTAG ID\n"))
      << other.out;
}

}  // namespace
}  // namespace jtagnand::testing
