#include "nand/nand_program.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "run_program.h"
#include "sim_bench.h"

namespace jtagnand {
namespace {

using testing::SimBench;
using Bytes = std::vector<uint8_t>;

using testing::image_of;
using testing::kStale;

std::string progress(uint32_t written, uint32_t length, uint32_t position) {
  char line[80];
  std::snprintf(line, sizeof line, "Write: %6u / %u [Byte] at 0x%08X\r", written, length, position);
  return line;
}

sim::SimOptions chip(uint8_t code, std::vector<uint32_t> bad = {}) {
  sim::SimOptions options;
  options.nand_code = code;
  options.bad_blocks = std::move(bad);
  return options;
}

// Fills blocks [first, last) with stale bytes, so that an erase that did not
// happen shows in the read-back.
void make_stale(SimBench& bench, uint32_t first, uint32_t last) {
  const uint32_t block = bench.flash().chip.block_size();
  const Bytes stale(block, kStale);
  for (uint32_t b = first; b < last; ++b) bench.board().write_flash(uint64_t{b} * block, stale);
}

// ---------------------------------------------------------------------------
// Erase, program and verify on clean and bad blocks, checked in the flash.

struct WriteCase {
  const char* cpu;
  uint8_t code;
  uint32_t start_block;
  uint32_t length;
  std::vector<uint32_t> bad;
};

void write_and_check(const WriteCase& c) {
  SimBench bench(c.cpu, chip(c.code, c.bad));
  ASSERT_TRUE(bench.ready());
  ASSERT_EQ(bench.read_id(), NandOutcome::kDone);
  const uint32_t page = bench.flash().chip.page_size;
  const uint32_t block = bench.flash().chip.block_size();
  const uint32_t offset = c.start_block * block;
  const std::set<uint32_t> bad(c.bad.begin(), c.bad.end());
  make_stale(bench, c.start_block == 0 ? 0 : c.start_block - 1,
             c.start_block + c.length / block + 2 + static_cast<uint32_t>(c.bad.size()));

  // Where each page of the image belongs: good blocks from the start on.
  std::vector<uint32_t> places;
  uint32_t position = offset;
  for (uint32_t done = 0; done < c.length; done += page) {
    while (position % block == 0 && bad.count(position / block) != 0) position += block;
    places.push_back(position);
    position += page;
  }
  const uint32_t end =
      places.back() + (c.length - (static_cast<uint32_t>(places.size()) - 1) * page);
  const uint32_t blocks_used = (places.back() / block) - c.start_block + 1;

  ASSERT_EQ(bench.erase(offset, c.length), NandOutcome::kDone) << bench.output();
  EXPECT_EQ(bench.board().nand_counts().erases, blocks_used);
  std::vector<uint32_t> recorded(bench.bad_blocks().offsets.begin(),
                                 bench.bad_blocks().offsets.begin() + bench.bad_blocks().count);
  std::vector<uint32_t> expected_bad;
  for (const uint32_t b : bad) {
    if (b >= c.start_block && b < c.start_block + blocks_used) expected_bad.push_back(b * block);
  }
  EXPECT_EQ(recorded, expected_bad);

  const Bytes image = image_of(c.length, 7);
  bench.console().clear_output();
  ASSERT_EQ(bench.program(offset, image), NandOutcome::kDone) << bench.output();

  for (size_t i = 0; i < places.size(); ++i) {
    const size_t n = std::min<size_t>(page, c.length - i * page);
    const Bytes expected(image.begin() + static_cast<long>(i * page),
                         image.begin() + static_cast<long>(i * page + n));
    EXPECT_EQ(bench.board().read_flash(places[i], n), expected) << "page " << i;
  }
  // The rest of the last block is erased, the bad blocks and the block
  // before the start keep what they held.
  const uint32_t last_block_end = (places.back() / block + 1) * block;
  EXPECT_EQ(bench.board().read_flash(end, last_block_end - end), Bytes(last_block_end - end, 0xFF));
  for (const uint32_t b : expected_bad) {
    EXPECT_EQ(bench.board().read_flash(b, block), Bytes(block, kStale))
        << "bad block " << b / block;
  }
  if (c.start_block > 0) {
    EXPECT_EQ(bench.board().read_flash(offset - block, block), Bytes(block, kStale));
  }

  const auto& counts = bench.board().nand_counts();
  EXPECT_EQ(counts.programs, places.size());
  EXPECT_EQ(counts.reads, places.size());
  // 2 KiB-page chips need the read confirm; 512-byte-page chips must not get it.
  EXPECT_EQ(counts.commands[kNandCmdReadConfirm], page == 2048 ? places.size() : 0u);

  const std::string& out = bench.output();
  EXPECT_EQ(out.rfind(progress(0, c.length, offset), 0), 0u) << out;
  const std::string last = progress(c.length, c.length, end);
  EXPECT_EQ(out.substr(out.size() - std::min(out.size(), last.size())), last) << out;
  size_t skips = 0;
  for (size_t at = out.find("\nSkip bad block at 0x"); at != std::string::npos;
       at = out.find("\nSkip bad block at 0x", at + 1))
    ++skips;
  EXPECT_EQ(skips, expected_bad.size());
  EXPECT_EQ(bench.board().violations(), 0u) << bench.violations();
  EXPECT_TRUE(bench.board().net(sim::Net::kNce)) << "chip left selected";
}

TEST(NandWrite, ImagesOfEveryShapeOnSmallAndLargePages) {
  const std::vector<WriteCase> cases = {
      {"ZELT", 0x76, 2, 100, {}},             // shorter than a page
      {"ZELT", 0x76, 2, 3 * 512, {}},         // exactly n pages
      {"RQ7220", 0x75, 1, 3 * 512 + 5, {}},   // n pages and a few bytes
      {"KELDA", 0xDA, 1, 1000, {}},           // large page, short
      {"TOMUX", 0xF1, 0, 2 * 2048, {}},       // large page, exact
      {"RQ7220", 0xD3, 2, 2 * 2048 + 7, {}},  // large page, and a few bytes
      {"ZELT", 0xDC, 3, 2048 + 3, {}},
      {"ZELT", 0x73, 3, 2 * 512 + 1, {}},  // the two chips with their own layouts
      {"KELDA", 0xE6, 3, 2 * 512 + 1, {}},
  };
  for (const WriteCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.cpu << " 0x" << std::hex << int{c.code} << std::dec
                                      << " length " << c.length);
    write_and_check(c);
  }
}

TEST(NandWrite, StepsOverBadBlocks) {
  const std::vector<WriteCase> cases = {
      {"ZELT", 0xE6, 2, 8192 + 100, {3}},     // one bad block inside the range
      {"ZELT", 0xE6, 2, 8192 + 100, {3, 4}},  // two adjacent ones
      {"ZELT", 0xE6, 2, 600, {2}},            // the first block of the range
      {"RQ7220", 0xF1, 1, 3 * 2048, {1, 2}},  // large pages, both at the start
  };
  for (const WriteCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.cpu << " 0x" << std::hex << int{c.code} << std::dec
                                      << " bad " << c.bad.front() << " of " << c.bad.size());
    write_and_check(c);
  }
}

// 40 KiB from block 2 of a 16 KiB-block chip whose block 3 is bad: blocks 2 to
// 5 erased, block 3 reported and skipped, the image split around it.
TEST(NandWrite, FortyKilobytesAroundABadBlock) {
  SimBench bench("ZELT", chip(0x76, {3}));
  ASSERT_EQ(bench.read_id(), NandOutcome::kDone);
  make_stale(bench, 1, 7);
  ASSERT_EQ(bench.erase(0x8000, 40 * 1024), NandOutcome::kDone);
  EXPECT_EQ(bench.output(),
            "Erasing block ....\n [   2] [   3]\nError erasing at 0xc000, Maybe BAD BLOCK ....\n"
            " [   4] [   5]\n");
  ASSERT_EQ(bench.bad_blocks().count, 1);
  EXPECT_EQ(bench.bad_blocks().offsets[0], 0xC000u);

  const Bytes image = image_of(40 * 1024, 7);
  bench.console().clear_output();
  ASSERT_EQ(bench.program(0x8000, image), NandOutcome::kDone);
  EXPECT_NE(bench.output().find("\nSkip bad block at 0xc000\n"), std::string::npos);
  EXPECT_NE(bench.output().find(progress(40 * 1024, 40 * 1024, 0x16000)), std::string::npos);
  EXPECT_EQ(bench.board().read_flash(0x8000, 0x4000), Bytes(image.begin(), image.begin() + 0x4000));
  EXPECT_EQ(bench.board().read_flash(0x10000, 0x6000), Bytes(image.begin() + 0x4000, image.end()));
  EXPECT_EQ(bench.board().read_flash(0xC000, 0x4000), Bytes(0x4000, kStale));
  EXPECT_EQ(bench.board().violations(), 0u) << bench.violations();
}

// ---------------------------------------------------------------------------
// Erase pass details

TEST(NandErase, LengthsAndTheBlockNumberLines) {
  struct Case {
    uint32_t length;
    uint64_t erases;
    const char* numbers;
  };
  const Case cases[] = {
      {0, 0, ""},
      {1, 1, "\n [   4]"},
      {8192 + 1, 2, "\n [   4] [   5]"},
      {11 * 8192, 11,
       "\n [   4] [   5] [   6] [   7] [   8] [   9] [  10] [  11] [  12] [  13]\n [  14]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    SimBench bench("ZELT", chip(0xE6));
    ASSERT_EQ(bench.read_id(), NandOutcome::kDone);
    ASSERT_EQ(bench.erase(4 * 8192, c.length), NandOutcome::kDone);
    EXPECT_EQ(bench.output(), std::string("Erasing block ....") + c.numbers + "\n");
    EXPECT_EQ(bench.board().nand_counts().erases, c.erases);
    EXPECT_EQ(bench.board().nand_counts().commands[kNandCmdReset], 1u);
    EXPECT_EQ(bench.bad_blocks().count, 0);
    EXPECT_EQ(bench.board().violations(), 0u) << bench.violations();
    EXPECT_TRUE(bench.board().net(sim::Net::kNce));
  }
}

// The whole chip: every block erased once, bad ones recorded, the end of the
// chip ends the pass without complaint.
TEST(NandErase, WholeChipThenImageAboveABadBlock) {
  SimBench bench("ZELT", chip(0xE6, {5, 1023}));
  ASSERT_EQ(bench.read_id(), NandOutcome::kDone);
  ASSERT_EQ(bench.erase(0, bench.flash().chip.total_size()), NandOutcome::kDone) << bench.output();
  EXPECT_EQ(bench.board().nand_counts().erases, 1024u);
  ASSERT_EQ(bench.bad_blocks().count, 2);
  EXPECT_EQ(bench.bad_blocks().offsets[0], 5u * 8192);
  EXPECT_EQ(bench.bad_blocks().offsets[1], 1023u * 8192);

  // A bad block below the start pushes the image one block up.
  const Bytes image = image_of(600, 7);
  bench.console().clear_output();
  ASSERT_EQ(bench.program(7 * 8192, image), NandOutcome::kDone);
  EXPECT_EQ(bench.output().rfind(progress(0, 600, 8 * 8192), 0), 0u);
  EXPECT_EQ(bench.board().read_flash(8 * 8192, 600), image);
  EXPECT_EQ(bench.board().violations(), 0u) << bench.violations();
}

TEST(NandErase, StopsAtTheHundredAndFirstBadBlock) {
  std::vector<uint32_t> bad;
  for (uint32_t b = 1; b <= 101; ++b) bad.push_back(b);
  SimBench bench("ZELT", chip(0xE6, bad));
  ASSERT_EQ(bench.read_id(), NandOutcome::kDone);
  EXPECT_EQ(bench.erase(0, 2 * 8192), NandOutcome::kBadBlockListFull);
  EXPECT_EQ(bench.bad_blocks().count, kBadBlockCapacity);
  EXPECT_EQ(bench.bad_blocks().offsets[99], 100u * 8192);
  EXPECT_EQ(bench.board().nand_counts().erases, 102u);
  const std::string& out = bench.output();
  EXPECT_NE(out.find("Error erasing at 0xca000, Maybe BAD BLOCK ....\n"), std::string::npos);
  EXPECT_NE(out.find("\nMore than 100 bad blocks: erase stopped\n"), std::string::npos);
  EXPECT_TRUE(bench.board().net(sim::Net::kNce));
}

// ---------------------------------------------------------------------------
// The end of the chip is never passed

TEST(NandEndOfChip, BadBlocksPushingTheImageOffTheChipStopBothPasses) {
  // Two blocks wanted from block 1021 of 1024; 1021 and 1022 are bad.
  SimBench bench("ZELT", chip(0xE6, {1021, 1022}));
  ASSERT_EQ(bench.read_id(), NandOutcome::kDone);
  const uint32_t offset = 1021 * 8192;
  EXPECT_EQ(bench.erase(offset, 2 * 8192), NandOutcome::kPastChipEnd);
  EXPECT_EQ(bench.board().nand_counts().erases, 3u);
  EXPECT_NE(bench.output().find(" [1023]\nNot enough good blocks before the end of the chip: "
                                "erase stopped\n\n"),
            std::string::npos)
      << bench.output();
  ASSERT_EQ(bench.bad_blocks().count, 2);

  // With that list the image cannot fit: nothing is programmed at all.
  bench.console().clear_output();
  EXPECT_EQ(bench.program(offset, image_of(2 * 8192, 7)), NandOutcome::kPastChipEnd);
  EXPECT_EQ(bench.board().nand_counts().programs, 0u);
  EXPECT_EQ(bench.output(),
            "\nNot enough good blocks before the end of the chip: nothing written\n");
  EXPECT_EQ(bench.board().violations(), 0u) << bench.violations();
}

// A range asked to run to the chip's end (the whole chip, or an image that
// ends exactly there) is finished when the last block is erased; if bad blocks
// leave too little room, the programming pass refuses before writing a page.
TEST(NandEndOfChip, RangeEndingAtTheChipsEndWithABadBlock) {
  SimBench bench("ZELT", chip(0xE6, {1022}));
  ASSERT_EQ(bench.read_id(), NandOutcome::kDone);
  const uint32_t offset = 1022 * 8192;
  EXPECT_EQ(bench.erase(offset, 2 * 8192), NandOutcome::kDone);
  EXPECT_EQ(bench.board().nand_counts().erases, 2u);
  EXPECT_EQ(bench.program(offset, image_of(2 * 8192, 7)), NandOutcome::kPastChipEnd);
  EXPECT_EQ(bench.board().nand_counts().programs, 0u);
}

TEST(NandEndOfChip, AnImageThatJustFitsAfterItsBadBlockIsWritten) {
  // One bad block inside the range, and exactly one spare block after it.
  SimBench bench("ZELT", chip(0xE6, {1021}));
  ASSERT_EQ(bench.read_id(), NandOutcome::kDone);
  const uint32_t offset = 1021 * 8192;
  const Bytes image = image_of(2 * 8192, 7);
  EXPECT_EQ(bench.erase(offset, 2 * 8192), NandOutcome::kDone);
  EXPECT_EQ(bench.program(offset, image), NandOutcome::kDone);
  EXPECT_EQ(bench.board().read_flash(1022 * 8192, 2 * 8192), image);
}

TEST(NandEndOfChip, StartAtTheEndAddressesNothing) {
  SimBench bench("ZELT", chip(0xE6));
  ASSERT_EQ(bench.read_id(), NandOutcome::kDone);
  const auto end = static_cast<uint32_t>(bench.flash().chip.total_size());
  EXPECT_EQ(bench.erase(end, 1), NandOutcome::kPastChipEnd);
  EXPECT_EQ(bench.program(end, image_of(10, 7)), NandOutcome::kPastChipEnd);
  EXPECT_EQ(bench.board().nand_counts().erases, 0u);
  EXPECT_EQ(bench.board().nand_counts().programs, 0u);
  EXPECT_EQ(bench.board().nand_counts().address_bytes, 1u);  // Read ID's only
}

// ---------------------------------------------------------------------------
// Failures reported by the chip

TEST(NandFailures, ProgramStatusFailure) {
  sim::SimOptions options = chip(0x76);
  options.progfail_pages = {33};  // the second page of block 1
  SimBench bench("RQ7220", options);
  ASSERT_EQ(bench.read_id(), NandOutcome::kDone);
  ASSERT_EQ(bench.erase(0x4000, 4 * 512), NandOutcome::kDone);
  bench.console().clear_output();
  EXPECT_EQ(bench.program(0x4000, image_of(4 * 512, 7)), NandOutcome::kProgramFailed);
  const std::string& out = bench.output();
  const std::string message = "\nError, Programming, Status ERROR !!, ADDR: 0x4200\n";
  ASSERT_GE(out.size(), message.size());
  EXPECT_EQ(out.substr(out.size() - message.size()), message) << "no progress after the failure";
  EXPECT_EQ(bench.board().nand_counts().programs, 2u);
  EXPECT_EQ(bench.bad_blocks().count, 0) << "a failed page does not make a bad block";
  EXPECT_EQ(bench.board().violations(), 0u) << bench.violations();
}

TEST(NandFailures, ReadBackMismatchInByteFiveOfAPage) {
  for (const uint8_t code : {uint8_t{0x76}, uint8_t{0xF1}}) {
    SCOPED_TRACE(int{code});
    sim::SimOptions options = chip(code);
    SimBench probe("KELDA", options);
    ASSERT_EQ(probe.read_id(), NandOutcome::kDone);
    const uint32_t page = probe.flash().chip.page_size;
    const uint32_t offset = probe.flash().chip.block_size();
    options.flips = {{.where = offset + page + 5}};
    SimBench bench("KELDA", options);
    ASSERT_EQ(bench.read_id(), NandOutcome::kDone);
    ASSERT_EQ(bench.erase(offset, 3 * page), NandOutcome::kDone);
    const Bytes image = image_of(3 * page, 7);
    bench.console().clear_output();
    EXPECT_EQ(bench.program(offset, image), NandOutcome::kCompareError);
    char expected[160];
    std::snprintf(expected, sizeof expected,
                  "\n\nCompare ERROR: flash addr: 0x%x\n                 RD: 0x%X, WR: 0x%X\n",
                  offset + page + 5, image[page + 5] ^ 1u, image[page + 5]);
    const std::string& out = bench.output();
    ASSERT_GE(out.size(), std::strlen(expected));
    EXPECT_EQ(out.substr(out.size() - std::strlen(expected)), expected);
    EXPECT_EQ(bench.board().nand_counts().programs, 2u);
    EXPECT_EQ(bench.board().violations(), 0u) << bench.violations();
  }
}

TEST(NandFailures, ReadyLineThatNeverRises) {
  struct Case {
    sim::NandOp op;
    NandOutcome erase_result;
    NandOutcome program_result;
    const char* message;
  };
  constexpr auto kDone = NandOutcome::kDone;
  const Case cases[] = {
      {sim::NandOp::kReset, NandOutcome::kResetNotReady, kDone,
       "\nNAND ERASE, reset command, NAND WAIT BUSY, ERROR\n"},
      {sim::NandOp::kErase, NandOutcome::kEraseNotReady, kDone,
       "\nNAND ERASE, NAND WAIT BUSY, ERROR\n\n"},
      {sim::NandOp::kProgram, kDone, NandOutcome::kProgramNotReady,
       "\nNAND WRITE, NAND WAIT BUSY, ERROR\n"},
      {sim::NandOp::kRead, kDone, NandOutcome::kReadNotReady,
       "\nNAND READ, NAND WAIT BUSY, ERROR\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.op));
    sim::SimOptions options = chip(0x76);
    options.hang[static_cast<size_t>(c.op)] = true;
    SimBench bench("ZELT", options);
    ASSERT_EQ(bench.read_id(), NandOutcome::kDone);
    const NandOutcome erased = bench.erase(0x4000, 1024);
    EXPECT_EQ(erased, c.erase_result);
    if (c.op == sim::NandOp::kReset) {
      EXPECT_EQ(bench.output(), c.message) << "nothing else printed, no block touched";
      EXPECT_EQ(bench.board().nand_counts().erases, 0u);
    }
    if (erased == kDone) {
      bench.console().clear_output();
      EXPECT_EQ(bench.program(0x4000, image_of(1024, 7)), c.program_result);
      EXPECT_EQ(bench.board().nand_counts().programs, 1u);
    }
    const std::string& out = bench.output();
    ASSERT_GE(out.size(), std::strlen(c.message));
    EXPECT_EQ(out.substr(out.size() - std::strlen(c.message)), c.message);
    EXPECT_TRUE(bench.board().net(sim::Net::kNce)) << "chip left selected";
  }
}

// ---------------------------------------------------------------------------
// ESC

TEST(NandEscape, StopsTheErasePassAfterTheCurrentBlock) {
  // Another key is taken and ignored; ESC at the next poll stops the pass.
  SimBench bench("ZELT", chip(0xE6), "x\x1b");
  ASSERT_EQ(bench.read_id(), NandOutcome::kDone);
  EXPECT_EQ(bench.erase(0, 6 * 8192), NandOutcome::kStoppedByUser);
  EXPECT_EQ(bench.board().nand_counts().erases, 2u);
  EXPECT_EQ(bench.output(),
            "Erasing block ....\n [   0] [   1]\nStopped by ESC: erase not finished\n\n");
  EXPECT_TRUE(bench.board().net(sim::Net::kNce));
  EXPECT_EQ(bench.board().violations(), 0u) << bench.violations();
}

TEST(NandEscape, StopsProgrammingAfterTheCurrentPage) {
  SimBench bench("ZELT", chip(0x76));
  ASSERT_EQ(bench.read_id(), NandOutcome::kDone);
  ASSERT_EQ(bench.erase(0, 4 * 512), NandOutcome::kDone);
  bench.console().clear_output();
  bench.console().add_keys("\x1b");
  EXPECT_EQ(bench.program(0, image_of(4 * 512, 7)), NandOutcome::kStoppedByUser);
  EXPECT_EQ(bench.board().nand_counts().programs, 1u);
  EXPECT_EQ(bench.output(), progress(0, 2048, 0) + progress(512, 2048, 512) +
                                "\nStopped by ESC: write not finished\n");
  EXPECT_TRUE(bench.board().net(sim::Net::kNce));
  EXPECT_EQ(bench.board().violations(), 0u) << bench.violations();
}

}  // namespace
}  // namespace jtagnand
