// Images that are not regular files of known size (a pipe, /dev/zero, a /proc
// file), images that cannot be used, and runs with nothing to write.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "e2e.h"
#include "test_files.h"

namespace jtagnand::testing {
namespace {

// The program started by bash with its image given as `-f<(cat FILE)`: a pipe.
// (Attached: a separate word starting with '/' would be read as an option.)
ProgramResult jtagnand_from_pipe(const std::string& port, const std::string& image,
                                 const std::vector<std::string>& args, const std::string& input) {
  std::vector<std::string> all{"-c", "exec \"$0\" -f<(cat \"$1\") \"${@:2}\"", JTAGNAND_BINARY,
                               image};
  all.insert(all.end(), args.begin(), args.end());
  return run_program("/bin/bash", all, {"JTAGNAND_PORT=" + port}, input);
}

class ImageStream : public ::testing::Test {
 protected:
  TempDir dir;
  std::string flash = dir.file("flash.bin");
  std::string image_path = dir.file("image.bin");
};

TEST_F(ImageStream, APipeIsReadToItsEnd) {
  const auto image = test_pattern(40 * 1024 + 3, 9);
  write_file(image_path, image);
  const ProgramResult r = jtagnand_from_pipe("sim:nand=0x76,bad=3,stats,flash=" + flash, image_path,
                                             {"-C", "ZELT", "-b", "2"}, "");
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "Write:  40963 / 40963 [Byte] at 0x")) << r.out;
  EXPECT_TRUE(contains(r.out, "\nVerify GOOD!!\n")) << r.out;
  EXPECT_TRUE(contains(r.err, kCleanRun)) << r.err;
  const auto chip = read_file(flash);
  EXPECT_EQ(slice(chip, 0x8000, 0x4000), slice(image, 0, 0x4000));
  EXPECT_EQ(slice(chip, 0x10000, image.size() - 0x4000),
            slice(image, 0x4000, image.size() - 0x4000));
}

// The case that erased the whole chip and wrote nothing: now the image is
// written after the erase.
TEST_F(ImageStream, EraseAllThenThePipesImage) {
  const auto image = test_pattern(5000, 3);
  write_file(image_path, image);
  const ProgramResult r = jtagnand_from_pipe("sim:nand=0xE6,flash=" + flash, image_path,
                                             {"-C", "ZELT", "-e", "all"}, "y");
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "Programing & Verifying to 0x0 offset")) << r.out;
  EXPECT_TRUE(contains(r.out, "\nVerify GOOD!!\n")) << r.out;
  EXPECT_EQ(slice(read_file(flash), 0, image.size()), image);
}

// An endless stream is read only to one byte past what the chip holds from
// the offset, and refused before anything is erased.
TEST_F(ImageStream, DevZeroDoesNotFit) {
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{},
       "Image does not fit: more than 8388608 bytes at offset 0x0 run past the end of the "
       "8388608-byte chip\n"},
      {{"-b", "1023"},
       "Image does not fit: more than 8192 bytes at offset 0x7fe000 run past the "
       "end of the 8388608-byte chip\n"},
      {{"-b", "5000"},
       "Image does not fit: more than 0 bytes at offset 0x2710000 run past the "
       "end of the 8388608-byte chip\n"},
      {{"-e", "all"}, "Image does not fit: more than 8388608 bytes"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{"-C", "RQ7220", "-f/dev/zero"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ProgramResult r = jtagnand("sim:nand=0xE6,stats", args, "y");
    EXPECT_EQ(r.exit_status, 2) << r.out;
    EXPECT_TRUE(contains(r.out, "NAND DEVICE: 8MBytes\n" + c.message)) << r.out;
    EXPECT_FALSE(contains(r.out, "Continue ?")) << r.out;
    EXPECT_FALSE(contains(r.out, "Erasing")) << r.out;
  }
}

// A /proc file says it has 0 bytes and holds some.
TEST_F(ImageStream, AProcFileIsReadForWhatItHolds) {
  std::ifstream proc("/proc/version", std::ios::binary);
  const std::vector<unsigned char> text{std::istreambuf_iterator<char>(proc), {}};
  if (text.empty()) GTEST_SKIP() << "no /proc/version here";
  const ProgramResult r =
      jtagnand("sim:nand=0x75,flash=" + flash, {"-C", "KELDA", "-f/proc/version", "-b", "3"});
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "\nVerify GOOD!!\n")) << r.out;
  EXPECT_EQ(slice(read_file(flash), 3 * 16384, text.size()), text);
}

// Without an image (or with an empty one) identifying the chip was the job:
// status 0, the reason on standard error, standard output as it always was.
TEST(NothingToWrite, TheChipIsIdentifiedAndTheRunIsDone) {
  TempDir dir;
  write_file(dir.file("empty.bin"), {});
  const std::string identified =
      kBanner +
      "\nLPT 0x378 Port is detected.\n\n"
      "OK!, JTAG ID:   00110000000000000010011010010011\n"
      "Maker = 0xEC, Device = 0xDA\nNAND DEVICE: 256MBytes(K9F2G08U0M)\n\n";
  const ProgramResult none = jtagnand("sim", {"-C", "RQ7220"});
  EXPECT_EQ(none.exit_status, 0);
  EXPECT_EQ(none.out, identified);
  EXPECT_EQ(none.err, "jtagnand: chip identified, nothing to write (no image given with -f)\n");
  const ProgramResult empty = jtagnand("sim", {"-C", "RQ7220", "-f" + dir.file("empty.bin")});
  EXPECT_EQ(empty.exit_status, 0);
  EXPECT_EQ(empty.out, identified);
  EXPECT_EQ(empty.err, "jtagnand: chip identified, nothing to write (the image is empty)\n");
}

}  // namespace
}  // namespace jtagnand::testing
