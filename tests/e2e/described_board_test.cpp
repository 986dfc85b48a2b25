// The program with a board description (-T): against the hand-transcribed
// built-in boards (sim:cpu=), and against boards built from BSDL files
// (sim:board=) with chains, a 6-bit IR, 600 cells and control cells of both
// polarities. Absolute paths go with their option letter: a word of its own
// starting with '/' would be read as an option.

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "e2e.h"
#include "test_boards.h"
#include "test_files.h"

namespace jtagnand::testing {
namespace {

const std::string kStart = kBanner + "\nLPT 0x378 Port is detected.\n";

// The test CPU's BSDL file and a description of it, in `dir`.
std::string test_board(const TempDir& dir, const std::string& name, const std::string& tdi_side,
                       const std::string& tdo_side, const TestCpuOptions& cpu = {}) {
  write_text(dir.file(name + ".bsd"), test_cpu_bsdl(cpu));
  write_text(dir.file(name + ".board"), test_board_description(name + ".bsd", tdi_side, tdo_side));
  return dir.file(name + ".board");
}

// An image of more than 8 KiB written at block 1 of a 0xE6 chip (8 KiB blocks)
// whose block 2 fails to erase lies in block 1 and from block 3 on; block 0
// stays erased.
void expect_image_around_bad_block_2(const std::vector<unsigned char>& chip,
                                     const std::vector<unsigned char>& image) {
  ASSERT_EQ(chip.size(), 8u << 20);
  EXPECT_TRUE(std::all_of(chip.begin(), chip.begin() + 8192, [](auto b) { return b == 0xFF; }));
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + 8192, chip.begin() + 8192));
  EXPECT_TRUE(std::equal(image.begin() + 8192, image.end(), chip.begin() + 3 * 8192));
}

// Each built-in CPU's description drives its independently transcribed board
// as -C does: the same console text, no violation, the same flash.
TEST(DescribedBoards, EachDataFileDrivesTheBuiltInBoardOfItsCpu) {
  TempDir dir;
  const auto image = test_pattern(9 * 1024, 7);
  write_file(dir.file("image.bin"), image);
  for (const std::string cpu : {"RQ7220", "ZELT", "KELDA", "TOMUX"}) {
    SCOPED_TRACE(cpu);
    std::string file = cpu;
    std::transform(file.begin(), file.end(), file.begin(), ::tolower);
    const std::string board = "sim:cpu=" + cpu + ",nand=0xE6,bad=2,stats,strict,flash=";
    const std::vector<std::string> where = {"-f" + dir.file("image.bin"), "-b", "1"};
    std::vector<std::string> args = {"-T" + std::string(JTAGNAND_TEST_DATA) + "/boards/" + file +
                                     ".board"};
    args.insert(args.end(), where.begin(), where.end());
    const ProgramResult described = jtagnand(board + dir.file("described.bin"), args);
    args = {"-C", cpu};
    args.insert(args.end(), where.begin(), where.end());
    const ProgramResult builtin = jtagnand(board + dir.file("builtin.bin"), args);
    ASSERT_EQ(builtin.exit_status, 0) << builtin.out << builtin.err;
    EXPECT_EQ(described.exit_status, 0) << described.out << described.err;
    EXPECT_TRUE(contains(described.out, "BAD Block number #\n [0002]\n")) << described.out;
    EXPECT_TRUE(contains(described.out, "\nVerify GOOD!!\n")) << described.out;
    EXPECT_EQ(without_times(described.out), without_times(builtin.out));
    EXPECT_TRUE(contains(described.err, "violations=0\n")) << described.err;
    expect_image_around_bad_block_2(read_file(dir.file("described.bin")), image);
  }
}

// A two-device chain, PRELOAD before EXTEST, 600 cells, and every control cell
// at the right polarity: under strict a line left floating at a latch would
// end the run.
TEST(DescribedBoards, ProgrammingRunOnATwoDeviceChain) {
  TempDir dir;
  const std::string board = test_board(dir, "wide", "", "4");
  const auto image = test_pattern(9 * 1024, 11);
  write_file(dir.file("image.bin"), image);
  const ProgramResult r = jtagnand(
      "sim:nand=0xE6,bad=2,stats,strict,flash=" + dir.file("flash.bin") + ",board=" + board,
      {"-T" + board, "-f" + dir.file("image.bin"), "-b", "1"});
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, kStart + "\nOK!, JTAG ID:   00001010101111001101000011110011\n"))
      << r.out;
  EXPECT_TRUE(contains(r.out, "BAD Block number #\n [0002]\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "\nVerify GOOD!!\n")) << r.out;
  EXPECT_TRUE(contains(r.err, "violations=0\n")) << r.err;
  expect_image_around_bad_block_2(read_file(dir.file("flash.bin")), image);
}

// -j lists the chain; the IDCODE's X bits match any version, fixed ones must
// match. A description whose chain is not the board's never reaches EXTEST.
TEST(DescribedBoards, IdcodeCheckListsTheChainAndRefusesAnotherChain) {
  TempDir dir;
  const std::string board = test_board(dir, "wide", "3", "4 5", {.version = "0101"});
  const std::string sim = "sim:nand=0xE6,flash=" + dir.file("flash.bin") + ",board=" + board;
  const ProgramResult r = jtagnand(sim, {"-T" + test_board(dir, "open", "3", "4 5"), "-j"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, kStart +
                       "\nJTAG chain from TDI to TDO:\n"
                       "  TAP 1 (IR 3): no IDCODE, bypass bit 0\n"
                       "  TAP 2 (IR 6, CPU WIDE): IDCODE 0x5ABCD0F3\n"
                       "  TAP 3 (IR 4): no IDCODE, bypass bit 0\n"
                       "  TAP 4 (IR 5): no IDCODE, bypass bit 0\n"
                       "\nOK!, JTAG ID:   01011010101111001101000011110011\n");
  const ProgramResult other =
      jtagnand(sim, {"-T" + test_board(dir, "fixed", "3", "4 5", {.version = "0011"}), "-j"});
  EXPECT_EQ(other.exit_status, 2);
  EXPECT_TRUE(contains(other.out, "\nERROR, Your ID: 01011010101111001101000011110011\n"));

  const ProgramResult short_chain =
      jtagnand(sim, {"-T" + test_board(dir, "short", "3", "4"), "-j"});
  EXPECT_EQ(short_chain.exit_status, 2);
  EXPECT_TRUE(contains(short_chain.out,
                       "  TAP 4: no IDCODE, bypass bit 0\n\nJTAG chain: 4 devices answered, the "
                       "board description lists 3 (tdi_side, the CPU, tdo_side)\n"
                       "Invalid JTAG ID\n"))
      << short_chain.out;
  const ProgramResult toggle = jtagnand(sim, {"-T" + dir.file("short.board"), "-t"}, "\x1b");
  EXPECT_EQ(toggle.exit_status, 2);
  EXPECT_TRUE(contains(toggle.out, "tdo_side)\nFail, Read JTAG ID\n")) << toggle.out;
  EXPECT_FALSE(contains(toggle.out, "toggled")) << toggle.out;
  // One IR bit short or long next to TDO would not move the CPU's own
  // instruction, but would leave that device out of BYPASS.
  write_file(dir.file("image.bin"), test_pattern(4096));
  for (const std::string tdo_side : {"4 4", "4 6"}) {
    const ProgramResult run =
        jtagnand(sim, {"-T" + test_board(dir, "ir", "3", tdo_side), "-f" + dir.file("image.bin")});
    EXPECT_EQ(run.exit_status, 2) << tdo_side;
    EXPECT_TRUE(contains(run.out,
                         "JTAG chain: the instruction registers are not as the board "
                         "description gives them (tdi_side, the CPU's 6 bits, "
                         "tdo_side)\nFail, Read JTAG ID\n"))
        << run.out;
    // -j lists the devices, without the roles of a chain it did not find.
    const ProgramResult listed = jtagnand(sim, {"-T" + dir.file("ir.board"), "-j"});
    EXPECT_EQ(listed.exit_status, 2);
    EXPECT_TRUE(
        contains(listed.out, "  TAP 1: no IDCODE, bypass bit 0\n  TAP 2: IDCODE 0x5ABCD0F3\n"))
        << listed.out;
    EXPECT_FALSE(contains(listed.out, "(IR ")) << listed.out;
  }
  const auto chip = read_file(dir.file("flash.bin"));
  EXPECT_TRUE(std::all_of(chip.begin(), chip.end(), [](auto b) { return b == 0xFF; }));
}

// A control cell's disable value written the wrong way round leaves a line
// undriven where the program means to drive it: the board catches it at the
// first latch, whichever the polarity.
TEST(DescribedBoards, AControlCellOfTheWrongPolarityFailsTheRun) {
  TempDir dir;
  const std::string board = test_board(dir, "wide", "", "");
  write_file(dir.file("image.bin"), test_pattern(4096));
  for (const uint32_t control :
       {kTestCpu.data_control[1], kTestCpu.data_control[5], kTestCpu.ale_control}) {
    const ProgramResult r =
        jtagnand("sim:nand=0xE6,strict,board=" + board,
                 {"-T" + test_board(dir, "wrong", "", "", {.flipped_control = control}),
                  "-f" + dir.file("image.bin")});
    EXPECT_EQ(r.exit_status, 3) << control << r.out;
    EXPECT_EQ(r.err, "sim: protocol violation: a flash input floating at a latch\n") << control;
  }
}

// Refused before any port is opened: with sim:stats an opened port would
// print its line at exit.
TEST(DescribedBoards, RefusedBeforeThePortIsTouched) {
  TempDir dir;
  const std::string board = test_board(dir, "wide", "", "");
  std::string text = test_board_description("wide.bsd");
  write_text(dir.file("noe.board"), text.replace(text.find("nRE = NRE"), 9, "nRE = NOE"));
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"-T" + dir.file("none.board"), "-j"},
       "board description not usable: " + dir.file("none.board") + ": cannot open the file"},
      {{"-T" + dir.file("noe.board"), "-j"},
       "board description not usable: " + dir.file("noe.board") +
           ":16: nRE = NOE: NOE is not a port of WIDE (wide.bsd)"},
      {{"-C", "ZELT", "-T" + board, "-j"},
       "-C and -T do not go together: the board description of -T names the CPU through its "
       "BSDL file"},
  };
  for (const auto& [args, message] : cases) {
    const ProgramResult r = jtagnand("sim:stats", args);
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(r.out, kBanner + "** Error: " + message + "\n");
    EXPECT_EQ(r.err, "");
  }
}

// Merged cells as TI's scan-test parts write them: each data line's control
// cell also captures the line, R/nB is captured by WP's control cell and nWE's
// output cell also captures nWE. The run reads and drives through bits that
// do both.
constexpr const char* kMergedBsdl = R"bsdl(-- MRG1 scan-test buffer, generated by hand
entity MRG1 is
  generic (PHYSICAL_PIN_MAP : string := "DW");
  port (D : inout bit_vector(0 to 7); NCE, CLE, ALE, NWE, NRE, WP : out bit; RB : in bit;
        TCK, TMS, TDI : in bit; TDO : out bit);
  use STD_1149_1_1990.all;
  attribute INSTRUCTION_LENGTH of MRG1 : entity is 8;
  attribute INSTRUCTION_OPCODE of MRG1 : entity is
    "EXTEST (00000000, 10000000), SAMPLE (00000010, 10000010), " &
    "IDCODE (00000100), BYPASS (11111111)";
  attribute INSTRUCTION_CAPTURE of MRG1 : entity is "10000001";
  attribute IDCODE_REGISTER of MRG1 : entity is "00010000000001010110000000010111";
  attribute BOUNDARY_LENGTH of MRG1 : entity is 23;
  attribute BOUNDARY_REGISTER of MRG1 : entity is
    -- num  cell   port   function  safe  ccell  disval  rslt
    " 22   (BC_1,  WP,    OUTPUT3,  X,    21,    0,      Z),  " &
    " 21   (BC_1,  *,     CONTROL,  0),                       " &
    " 21   (BC_1,  RB,    INPUT,    X),                       " &
    " 20   (BC_1,  NRE,   OUTPUT2,  1),                       " &
    " 19   (BC_1,  NWE,   INPUT,    X),                       " &
    " 19   (BC_1,  NWE,   OUTPUT2,  1),                       " &
    " 18   (BC_1,  ALE,   OUTPUT2,  0),                       " &
    " 17   (BC_1,  CLE,   OUTPUT2,  0),                       " &
    " 16   (BC_1,  NCE,   OUTPUT2,  1),                       " &
)bsdl";

std::string merged_bsdl() {
  std::string text = kMergedBsdl;
  for (int k = 7; k >= 0; --k) {
    const std::string d = "D(" + std::to_string(k) + ")";
    text += "    \" " + std::to_string(2 * k + 1) + " (BC_1, *, CONTROL, 0), " +
            std::to_string(2 * k + 1) + " (BC_1, " + d + ", INPUT, X), " + std::to_string(2 * k) +
            " (BC_1, " + d + ", OUTPUT3, X, " + std::to_string(2 * k + 1) + ", 0, Z)" +
            (k > 0 ? ",\" &\n" : "\";\nend MRG1;\n");
  }
  return text;
}

TEST(DescribedBoards, MergedCellsCaptureAndDriveThroughOneBit) {
  TempDir dir;
  write_text(dir.file("mrg1.bsd"), merged_bsdl());
  std::string board =
      "bsdl = mrg1.bsd\nhold WP = 1\nnCE = NCE\nCLE = CLE\nALE = ALE\n"
      "nWE = NWE\nnRE = NRE\nRnB = RB\n";
  for (int k = 0; k < 8; ++k)
    board += "D" + std::to_string(k) + " = D(" + std::to_string(k) + ")\n";
  write_text(dir.file("mrg1.board"), board);
  const auto image = test_pattern(9 * 1024, 5);
  write_file(dir.file("image.bin"), image);
  const ProgramResult r =
      jtagnand("sim:nand=0xE6,bad=2,stats,strict,flash=" + dir.file("flash.bin") +
                   ",board=" + dir.file("mrg1.board"),
               {"-T" + dir.file("mrg1.board"), "-f" + dir.file("image.bin"), "-b", "1"});
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "\nVerify GOOD!!\n")) << r.out;
  EXPECT_TRUE(contains(r.err, "violations=0\n")) << r.err;
  expect_image_around_bad_block_2(read_file(dir.file("flash.bin")), image);
}

// A description with only the BSDL file and the chain checks the chain
// against a board without a flash; any other mode is refused before the port
// is opened (sim:stats would print its line).
TEST(DescribedBoards, AChainOnlyDescriptionServesTheChainCheckAlone) {
  TempDir dir;
  write_text(dir.file("wide.bsd"), test_cpu_bsdl());
  write_text(dir.file("chain.board"), "bsdl = wide.bsd\ntdi_side = 3\ntdo_side = 4\n");
  const std::string sim = "sim:stats,board=" + dir.file("chain.board");
  const ProgramResult r = jtagnand(sim, {"-T" + dir.file("chain.board"), "-j"});
  EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, kStart +
                       "\nJTAG chain from TDI to TDO:\n"
                       "  TAP 1 (IR 3): no IDCODE, bypass bit 0\n"
                       "  TAP 2 (IR 6, CPU WIDE): IDCODE 0x0ABCD0F3\n"
                       "  TAP 3 (IR 4): no IDCODE, bypass bit 0\n"
                       "\nOK!, JTAG ID:   00001010101111001101000011110011\n");
  write_file(dir.file("image.bin"), test_pattern(4096));
  const ProgramResult refused =
      jtagnand(sim, {"-T" + dir.file("chain.board"), "-f" + dir.file("image.bin")});
  EXPECT_EQ(refused.exit_status, 2);
  EXPECT_EQ(refused.out, kBanner +
                             "** Error: board description not usable: " + dir.file("chain.board") +
                             ": no flash pins (D0 to D7, nCE, CLE, ALE, nWE, nRE and RnB are "
                             "missing); without them it serves -j only\n");
  EXPECT_EQ(refused.err, "");
}

TEST(DescribedBoards, ACpuWithoutIdcodeIsKnownByItsBypassBit) {
  TempDir dir;
  const std::string board = test_board(dir, "wide", "", "4", {.idcode = false});
  const ProgramResult r = jtagnand("sim:board=" + board, {"-T" + board, "-j"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, kStart +
                       "\nJTAG chain from TDI to TDO:\n"
                       "  TAP 1 (IR 6, CPU WIDE): no IDCODE, bypass bit 0\n"
                       "  TAP 2 (IR 4): no IDCODE, bypass bit 0\n"
                       "\nOK!, no IDCODE register: the CPU answered with its bypass bit\n");
}

}  // namespace
}  // namespace jtagnand::testing
