// Factory bad-block marks and erased pages, on the simulated board: where the
// mark is read on each page size, the erase pass that steps over marked
// blocks, and programming that leaves pages of 0xFF alone.

#include "nand/nand_read.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "onfi_pages.h"
#include "run_program.h"
#include "sim_bench.h"

namespace jtagnand {
namespace {

using testing::SimBench;
using Bytes = std::vector<uint8_t>;

using testing::image_of;
using testing::kStale;

// A spare area with `value` at byte `at`, erased elsewhere.
Bytes spare_with(size_t size, size_t at, uint8_t value) {
  Bytes spare(size, 0xFF);
  spare[at] = value;
  return spare;
}

bool marked(SimBench& bench, uint64_t block) {
  bool is_marked = false;
  nand_chip_select(bench.bus(), '0');
  EXPECT_EQ(nand_block_marked(bench.bus(), block * bench.flash().chip.block_size(), is_marked),
            NandOutcome::kDone);
  nand_chip_select(bench.bus(), '1');
  return is_marked;
}

// One chip of each page size, with where its maker puts the mark.
struct MarkCase {
  std::string name;
  sim::SimOptions options;
  uint32_t marker_byte;
};

std::vector<MarkCase> mark_cases(const std::string& onfi_path) {
  sim::SimOptions small;  // K9F1208U0M: 512-byte pages, 32 pages per block
  small.nand_code = 0x76;
  sim::SimOptions large;  // K9F2G08U0M: 2 KiB pages, 64 pages per block
  large.nand_code = 0xDA;
  sim::SimOptions onfi;  // MT29F8G08ABABA: 4 KiB pages, 128 pages per block
  onfi.id_bytes = {0x2C, 0x38, 0x00, 0x26, 0x85};
  onfi.onfi_path = onfi_path;
  return {{"512-byte pages", small, 5}, {"2 KiB pages", large, 0}, {"4 KiB pages", onfi, 0}};
}

TEST(FactoryMarks, FoundInTheFirstSecondOrLastPageAtTheMakersByte) {
  testing::TempDir dir;
  const std::string onfi = dir.file("onfi.bin");
  testing::write_file(onfi, testing::onfi_page(testing::kMT29F8G08.facts));
  for (const MarkCase& c : mark_cases(onfi)) {
    SCOPED_TRACE(c.name);
    SimBench probe("ZELT", c.options);
    ASSERT_TRUE(probe.ready());
    ASSERT_EQ(probe.read_id(), NandOutcome::kDone) << probe.output();
    const ChipDescriptor chip = probe.flash().chip;
    const uint32_t per_block = chip.pages_per_block;
    EXPECT_EQ(chip.marker.spare_byte, c.marker_byte);

    for (const uint32_t page : {0u, 1u, per_block - 1}) {
      SCOPED_TRACE("page " + std::to_string(page));
      SimBench bench("ZELT", c.options);
      ASSERT_EQ(bench.read_id(), NandOutcome::kDone);
      bench.board().write_spare(5 * per_block + page,
                                spare_with(chip.spare_size, c.marker_byte, 0));
      EXPECT_TRUE(marked(bench, 5));
      EXPECT_FALSE(marked(bench, 4));
      EXPECT_FALSE(marked(bench, 6));
      EXPECT_EQ(bench.board().violations(), 0u) << bench.violations();
    }

    // Bytes beside the marker (ECC, a filesystem's own marks) and pages other
    // than the three do not mark a block.
    SimBench other("ZELT", c.options);
    ASSERT_EQ(other.read_id(), NandOutcome::kDone);
    other.board().write_spare(5 * per_block, spare_with(chip.spare_size, c.marker_byte + 1, 0));
    other.board().write_spare(5 * per_block + 2, spare_with(chip.spare_size, c.marker_byte, 0));
    EXPECT_FALSE(marked(other, 5));
    const auto& commands = other.board().nand_counts().commands;
    // 512-byte pages reach the spare area with 0x50, and point back to the
    // main area with 0x00 after each read: a program after the check puts
    // its data in the main area, where the read-back finds it.
    EXPECT_EQ(commands[0x50], chip.page_size == 512 ? 3u : 0u);
    EXPECT_EQ(commands[0x30], chip.page_size == 512 ? 0u : 3u);
    const Bytes data = image_of(chip.page_size, 9);
    EXPECT_EQ(other.program(uint64_t{5} * chip.block_size(), data), NandOutcome::kDone)
        << other.output();
    EXPECT_EQ(other.board().read_spare(5 * per_block)[c.marker_byte + 1], 0x00);
  }
}

// The erase pass with marks honoured, then the programming pass, checked in
// the flash: which blocks were erased, listed, skipped and written.
struct MarkedRangeCase {
  const char* what;
  uint8_t code;
  uint32_t start_block;
  uint32_t length;
  std::set<uint32_t> marked;
  std::set<uint32_t> bad;  // erase fails
  NandOutcome erase_result = NandOutcome::kDone;
};

void erase_and_program(const MarkedRangeCase& c) {
  SCOPED_TRACE(c.what);
  sim::SimOptions options;
  options.nand_code = c.code;
  options.marked_blocks.assign(c.marked.begin(), c.marked.end());
  options.bad_blocks.assign(c.bad.begin(), c.bad.end());
  SimBench bench("KELDA", options);
  ASSERT_TRUE(bench.ready());
  ASSERT_EQ(bench.read_id(), NandOutcome::kDone);
  const ChipDescriptor& chip = bench.flash().chip;
  const uint32_t block = chip.block_size();
  const uint64_t blocks = chip.blocks();
  // Stale bytes from the block before the start to past every block the run
  // may reach, so that an erase that should not have happened shows.
  const Bytes stale(block, kStale);
  for (uint64_t b = c.start_block - 1; b < std::min<uint64_t>(blocks, c.start_block + 8); ++b)
    bench.board().write_flash(b * block, stale);

  // Where the image goes: the good blocks from the start on.
  std::vector<uint64_t> used;
  std::vector<uint64_t> listed;
  for (uint64_t b = c.start_block, need = (c.length + block - 1) / block; need > 0 && b < blocks;
       ++b) {
    if (c.marked.count(static_cast<uint32_t>(b)) != 0 ||
        c.bad.count(static_cast<uint32_t>(b)) != 0) {
      listed.push_back(b * block);
    } else {
      used.push_back(b * block);
      --need;
    }
  }

  ASSERT_EQ(bench.erase(uint64_t{c.start_block} * block, c.length, true), c.erase_result)
      << bench.output();
  const std::vector<uint64_t> recorded(
      bench.bad_blocks().offsets.begin(),
      bench.bad_blocks().offsets.begin() + bench.bad_blocks().count);
  EXPECT_EQ(recorded, listed);
  for (const uint32_t b : c.marked) {
    const uint64_t at = uint64_t{b} * block;
    // Never erased: the data and the mark are as the factory left them.
    EXPECT_EQ(bench.board().read_flash(at, block), stale) << "block " << b;
    EXPECT_EQ(bench.board().read_spare(uint64_t{b} * chip.pages_per_block)[chip.marker.spare_byte],
              0x00)
        << "block " << b;
    char line[80];
    std::snprintf(line, sizeof line, "\nFactory-marked bad block at 0x%llx, skipped\n",
                  static_cast<unsigned long long>(at));
    const bool in_range = std::find(listed.begin(), listed.end(), at) != listed.end();
    EXPECT_EQ(bench.output().find(line) != std::string::npos, in_range) << bench.output();
  }
  EXPECT_EQ(bench.board().nand_counts().erases, used.size() + c.bad.size());
  EXPECT_EQ(bench.board().violations(), 0u) << bench.violations();
  if (c.erase_result != NandOutcome::kDone) return;

  const Bytes image = image_of(c.length, 9);
  ASSERT_EQ(bench.program(uint64_t{c.start_block} * block, image), NandOutcome::kDone)
      << bench.output();
  for (size_t i = 0; i < used.size(); ++i) {
    const size_t n = std::min<size_t>(block, c.length - i * block);
    EXPECT_EQ(bench.board().read_flash(used[i], n),
              Bytes(image.begin() + static_cast<long>(i * block),
                    image.begin() + static_cast<long>(i * block + n)))
        << "block at " << used[i];
  }
  for (const uint64_t at : listed) EXPECT_EQ(bench.board().read_flash(at, block), stale);
  EXPECT_EQ(bench.board().violations(), 0u) << bench.violations();
}

TEST(FactoryMarks, MarkedBlocksAreNeitherErasedNorProgrammed) {
  // 8 KiB blocks, and 128 KiB blocks of 2 KiB pages.
  const MarkedRangeCase cases[] = {
      {"first block of the range", 0xE6, 4, 17000, {4}, {}},
      {"inside the range", 0xE6, 4, 17000, {5}, {}},
      {"the last block the image needs", 0xE6, 4, 17000, {6}, {}},
      {"a marked and a failing block side by side", 0xE6, 2, 9000, {3}, {4}},
      {"2 KiB pages, marked and failing blocks first", 0xF1, 2, 5000, {2}, {3}},
      {"before the range: not looked at", 0xE6, 4, 9000, {3}, {}},
      {"near the chip's end: no room left",
       0xE6,
       1021,
       16484,
       {1022},
       {},
       NandOutcome::kPastChipEnd},
  };
  for (const auto& c : cases) erase_and_program(c);
}

TEST(FactoryMarks, AHundredMarkedBlocksFillTheBadBlockList) {
  sim::SimOptions options;
  options.nand_code = 0xE6;
  for (uint32_t b = 0; b < 101; ++b) options.marked_blocks.push_back(b);
  SimBench bench("RQ7220", options);
  ASSERT_EQ(bench.read_id(), NandOutcome::kDone);
  EXPECT_EQ(bench.erase(0, 8192, true), NandOutcome::kBadBlockListFull);
  EXPECT_EQ(bench.bad_blocks().count, 100);
  EXPECT_NE(bench.output().find("\nMore than 100 bad blocks: erase stopped\n"), std::string::npos);
  EXPECT_EQ(bench.board().nand_counts().erases, 0u);
}

TEST(ErasedPages, AreReadBackButNotProgrammed) {
  for (const uint8_t code : {uint8_t{0x75}, uint8_t{0xF1}}) {
    sim::SimOptions options;
    options.nand_code = code;
    SimBench bench("TOMUX", options);
    ASSERT_EQ(bench.read_id(), NandOutcome::kDone);
    const uint32_t page = bench.flash().chip.page_size;
    // Ten pages and a short eleventh; pages 2, 3 and 7 and the short one are
    // all 0xFF, page 5 all 0xFF but one byte.
    Bytes image = image_of(10 * page + 100, 9);
    for (const uint32_t p : {2u, 3u, 7u, 10u})
      std::fill_n(image.begin() + p * page, std::min<size_t>(page, image.size() - p * page), 0xFF);
    std::fill_n(image.begin() + 5 * page, page - 1, 0xFF);
    ASSERT_EQ(bench.erase(0, image.size()), NandOutcome::kDone);
    ProgramReport report;
    ASSERT_EQ(nand_program_image(bench.bus(), bench.bad_blocks(), bench.observer(), 0, image.data(),
                                 image.size(), ProgramOptions{.skip_erased_pages = true}, &report),
              NandOutcome::kDone)
        << bench.output();
    EXPECT_EQ(report.skipped_pages, 4u);
    const auto& counts = bench.board().nand_counts();
    EXPECT_EQ(counts.programs, 7u);
    EXPECT_EQ(counts.reads, 11u);  // every page read back
    EXPECT_EQ(bench.board().read_flash(0, image.size()), image);
    EXPECT_EQ(bench.board().violations(), 0u) << bench.violations();
  }
}

}  // namespace
}  // namespace jtagnand
