// Chips that describe themselves, end to end: the built program identifies an
// ONFI or extended-ID chip on the simulated board, erases around a bad block,
// programs and verifies, and the flash file holds the image; chips it cannot
// drive are refused before anything is erased.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>

#include "e2e.h"
#include "onfi_pages.h"

namespace jtagnand::testing {
namespace {

bool erased(const std::vector<unsigned char>& bytes) {
  for (unsigned char b : bytes)
    if (b != 0xFF) return false;
  return !bytes.empty();
}

class SelfDescribedChip : public ::testing::Test {
 protected:
  TempDir dir;
  std::string flash = dir.file("flash.bin");
  std::string image_path = dir.file("image.bin");

  std::vector<unsigned char> make_image(size_t length) {
    auto image = test_pattern(length, 5);
    write_file(image_path, image);
    return image;
  }
  // The chip's parameter page in a file for onfi=, `copies` given as they are.
  std::string onfi_file(const std::vector<std::vector<unsigned char>>& copies) {
    std::vector<unsigned char> bytes;
    for (const auto& c : copies) bytes.insert(bytes.end(), c.begin(), c.end());
    const std::string path = dir.file("onfi.bin");
    write_file(path, bytes);
    return path;
  }
  // A large chip's flash file, sparse: the blocks a run does not erase read 0x00.
  void sparse_flash(uint64_t size) {
    { std::ofstream create(flash, std::ios::binary); }
    std::filesystem::resize_file(flash, size);
  }
};

// Winbond W29N01HZ (two row cycles): 128 KiB blocks, block 3 bad inside the
// range, the image split around it.
TEST_F(SelfDescribedChip, OnfiChipStepsOverABadBlock) {
  const auto image = make_image(128 * 1024 + 2048 + 100);
  const std::string onfi = onfi_file({onfi_page(kW29N01HZ.facts)});
  const ProgramResult r =
      jtagnand("sim:stats,strict,id=" + kW29N01HZ.id + ",onfi=" + onfi + ",bad=3,flash=" + flash,
               {"-C", "ZELT", "-f" + image_path, "-b", "2"});
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out,
                       "Maker = 0xEF, Device = 0xA1\nNAND DEVICE: 128MBytes(WINBOND W29N01HZSINA)\n"
                       "Page 2048+64 bytes, 64 pages per block, 1024 blocks\n\n"
                       "Erasing block ....\n [   2] [   3]\n"
                       "Error erasing at 0x60000, Maybe BAD BLOCK ....\n [   4]\n"))
      << r.out;
  EXPECT_TRUE(contains(r.out, "\nSkip bad block at 0x60000\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "\nVerify GOOD!!\n\nWrite elapsed time:  ")) << r.out;
  EXPECT_TRUE(contains(r.err, kCleanRun)) << r.err;

  const auto chip = read_file(flash);
  ASSERT_EQ(chip.size(), 128u << 20);  // the file has the chip's size
  EXPECT_EQ(slice(chip, 0x40000, 0x20000), slice(image, 0, 0x20000));
  EXPECT_TRUE(erased(slice(chip, 0x60000, 0x20000)));
  EXPECT_EQ(slice(chip, 0x80000, image.size() - 0x20000),
            slice(image, 0x20000, image.size() - 0x20000));
  EXPECT_TRUE(erased(slice(chip, 0x80000 + image.size() - 0x20000, 0x1000)));
  EXPECT_TRUE(erased(slice(chip, 0, 0x40000)));
}

// Micron MT29F8G08ABABA (4 KiB pages, three row cycles) whose first parameter
// page copy is bad: written into its last blocks, the first of them bad.
TEST_F(SelfDescribedChip, OnfiChipWithThreeRowCyclesAndABadFirstCopy) {
  auto bad_first = onfi_page(kMT29F8G08.facts);
  bad_first[100] ^= 0x02;  // the LUN count: the CRC fails
  const std::string onfi =
      onfi_file({bad_first, onfi_page(kMT29F8G08.facts), onfi_page(kMT29F8G08.facts)});
  const uint64_t block = 512 * 1024;
  sparse_flash(2048 * block);
  const auto image = make_image(3 * 4096 + 5);
  const ProgramResult r = jtagnand(
      "sim:stats,strict,id=" + kMT29F8G08.id + ",onfi=" + onfi + ",bad=2046,flash=" + flash,
      {"-C", "RQ7220", "-f" + image_path, "-b", "2046"});
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out,
                       "NAND DEVICE: 1024MBytes(MICRON MT29F8G08ABABAWP)\n"
                       "Page 4096+224 bytes, 128 pages per block, 2048 blocks\n"))
      << r.out;
  EXPECT_TRUE(contains(r.out, "BAD Block number #\n [2046]\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "\nSkip bad block at 0x3ff00000\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "\nVerify GOOD!!\n")) << r.out;
  EXPECT_TRUE(contains(r.err, kCleanRun)) << r.err;
  EXPECT_EQ(file_bytes(flash, 2047 * block, image.size()), image);
  EXPECT_TRUE(erased(file_bytes(flash, 2047 * block + image.size(), block - image.size())));
}

// Samsung K9F1G08R0A, known by its extended ID only; the first block of the
// range is bad.
TEST_F(SelfDescribedChip, ExtendedIdChipStepsOverABadBlock) {
  const auto image = make_image(2 * 2048 + 1000);
  const ProgramResult r = jtagnand("sim:stats,strict,id=EC:A1:00:15:40,bad=5,flash=" + flash,
                                   {"-C", "KELDA", "-f" + image_path, "-b", "5"});
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out,
                       "Maker = 0xEC, Device = 0xA1\nNAND DEVICE: 128MBytes(ID EC A1 00 15 40)\n"
                       "Page 2048+64 bytes, 64 pages per block, 1024 blocks\n\n"))
      << r.out;
  EXPECT_TRUE(contains(r.out, "\nSkip bad block at 0xa0000\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "\nVerify GOOD!!\n")) << r.out;
  EXPECT_TRUE(contains(r.err, kCleanRun)) << r.err;
  const auto chip = read_file(flash);
  EXPECT_TRUE(erased(slice(chip, 0xA0000, 0x20000)));
  EXPECT_EQ(slice(chip, 0xC0000, image.size()), image);
  EXPECT_TRUE(erased(slice(chip, 0xC0000 + image.size(), 0x20000 - image.size())));
}

// The large chips: 16 Gbit, and 32 Gbit in two LUNs, whose size and last
// offsets need more than 32 bits.
TEST_F(SelfDescribedChip, SixteenAndThirtyTwoGbitChipsAtTheirLastBlocks) {
  const struct {
    const OnfiChip& chip;
    uint64_t blocks;
    std::string name;
  } cases[] = {
      {kMT29F16G08, 4096,
       "2048MBytes(MICRON MT29F16G08ABABAWP)\n"
       "Page 4096+224 bytes, 128 pages per block, 4096 blocks\n"},
      {kMT29F32G08, 8192,
       "4096MBytes(MICRON MT29F32G08AFABAWP)\n"
       "Page 4096+224 bytes, 128 pages per block, 8192 blocks in 2 LUNs\n"},
  };
  const uint64_t block = 512 * 1024;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sparse_flash(c.blocks * block);
    const auto image = make_image(2 * 4096 + 7);
    const std::string onfi = onfi_file({onfi_page(c.chip.facts)});
    const std::string board = "sim:stats,strict,id=" + c.chip.id + ",onfi=" + onfi +
                              ",bad=" + std::to_string(c.blocks - 2) + ",flash=" + flash;
    const ProgramResult r =
        jtagnand(board, {"-C", "ZELT", "-f" + image_path, "-b", std::to_string(c.blocks - 2)});
    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "NAND DEVICE: " + c.name)) << r.out;
    EXPECT_TRUE(contains(r.out, "\nVerify GOOD!!\n")) << r.out;
    EXPECT_TRUE(contains(r.err, kCleanRun)) << r.err;
    EXPECT_EQ(file_bytes(flash, (c.blocks - 1) * block, image.size()), image);

    // One byte too many for the last block: refused before anything is erased.
    make_image(block + 1);
    const ProgramResult too_long =
        jtagnand(board, {"-C", "ZELT", "-f" + image_path, "-b", std::to_string(c.blocks - 1)});
    EXPECT_EQ(too_long.exit_status, 2);
    EXPECT_TRUE(contains(too_long.out, "Image does not fit: " + std::to_string(block + 1) +
                                           " bytes at offset 0x" +
                                           (c.blocks == 8192 ? "fff80000" : "7ff80000") +
                                           " run past the end of the " +
                                           std::to_string(c.blocks * block) + "-byte chip\n"))
        << too_long.out;
    EXPECT_FALSE(contains(too_long.out, "Erasing")) << too_long.out;
  }
}

TEST_F(SelfDescribedChip, ChipsThatCannotBeDrivenAreRefusedBeforeAnyErase) {
  auto bad = onfi_page(kW29N01HZ.facts);
  bad[254] ^= 0xFF;
  const struct {
    std::string board;
    std::string refusal;
  } cases[] = {
      {"id=" + kMT29F2G16.id + ",onfi=" + onfi_file({onfi_page(kMT29F2G16.facts)}),
       "NAND DEVICE: 256MBytes(MICRON MT29F2G16ABAEAWP)\n"
       "Page 2048+64 bytes, 64 pages per block, 2048 blocks\n"
       "Cannot support this device: a 16-bit data bus (the CPU wires eight data lines)\n"},
      {"id=EC:D5:14:B6:74",
       "Cannot support this device: more than one bit per cell (MLC needs ECC that this "
       "program does not write)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.board);
    const ProgramResult r =
        jtagnand("sim:stats,strict," + c.board, {"-C", "TOMUX", "-e", "all"}, "y");
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_TRUE(contains(r.out, c.refusal + "Fail, Read Flash ID\n")) << r.out;
    EXPECT_FALSE(contains(r.out, "Continue ?")) << r.out;
    EXPECT_FALSE(contains(r.out, "Erasing")) << r.out;
    EXPECT_FALSE(contains(r.out, "elapsed")) << r.out;
    EXPECT_TRUE(contains(r.err, kCleanRun)) << r.err;
  }
  const ProgramResult all_bad =
      jtagnand("sim:id=" + kW29N01HZ.id + ",onfi=" + onfi_file({bad, bad, bad}),
               {"-C", "ZELT", "-e", "all"}, "y");
  EXPECT_EQ(all_bad.exit_status, 2);
  EXPECT_TRUE(contains(all_bad.out,
                       "Maker = 0xEF, Device = 0xA1\nCannot support this device: every copy of the "
                       "ONFI parameter page fails its CRC\nFail, Read Flash ID\n"))
      << all_bad.out;
}

}  // namespace
}  // namespace jtagnand::testing
