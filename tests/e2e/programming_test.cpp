// The programming run of the built program on the simulated board: chip
// identification, erase, program and verify, and the flash contents after.

#include <gtest/gtest.h>

#include <algorithm>

#include "e2e.h"
#include "test_files.h"

namespace jtagnand::testing {
namespace {

struct Chip {
  std::string code;
  std::string name;
  size_t block_size;
};

const Chip kChips[] = {
    {"0x76", "64MBytes(K9F1208U0M)", 16384},
    {"0x75", "32MBytes(K9F5608U0B)", 16384},
    {"0x73", "16MBytes", 16384},
    {"0xE6", "8MBytes", 8192},
    {"0xF1", "128MBytes(K9F1G08U0M)", 131072},
    {"0xDA", "256MBytes(K9F2G08U0M)", 131072},
    {"0xDC", "512MBytes(K9F4G08U0M)", 131072},
    {"0xD3", "1GBytes(K9F8G08U0M)", 262144},
};
const std::string kCpus[] = {"RQ7220", "ZELT", "KELDA", "TOMUX"};

bool all_erased(const std::vector<unsigned char>& bytes, size_t from, size_t n) {
  const auto part = slice(bytes, from, n);
  return part.size() == n &&
         std::all_of(part.begin(), part.end(), [](unsigned char b) { return b == 0xFF; });
}

TEST(ChipIdentification, EveryChipThroughEveryCpu) {
  for (const std::string& cpu : kCpus) {
    for (const Chip& chip : kChips) {
      const ProgramResult r =
          jtagnand("sim:stats,strict,nand=" + chip.code + ",cpu=" + cpu, {"-C", cpu});
      const std::string where = cpu + " / " + chip.code;
      // No image was given: identifying the chip was the job.
      EXPECT_EQ(r.exit_status, 0) << where;
      EXPECT_TRUE(contains(r.err,
                           "jtagnand: chip identified, nothing to write (no image given "
                           "with -f)\n"))
          << where << ": " << r.err;
      std::string code = chip.code.substr(2);
      EXPECT_TRUE(contains(r.out, "\nOK!, JTAG ID:   ")) << where;
      EXPECT_TRUE(contains(
          r.out, "Maker = 0xEC, Device = 0x" + code + "\nNAND DEVICE: " + chip.name + "\n\n"))
          << where << "\n"
          << r.out;
      EXPECT_TRUE(contains(r.err, kCleanRun)) << where << ": " << r.err;
    }
  }
}

TEST(ChipIdentification, UnsupportedCodesAreRefused) {
  for (const std::string code : {"0x79", "0x00", "0xFF"}) {
    const ProgramResult r = jtagnand("sim:stats,nand=" + code, {"-C", "ZELT"});
    EXPECT_EQ(r.exit_status, 2) << code;
    EXPECT_TRUE(contains(r.out, "Cannot support this device\nFail, Read Flash ID\n"))
        << code << "\n"
        << r.out;
    EXPECT_FALSE(contains(r.out, "NAND DEVICE")) << code;
    EXPECT_TRUE(contains(r.err, kCleanRun)) << r.err;
  }
}

TEST(ChipIdentification, AnyMakerIsAccepted) {
  const ProgramResult r = jtagnand("sim:nand=0xDA,maker=0x98", {"-C", "KELDA"});
  EXPECT_TRUE(contains(r.out, "Maker = 0x98, Device = 0xDA\nNAND DEVICE: 256MBytes(K9F2G08U0M)\n"))
      << r.out;
}

class ProgrammingRun : public ::testing::Test {
 protected:
  TempDir dir;
  std::string flash = dir.file("flash.bin");
  std::string image_path = dir.file("image.bin");

  std::vector<unsigned char> make_image(size_t length, unsigned seed = 7) {
    auto image = test_pattern(length, seed);
    write_file(image_path, image);
    return image;
  }
};

TEST_F(ProgrammingRun, StepsOverABadBlockAndVerifies) {
  const auto image = make_image(40 * 1024);
  const ProgramResult r = jtagnand("sim:nand=0x76,bad=3,stats,flash=" + flash,
                                   {"-C", "ZELT", "-f" + image_path, "-b", "2"});
  ASSERT_EQ(r.exit_status, 0) << r.out;
  EXPECT_TRUE(contains(r.out,
                       "NAND DEVICE: 64MBytes(K9F1208U0M)\n\nErasing block ....\n"
                       " [   2] [   3]\nError erasing at 0x"))
      << r.out;
  EXPECT_TRUE(contains(r.out, "BAD Block number #\n [0003]\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "Programing & Verifying to 0x8000 offset ....\n\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "\nSkip bad block at 0xc000\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "\nVerify GOOD!!\n\nWrite elapsed time:  0[min] ")) << r.out;
  EXPECT_TRUE(contains(r.err, kCleanRun)) << r.err;

  const auto chip = read_file(flash);
  ASSERT_EQ(chip.size(), 64u * 1024 * 1024);
  EXPECT_EQ(slice(chip, 0x8000, 0x4000), slice(image, 0, 0x4000));
  EXPECT_TRUE(all_erased(chip, 0xC000, 0x4000));
  EXPECT_EQ(slice(chip, 0x10000, 0x6000), slice(image, 0x4000, 0x6000));
  EXPECT_TRUE(all_erased(chip, 0, 0x8000));
  EXPECT_TRUE(all_erased(chip, 0x16000, 0x10000));
}

TEST_F(ProgrammingRun, LargePageChipWithAPartialLastPage) {
  const auto image = make_image(3 * 2048 + 100);
  const ProgramResult r = jtagnand("sim:nand=0xF1,stats,strict,flash=" + flash,
                                   {"-C", "KELDA", "-f" + image_path, "-o", "0x40000"});
  ASSERT_EQ(r.exit_status, 0) << r.out;
  EXPECT_TRUE(contains(r.out, "Write:   6244 / 6244 [Byte] at 0x00041864\r\nVerify GOOD!!\n"))
      << r.out;
  const auto chip = read_file(flash);
  EXPECT_EQ(slice(chip, 0x40000, image.size()), image);
  EXPECT_TRUE(all_erased(chip, 0x40000 + image.size(), 0x20000 - image.size()));
  EXPECT_TRUE(contains(r.err, kCleanRun)) << r.err;
}

TEST_F(ProgrammingRun, OffsetErrorsStopBeforeAnythingIsErased) {
  make_image(1000);
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"-o", "0x4000", "-b", "2"}, "Invald Offset Option\n"},
      {{"-o", "0x200"}, "Not alignd writing address\n"},
      {{"-o", "0x3FFC000", "-b", "0"}, ""},  // the last block: fits
      {{"-b", "4096"}, "Image does not fit"},
      {{"-b", "0x10000000"}, "Image does not fit"},  // 2^28 blocks: beyond 32 bits
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{"-C", "RQ7220", "-f" + image_path};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ProgramResult r = jtagnand("sim:nand=0x76,stats", args);
    if (c.message.empty()) {
      EXPECT_EQ(r.exit_status, 0) << r.out;
      continue;
    }
    EXPECT_EQ(r.exit_status, 2) << c.args[0];
    EXPECT_TRUE(contains(r.out, c.message)) << r.out;
    EXPECT_FALSE(contains(r.out, "Erasing")) << r.out;
  }
}

TEST_F(ProgrammingRun, EraseAllAnsweredYesWithoutAnImage) {
  // Leave something on the chip first, then erase it all.
  make_image(5000);
  ASSERT_EQ(
      jtagnand("sim:nand=0xE6,flash=" + flash, {"-C", "RQ7220", "-f" + image_path}).exit_status, 0);
  const ProgramResult r =
      jtagnand("sim:nand=0xE6,bad=7,stats,flash=" + flash, {"-C", "RQ7220", "-e", "all"}, "xqY");
  EXPECT_EQ(r.exit_status, 0) << r.out;
  EXPECT_TRUE(contains(r.out, "erase all flash. Continue ? [Y/N] \n\nErasing block ....\n"))
      << r.out;
  EXPECT_TRUE(contains(r.out, " [1023]\n")) << r.out;  // 8 MiB of 8 KiB blocks
  EXPECT_FALSE(contains(r.out, "elapsed")) << r.out;
  EXPECT_FALSE(contains(r.out, "Programing")) << r.out;
  EXPECT_TRUE(all_erased(read_file(flash), 0, 8u * 1024 * 1024));
  EXPECT_TRUE(contains(r.err, kCleanRun)) << r.err;
}

// A typo in the image's name must not cost the chip: the run fails before the
// question, nothing erased.
TEST_F(ProgrammingRun, EraseAllWithAnImageThatCannotBeOpenedErasesNothing) {
  const auto before = make_image(5000);
  ASSERT_EQ(
      jtagnand("sim:nand=0xE6,flash=" + flash, {"-C", "RQ7220", "-f" + image_path}).exit_status, 0);
  const std::string missing = dir.file("nope.bin");
  const ProgramResult r = jtagnand("sim:nand=0xE6,stats,flash=" + flash,
                                   {"-C", "RQ7220", "-e", "all", "-f" + missing}, "y");
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_TRUE(contains(r.out, "Could not open file: " + missing + ".\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "NAND DEVICE: 8MBytes\n\n")) << r.out;
  EXPECT_FALSE(contains(r.out, "Continue ?")) << r.out;
  EXPECT_FALSE(contains(r.out, "Erasing")) << r.out;
  EXPECT_EQ(slice(read_file(flash), 0, before.size()), before);
}

TEST_F(ProgrammingRun, EraseAllWithAnEmptyImageIsAnEraseOnly) {
  write_file(image_path, {});
  const ProgramResult r = jtagnand(
      "sim:nand=0xE6", {"-C", "RQ7220", "-e", "all", "-f" + image_path, "-b", "5000"}, "y");
  EXPECT_TRUE(contains(r.out, "Erasing block ....")) << r.out;
  EXPECT_FALSE(contains(r.out, "Could not open")) << r.out;
  EXPECT_EQ(r.exit_status, 0);
}

TEST_F(ProgrammingRun, EraseAllAnsweredNoOrNotAtAll) {
  const auto image = make_image(5000);
  ASSERT_EQ(
      jtagnand("sim:nand=0xE6,flash=" + flash, {"-C", "RQ7220", "-f" + image_path}).exit_status, 0);
  for (const std::string input : {"n", "abN", ""}) {
    const ProgramResult r = jtagnand("sim:nand=0xE6,flash=" + flash,
                                     {"-C", "RQ7220", "-e", "all", "-f" + image_path}, input);
    EXPECT_EQ(r.exit_status, 2) << "input '" << input << "'";
    EXPECT_FALSE(contains(r.out, "Erasing")) << r.out;
    if (input.empty()) {
      EXPECT_TRUE(contains(r.out, "No answer")) << r.out;
    }
    EXPECT_EQ(slice(read_file(flash), 0, image.size()), image);
  }
}

TEST_F(ProgrammingRun, EraseAllThenWriteTheImage) {
  const auto image = make_image(20000);
  const ProgramResult r = jtagnand("sim:nand=0x75,flash=" + flash,
                                   {"-C", "TOMUX", "-e", "all", "-f" + image_path, "-b", "1"}, "y");
  ASSERT_EQ(r.exit_status, 0) << r.out;
  EXPECT_TRUE(contains(r.out, "Verify GOOD!!")) << r.out;
  EXPECT_EQ(slice(read_file(flash), 16384, image.size()), image);
}

TEST_F(ProgrammingRun, EscStopsTheEraseOrTheProgramming) {
  make_image(40 * 1024);
  // ESC as the first key: read after the first block's erase.
  const ProgramResult during_erase =
      jtagnand("sim:nand=0x76,stats,flash=" + flash, {"-C", "RQ7220", "-f" + image_path}, "\033");
  EXPECT_EQ(during_erase.exit_status, 2);
  EXPECT_TRUE(contains(during_erase.out, " [   0]")) << during_erase.out;
  EXPECT_FALSE(contains(during_erase.out, " [   1]")) << during_erase.out;
  EXPECT_FALSE(contains(during_erase.out, "Programing")) << during_erase.out;
  EXPECT_FALSE(contains(during_erase.out, "elapsed")) << during_erase.out;

  // Three keys go to the three blocks of the erase; ESC then stops the writing.
  const ProgramResult during_write =
      jtagnand("sim:nand=0x76,flash=" + flash, {"-C", "RQ7220", "-f" + image_path}, "abc\033");
  EXPECT_EQ(during_write.exit_status, 2);
  EXPECT_TRUE(contains(during_write.out, "Programing & Verifying")) << during_write.out;
  EXPECT_FALSE(contains(during_write.out, "Verify GOOD")) << during_write.out;
  EXPECT_FALSE(contains(during_write.out, "elapsed")) << during_write.out;
  const auto chip = read_file(flash);
  EXPECT_TRUE(all_erased(chip, 512, 40 * 1024 - 512));  // only the first page was written
}

TEST_F(ProgrammingRun, ImageProblemsStopBeforeTheTargetIsTouched) {
  // A directory opens but cannot be read: a short read.
  const ProgramResult unreadable = jtagnand("sim:stats", {"-C", "RQ7220", "-f" + dir.path()});
  EXPECT_EQ(unreadable.exit_status, 2);
  EXPECT_TRUE(contains(unreadable.out, "Could not read file: " + dir.path())) << unreadable.out;
  EXPECT_FALSE(contains(unreadable.out, "JTAG ID")) << unreadable.out;
  EXPECT_TRUE(contains(unreadable.err, "ir_scans=0 dr_scans=0")) << unreadable.err;

  // A missing file is reported and the chip is still identified.
  const ProgramResult missing = jtagnand("sim", {"-C", "RQ7220", "-f" + dir.file("nothing.bin")});
  EXPECT_EQ(missing.exit_status, 2);
  EXPECT_TRUE(contains(missing.out, "Could not open file: " + dir.file("nothing.bin") + ".\n"))
      << missing.out;
  EXPECT_TRUE(contains(missing.out, "NAND DEVICE: ")) << missing.out;
  EXPECT_FALSE(contains(missing.out, "Erasing")) << missing.out;
}

TEST_F(ProgrammingRun, VerifyFailureIsReportedAndFails) {
  make_image(4096);
  const ProgramResult r =
      jtagnand("sim:nand=0x76,flip=0x4205", {"-C", "RQ7220", "-f" + image_path, "-b", "1"});
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_TRUE(contains(r.out, "\n\nCompare ERROR: flash addr: 0x4205\n")) << r.out;
  EXPECT_FALSE(contains(r.out, "Verify GOOD")) << r.out;
}

}  // namespace
}  // namespace jtagnand::testing
