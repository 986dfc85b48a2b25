// Real chips on the simulated board: the bytes each answers to Read ID (and
// its ONFI parameter page where it has one), written down here from the
// makers' datasheets and the ID facts the Linux kernel's NAND code publishes,
// never from the program's table. Each chip is either identified with its
// datasheet geometry or refused with the reason; none is taken for another.
// Several share a built-in chip's device code with another geometry.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nand/nand_identify.h"
#include "onfi_pages.h"
#include "sim_bench.h"
#include "test_files.h"

namespace jtagnand {
namespace {

using testing::OnfiFacts;

using testing::kKiB;

struct RealChip {
  const char* part;
  std::vector<uint8_t> id;  // what eight Read ID cycles return (a chip repeats its ID)
  // Datasheet geometry; page 0: the chip must be refused.
  uint32_t page, spare, block;
  uint64_t blocks;
  // Accepted: the built-in chip's name when it is one, else empty. Refused:
  // the reason the refusal must give.
  const char* built_in_or_reason;
  bool onfi = false;  // answers "ONFI" at Read ID 0x20, with a page of the geometry above
  uint8_t onfi_cycles = 0x23;
};

const RealChip kRealChips[] = {
    // Samsung: the built-in chips' own family, and its MLC parts on the same codes.
    {"K9F1G08U0B",
     {0xEC, 0xF1, 0x00, 0x95, 0x40},
     2048,
     64,
     128 * kKiB,
     1024,
     "128MBytes(K9F1G08U0M)"},
    {"K9F2G08U0C",
     {0xEC, 0xDA, 0x10, 0x95, 0x44},
     2048,
     64,
     128 * kKiB,
     2048,
     "256MBytes(K9F2G08U0M)"},
    {"K9F4G08U0D",
     {0xEC, 0xDC, 0x10, 0x95, 0x54},
     2048,
     64,
     128 * kKiB,
     4096,
     "512MBytes(K9F4G08U0M)"},
    {"K9G8G08U0A (MLC on 0xD3)", {0xEC, 0xD3, 0x14, 0xA5, 0x64}, 0, 0, 0, 0, "more than one bit"},
    {"K9G8G08U0M (MLC on 0xD3)", {0xEC, 0xD3, 0x14, 0x25, 0x64}, 0, 0, 0, 0, "more than one bit"},
    {"K9GAG08U0F (six-byte ID, MLC)",
     {0xEC, 0xD5, 0x94, 0x76, 0x54, 0x43, 0xEC, 0xD5},
     0,
     0,
     0,
     0,
     "more than one bit"},
    {"K9F1G16U0M (code 0xC1: 16-bit)", {0xEC, 0xC1, 0x80, 0x55, 0x40}, 0, 0, 0, 0, "16-bit"},
    // Toshiba: 4 KiB pages on 0xDC and 0xD3 (whose fourth byte understates the
    // spare area), and the 24 nm parts with 32 spare bytes per 512.
    {"TC58NVG0S3E",
     {0x98, 0xD1, 0x90, 0x15, 0x76, 0x14, 0x01, 0x00},
     2048,
     64,
     128 * kKiB,
     1024,
     ""},
    {"TC58NVG1S3H (24 nm)",
     {0x98, 0xDA, 0x90, 0x15, 0x76, 0x16, 0x08, 0x00},
     2048,
     128,
     128 * kKiB,
     2048,
     ""},
    {"TC58NVG2S0F",
     {0x98, 0xDC, 0x90, 0x26, 0x76, 0x15, 0x01, 0x08},
     4096,
     224,
     256 * kKiB,
     2048,
     ""},
    {"TC58NVG2S0H (24 nm)",
     {0x98, 0xDC, 0x90, 0x26, 0x76, 0x16, 0x08, 0x00},
     4096,
     256,
     256 * kKiB,
     2048,
     ""},
    {"TC58NVG3S0F",
     {0x98, 0xD3, 0x90, 0x26, 0x76, 0x15, 0x02, 0x08},
     4096,
     232,
     256 * kKiB,
     4096,
     ""},
    {"TH58NVG2S3HBAI4", {0x98, 0xDC, 0x91, 0x15, 0x76}, 2048, 128, 128 * kKiB, 4096, ""},
    // Micron: ONFI chips; 4 KiB pages with 224 spare bytes on 0xDC and 0xD3.
    {"MT29F1G08ABADA",
     {0x2C, 0xF1, 0x80, 0x95, 0x04},
     2048,
     64,
     128 * kKiB,
     1024,
     "128MBytes(K9F1G08U0M)",
     true,
     0x22},
    {"MT29F2G08ABAEA",
     {0x2C, 0xDA, 0x90, 0x95, 0x06},
     2048,
     64,
     128 * kKiB,
     2048,
     "256MBytes(K9F2G08U0M)",
     true},
    {"MT29F4G08ABAEA", {0x2C, 0xDC, 0x90, 0xA6, 0x54}, 4096, 224, 256 * kKiB, 2048, "", true},
    {"MT29F8G08ABACA", {0x2C, 0xD3, 0x90, 0xA6, 0x64}, 4096, 224, 256 * kKiB, 4096, "", true},
    // Macronix: 64-page blocks on 0xD3.
    {"MX30LF1G08AA", {0xC2, 0xF1, 0x80, 0x1D}, 2048, 64, 128 * kKiB, 1024, "128MBytes(K9F1G08U0M)"},
    {"MX60LF8G18AC", {0xC2, 0xD3, 0xD1, 0x95, 0x5A}, 2048, 64, 128 * kKiB, 8192, ""},
    // Spansion: two 4 Gbit dies of 64-page blocks on 0xD3.
    {"S34ML02G1",
     {0x01, 0xDA, 0x90, 0x95, 0x44},
     2048,
     64,
     128 * kKiB,
     2048,
     "256MBytes(K9F2G08U0M)"},
    {"S34ML08G1", {0x01, 0xD3, 0xD1, 0x95, 0x58}, 2048, 64, 128 * kKiB, 8192, ""},
    // Hynix: SLC parts of the built-in codes, and a six-byte MLC ID.
    {"HY27UF081G2A", {0xAD, 0xF1, 0x80, 0x1D}, 2048, 64, 128 * kKiB, 1024, "128MBytes(K9F1G08U0M)"},
    {"H27U4G8F2DTR",
     {0xAD, 0xDC, 0x90, 0x95, 0x54},
     2048,
     64,
     128 * kKiB,
     4096,
     "512MBytes(K9F4G08U0M)"},
    {"H27UBG8T2A (six-byte ID, MLC)",
     {0xAD, 0xD7, 0x94, 0x9A, 0x74, 0x42, 0xAD, 0xD7},
     0,
     0,
     0,
     0,
     "more than one bit"},
    // Winbond: ONFI, the built-in chip's geometry.
    {"W29N02GV",
     {0xEF, 0xDA, 0x90, 0x95, 0x04},
     2048,
     64,
     128 * kKiB,
     2048,
     "256MBytes(K9F2G08U0M)",
     true},
};

TEST(RealChips, EachIsDescribedRightOrRefused) {
  for (const RealChip& c : kRealChips) {
    SCOPED_TRACE(c.part);
    testing::TempDir dir;
    sim::SimOptions options;
    options.id_bytes = c.id;
    if (c.onfi) {
      const OnfiFacts facts{.manufacturer = "MAKER",
                            .model = c.part,
                            .jedec_maker = c.id[0],
                            .page_size = c.page,
                            .spare_size = static_cast<uint16_t>(c.spare),
                            .pages_per_block = c.block / c.page,
                            .blocks_per_lun = static_cast<uint32_t>(c.blocks),
                            .luns = 1,
                            .address_cycles = c.onfi_cycles};
      options.onfi_path = dir.file("onfi.bin");
      testing::write_file(options.onfi_path, testing::onfi_page(facts));
    }
    testing::SimBench bench("RQ7220", options);
    ASSERT_TRUE(bench.ready());
    const NandOutcome result = bench.read_id();
    const ChipDescriptor& chip = bench.flash().chip;
    EXPECT_EQ(bench.board().violations(), 0u) << bench.violations();
    if (c.page == 0) {
      EXPECT_EQ(result, NandOutcome::kUnsupportedChip);
      EXPECT_NE(bench.output().find("Cannot support this device: "), std::string::npos)
          << bench.output();
      EXPECT_NE(bench.output().find(c.built_in_or_reason), std::string::npos) << bench.output();
      continue;
    }
    ASSERT_EQ(result, NandOutcome::kDone) << bench.output();
    EXPECT_EQ(bench.output(), "");
    EXPECT_EQ(chip.page_size, c.page);
    EXPECT_EQ(chip.spare_size, c.spare);
    EXPECT_EQ(chip.block_size(), c.block);
    EXPECT_EQ(chip.blocks(), c.blocks);
    EXPECT_EQ(chip.bus_width, 8);
    EXPECT_EQ(chip.bits_per_cell, 1);
    const std::string built_in = c.built_in_or_reason;
    EXPECT_EQ(bench.flash().source == ChipSource::kBuiltin, !built_in.empty());
    if (!built_in.empty()) {
      EXPECT_EQ(std::string(chip.name), built_in);
    }
  }
}

}  // namespace
}  // namespace jtagnand
