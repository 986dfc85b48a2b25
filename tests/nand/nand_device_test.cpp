#include "nand/nand_device.h"

#include <gtest/gtest.h>

#include <cstring>

#include "nand/nand_identify.h"
#include "onfi_pages.h"
#include "sim_bench.h"
#include "test_files.h"

namespace jtagnand {
namespace {

using testing::SimBench;

constexpr const char* kCpus[] = {"RQ7220", "ZELT", "TOMUX", "KELDA"};

struct Chip {
  uint8_t code;
  const char* name;
  uint32_t total_size;
  uint32_t page_size;
  uint32_t block_size;
  uint32_t spare_size;
};

using testing::kKiB;
constexpr uint32_t kMiB = 1024 * kKiB;
constexpr Chip kChips[] = {
    {0x76, "64MBytes(K9F1208U0M)", 64 * kMiB, 512, 16 * kKiB, 16},
    {0x75, "32MBytes(K9F5608U0B)", 32 * kMiB, 512, 16 * kKiB, 16},
    {0x73, "16MBytes", 16 * kMiB, 512, 16 * kKiB, 16},
    {0xE6, "8MBytes", 8 * kMiB, 512, 8 * kKiB, 16},
    {0xF1, "128MBytes(K9F1G08U0M)", 128 * kMiB, 2048, 128 * kKiB, 64},
    {0xDA, "256MBytes(K9F2G08U0M)", 256 * kMiB, 2048, 128 * kKiB, 64},
    {0xDC, "512MBytes(K9F4G08U0M)", 512 * kMiB, 2048, 128 * kKiB, 64},
    {0xD3, "1GBytes(K9F8G08U0M)", 1024 * kMiB, 2048, 256 * kKiB, 64},
};

TEST(NandDeviceTable, EightChipsInOrder) {
  const auto table = chip_table();
  for (size_t i = 0; i < 8; ++i) {
    SCOPED_TRACE(kChips[i].name);
    EXPECT_EQ(table[i].kind, ChipRowKind::kBuiltin);
    EXPECT_EQ(table[i].device_code, kChips[i].code);
    EXPECT_STREQ(table[i].chip.name, kChips[i].name);
    EXPECT_EQ(table[i].chip.total_size(), kChips[i].total_size);
    EXPECT_EQ(table[i].chip.page_size, kChips[i].page_size);
    EXPECT_EQ(table[i].chip.block_size(), kChips[i].block_size);
    EXPECT_EQ(table[i].chip.spare_size, kChips[i].spare_size);
    EXPECT_EQ(find_builtin_chip(kChips[i].code), &table[i]);
  }
}

// Every chip through every CPU: the ID read over the boundary register finds
// the chip, fills the geometry and breaks no bus rule.
TEST(NandReadId, EveryChipThroughEveryCpu) {
  for (const char* cpu : kCpus) {
    for (const Chip& chip : kChips) {
      SCOPED_TRACE(::testing::Message() << cpu << " " << chip.name);
      sim::SimOptions options;
      options.nand_code = chip.code;
      options.maker_code = 0xEC;
      SimBench bench(cpu, options);
      ASSERT_TRUE(bench.ready());
      ASSERT_EQ(bench.read_id(), NandOutcome::kDone);
      const FlashInfo& flash = bench.flash();
      EXPECT_EQ(flash.maker_code, 0xEC);
      EXPECT_EQ(flash.device_code, chip.code);
      EXPECT_STREQ(flash.chip.name, chip.name);
      EXPECT_EQ(flash.chip.total_size(), chip.total_size);
      EXPECT_EQ(flash.chip.page_size, chip.page_size);
      EXPECT_EQ(flash.chip.block_size(), chip.block_size);
      EXPECT_EQ(flash.chip.spare_size, chip.spare_size);
      EXPECT_EQ(bench.output(), "");
      EXPECT_EQ(bench.board().violations(), 0u) << bench.violations();
      // A large-page code also reads its further ID bytes and looks for ONFI.
      EXPECT_EQ(bench.board().nand_counts().commands[kNandCmdReadId],
                chip.page_size == 512 ? 1u : 2u);
      EXPECT_TRUE(bench.board().net(sim::Net::kNce)) << "chip left selected";
    }
  }
}

TEST(NandReadId, AnyMakerIsAccepted) {
  sim::SimOptions options;
  options.nand_code = 0xDA;
  options.maker_code = 0x98;
  SimBench bench("RQ7220", options);
  ASSERT_EQ(bench.read_id(), NandOutcome::kDone);
  EXPECT_EQ(bench.flash().maker_code, 0x98);
  EXPECT_STREQ(bench.flash().chip.name, "256MBytes(K9F2G08U0M)");
}

TEST(NandReadId, UnsupportedCodesAreRefused) {
  for (const char* cpu : kCpus) {
    for (const uint8_t code : {uint8_t{0x00}, uint8_t{0xFF}, uint8_t{0x79}}) {
      SCOPED_TRACE(::testing::Message() << cpu << " code 0x" << std::hex << int{code});
      sim::SimOptions options;
      options.nand_code = code;
      SimBench bench(cpu, options);
      ASSERT_TRUE(bench.ready());
      EXPECT_EQ(bench.read_id(), NandOutcome::kUnknownChip);
      EXPECT_EQ(bench.output(), "Cannot support this device\n");
      // Only the two codes are written; the geometry stays as it was.
      EXPECT_EQ(bench.flash().device_code, code);
      EXPECT_EQ(bench.flash().maker_code, 0xEC);
      EXPECT_EQ(bench.flash().chip.name[0], '\0');
      EXPECT_EQ(bench.flash().chip.total_size(), 0u);
      EXPECT_EQ(bench.flash().chip.block_size(), 0u);
      EXPECT_EQ(bench.board().violations(), 0u) << bench.violations();
    }
  }
}

// ---------------------------------------------------------------------------
// Chips that describe themselves, identified over the bus.

struct Board {
  testing::TempDir dir;
  sim::SimOptions options;

  // id= and onfi= as the simulated board takes them; `copies` back to back.
  Board(std::vector<uint8_t> id, const std::vector<std::vector<unsigned char>>& copies) {
    options.id_bytes = std::move(id);
    if (copies.empty()) return;
    std::vector<unsigned char> bytes;
    for (const auto& copy : copies) bytes.insert(bytes.end(), copy.begin(), copy.end());
    options.onfi_path = dir.file("onfi.bin");
    testing::write_file(options.onfi_path, bytes);
  }
};

std::vector<unsigned char> bad_crc(std::vector<unsigned char> page) {
  page[80] ^= 0x01;
  return page;
}

TEST(NandIdentify, OnfiChipWhoseFirstCopyFailsItsCrc) {
  const auto good = testing::onfi_page(testing::kMT29F8G08.facts);
  Board board({0x2C, 0x38, 0x00, 0x26, 0x85}, {bad_crc(good), good, good});
  SimBench bench("ZELT", board.options);
  ASSERT_EQ(bench.read_id(), NandOutcome::kDone) << bench.output();
  EXPECT_EQ(bench.output(), "");
  EXPECT_EQ(bench.flash().source, ChipSource::kOnfi);
  EXPECT_STREQ(bench.flash().chip.name, "1024MBytes(MICRON MT29F8G08ABABAWP)");
  EXPECT_EQ(bench.flash().chip.page_size, 4096u);
  const sim::NandCounts& counts = bench.board().nand_counts();
  // Read ID at 0x00 (two bytes) and at 0x20 (the signature), then the
  // parameter page: two copies, the second one good.
  EXPECT_EQ(counts.commands[kNandCmdReadId], 2u);
  EXPECT_EQ(counts.commands[kNandCmdReadParameterPage], 1u);
  EXPECT_EQ(counts.data_bytes_out, 2u + 4u + 2u * 256u);
  EXPECT_EQ(bench.board().violations(), 0u) << bench.violations();
  EXPECT_TRUE(bench.board().net(sim::Net::kNce)) << "chip left selected";
}

TEST(NandIdentify, ExtendedIdChipIsReadInOneReadId) {
  Board board({0xEC, 0xA1, 0x00, 0x15, 0x40}, {});
  SimBench bench("KELDA", board.options);
  ASSERT_EQ(bench.read_id(), NandOutcome::kDone) << bench.output();
  EXPECT_EQ(bench.flash().source, ChipSource::kExtendedId);
  EXPECT_STREQ(bench.flash().chip.name, "128MBytes(ID EC A1 00 15 40)");
  EXPECT_EQ(bench.flash().chip.block_size(), 128u * 1024);
  const sim::NandCounts& counts = bench.board().nand_counts();
  // Read ID at 0x00 (eight bytes) and at 0x20 (the signature).
  EXPECT_EQ(counts.commands[kNandCmdReadId], 2u);
  EXPECT_EQ(counts.commands[kNandCmdReadParameterPage], 0u);
  EXPECT_EQ(counts.data_bytes_out, 8u + 4u);
  EXPECT_EQ(bench.board().violations(), 0u) << bench.violations();
}

}  // namespace
}  // namespace jtagnand
