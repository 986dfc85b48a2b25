// The program with a built-in profile (-C) against a simulated board built
// from the BSDL file and board description of the same CPU (sim:board=): the
// same console text, the same port traffic and the same flash as on the
// hand-transcribed built-in board.

#include <gtest/gtest.h>

#include <sstream>

#include "e2e.h"
#include "test_files.h"

namespace jtagnand::testing {
namespace {

TEST(BoardFileRuns, TheProgramSeesTheBuiltInBoardOfTheSameCpu) {
  const struct {
    const char* cpu;
    const char* file;
  } boards[] = {{"RQ7220", "rq7220.board"},
                {"ZELT", "zelt.board"},
                {"KELDA", "kelda.board"},
                {"TOMUX", "tomux.board"}};
  TempDir dir;
  const std::string image_path = dir.file("image.bin");
  // Block 1 whole, then the bad block 2 stepped over: what the board can get wrong.
  const auto image = test_pattern(9 * 1024, 3);
  write_file(image_path, image);
  for (const auto& b : boards) {
    SCOPED_TRACE(b.cpu);
    const std::string options = "sim:nand=0xE6,bad=2,stats,strict,flash=";
    const std::string described_flash = dir.file(std::string(b.cpu) + "-board.bin");
    const std::string builtin_flash = dir.file(std::string(b.cpu) + "-cpu.bin");
    const std::vector<std::string> args = {"-C", b.cpu, "-f" + image_path, "-b", "1"};
    const ProgramResult described = jtagnand(
        options + described_flash + ",board=" + JTAGNAND_TEST_DATA + "/boards/" + b.file, args);
    const ProgramResult builtin = jtagnand(options + builtin_flash + ",cpu=" + b.cpu, args);
    ASSERT_EQ(builtin.exit_status, 0) << builtin.out << builtin.err;
    EXPECT_EQ(described.exit_status, 0) << described.out << described.err;
    EXPECT_TRUE(contains(described.out, "\nVerify GOOD!!\n")) << described.out;
    EXPECT_TRUE(contains(described.out, " [0002]\n")) << described.out;  // the bad block
    EXPECT_EQ(without_times(described.out), without_times(builtin.out));
    // "sim: writes=N reads=N ir_scans=N dr_scans=N violations=0": the same traffic.
    EXPECT_EQ(described.err, builtin.err);
    EXPECT_TRUE(contains(described.err, "violations=0\n")) << described.err;
    const auto chip = read_file(described_flash);
    EXPECT_EQ(chip, read_file(builtin_flash));
    ASSERT_EQ(chip.size(), 8u * 1024 * 1024);
    EXPECT_EQ(std::vector<unsigned char>(chip.begin() + 8192, chip.begin() + 16384),
              std::vector<unsigned char>(image.begin(), image.begin() + 8192));
  }
}

}  // namespace
}  // namespace jtagnand::testing
