// -O and -E on the simulated board, the flash files checked: images with
// their spare bytes written and dumped around a marked block, the ECC bytes
// in the spare area with corrected bits reported, a dump with an
// uncorrectable page, and the refusals before anything is erased. (Linux's
// own MTD stack checks the bytes themselves: tests/interop.)

#include <gtest/gtest.h>

#include <algorithm>

#include "e2e.h"
#include "ecc/ecc.h"

namespace jtagnand::testing {
namespace {

using Bytes = std::vector<unsigned char>;

struct Files {
  TempDir dir;
  std::string flash = dir.file("f.bin");
  std::string image = dir.file("img.bin");
};

// An 8 MiB chip of 512-byte pages, 16 spare bytes each, 16 pages a block;
// block 2 carries the factory mark. 17 pages with their spare bytes go to
// block 1 and, past the marked block, to block 3; the dump gives them back.
TEST(SpareArea, ImageWithSpareBytesWrittenAndDumpedAroundAMarkedBlock) {
  Files f;
  constexpr size_t kPage = 512, kSpare = 16, kUnit = kPage + kSpare, kPages = 17;
  Bytes image = test_pattern(kPages * kUnit, 3);
  // As in a dump of good blocks: the marker byte (5) of every spare area erased.
  for (size_t p = 0; p < kPages; ++p) image[p * kUnit + kPage + 5] = 0xFF;
  write_file(f.image, image);
  const std::string board = "sim:stats,strict,nand=0xE6,marked=2,flash=" + f.flash;
  const ProgramResult wrote =
      jtagnand(board, {"-C", "ZELT", "-f" + f.image, "-O", "-m", "-b", "1"});
  ASSERT_EQ(wrote.exit_status, 0) << wrote.out;
  EXPECT_TRUE(contains(wrote.out, "Write:   8704 / 8704 [Byte]")) << wrote.out;

  const Bytes main = read_file(f.flash);
  const Bytes spare = read_file(f.flash + ".oob");
  for (size_t p = 0; p < kPages; ++p) {
    const size_t page = p < 16 ? 16 + p : 48 + (p - 16);  // block 1, then block 3
    EXPECT_TRUE(std::equal(image.begin() + p * kUnit, image.begin() + p * kUnit + kPage,
                           main.begin() + page * kPage))
        << p;
    EXPECT_TRUE(std::equal(image.begin() + p * kUnit + kPage, image.begin() + (p + 1) * kUnit,
                           spare.begin() + page * kSpare))
        << p;
  }
  EXPECT_EQ(spare[32 * kSpare + 5], 0x00) << "the mark of block 2 stays";

  const std::string dump = f.dir.file("dump.bin");
  const ProgramResult read = jtagnand(board, {"-C", "ZELT", "-r" + dump, "-O", "-m", "-b", "1",
                                              "-l", std::to_string(kPages * kPage)});
  EXPECT_EQ(read.exit_status, 0) << read.out;
  EXPECT_TRUE(contains(read.out, "\n\n8976 bytes read into " + dump + "\n")) << read.out;
  EXPECT_TRUE(read_file(dump) == image);
  const ProgramResult verified =
      jtagnand(board, {"-C", "ZELT", "-v", "-f" + f.image, "-O", "-m", "-b", "1"});
  EXPECT_EQ(verified.exit_status, 0) << verified.out;
}

// -E bch8 on a 2 KiB-page chip with a weak bit in the main area and one in the
// spare area of the second page: both are corrected and reported, and the
// spare areas hold the ECC where Linux puts it.
TEST(SpareArea, EccWrittenWithCorrectedBitsReported) {
  Files f;
  const Bytes image = test_pattern(3 * 2048 - 100, 5);
  write_file(f.image, image);
  const std::string board =
      "sim:stats,strict,nand=0xDA,flip=0x805:3,flip=spare:1:40:6,flash=" + f.flash;
  const ProgramResult r = jtagnand(board, {"-C", "ZELT", "-f" + f.image, "-E", "bch8"});
  ASSERT_EQ(r.exit_status, 0) << r.out;
  EXPECT_TRUE(contains(r.out, "\nECC bch8: 2 bits corrected in 1 of 3 pages\n\nVerify GOOD!!\n"))
      << r.out;

  Bytes page(2048 * 3, 0xFF);
  std::copy(image.begin(), image.end(), page.begin());
  const EccCodec codec(EccScheme::kBch8, 2048, 64);
  const Bytes main = read_file(f.flash);
  const Bytes spare = read_file(f.flash + ".oob");
  EXPECT_TRUE(std::equal(image.begin(), image.end(), main.begin()));
  for (size_t p = 0; p < 3; ++p) {
    Bytes expected(64, 0xFF);
    codec.encode(std::span(page).subspan(p * 2048, 2048), expected);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), spare.begin() + p * 64)) << p;
  }

  // Nine flipped bits in one step of page 1: more than BCH-8 corrects. The
  // dump is complete, lists the page, and fails.
  std::string nine = "sim:nand=0xDA,flash=" + f.flash;
  for (int bit = 0; bit < 9; ++bit) nine += ",flip=" + std::to_string(0x900 + 3 * bit) + ":1";
  const std::string dump = f.dir.file("dump.bin");
  const ProgramResult bad = jtagnand(nine, {"-C", "ZELT", "-r" + dump, "-E", "bch8", "-l", "6144"});
  EXPECT_EQ(bad.exit_status, 2) << bad.out;
  EXPECT_TRUE(
      contains(bad.out, "\n\n6144 bytes read into " + dump +
                            "\n\nECC bch8: 0 bits corrected in 0 of 3 pages\n\nECC ERROR: 1 "
                            "uncorrectable page written to the file as read, at:\n "
                            "0x00000800\n"))
      << bad.out;
  const Bytes dumped = read_file(dump);
  ASSERT_EQ(dumped.size(), 6144u);
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + 2048, dumped.begin()));
  EXPECT_EQ(dumped[0x900], image[0x900] ^ 0x02) << "the page is as read";
}

// Refused before anything is erased or programmed, the flash as it was.
TEST(SpareArea, RefusalsLeaveTheFlashAlone) {
  Files f;
  write_file(f.image, test_pattern(2112 + 100, 1));
  const struct {
    std::string board;
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {"nand=0xE6",
       {"-E", "bch4"},
       "** Error: -E bch4 needs pages of 2048 bytes or more: Linux's BCH has no layout for "
       "512-byte pages (use -E hamming)\n"},
      {"nand=0xDA",
       {"-O"},
       "** Error: with -O the image holds whole pages with their spare area, 2048 + 64 = 2112 "
       "bytes each; 2212 bytes is not a multiple of 2112\n"},
      {"nand=0xDA", {"-E", "rs"}, "** Error: -E takes hamming, bch4 or bch8, not 'rs'\n"},
      {"nand=0xDA", {"-j", "-E", "hamming"}, "** Error: -j and -t go with neither -O nor -E\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"-C", "ZELT", "-f" + f.image};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ProgramResult r = jtagnand("sim:stats," + c.board + ",flash=" + f.flash, args);
    EXPECT_EQ(r.exit_status, 2) << c.message;
    EXPECT_TRUE(contains(r.out, c.message)) << r.out;
    EXPECT_FALSE(contains(r.out, "Erasing")) << r.out;
  }
}

}  // namespace
}  // namespace jtagnand::testing
