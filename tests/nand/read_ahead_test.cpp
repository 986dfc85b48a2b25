// The passes on a cable that queues its TDO samples (the ftdi cable on the
// virtual FT2232H, in-process), where each page's read-back bytes travel in
// the round trip that starts the next page's program or read, against the
// same passes on the parallel port (one poll per round trip) as the oracle:
// the same console text, flash and dump, no bus-protocol violation, and the
// round trips of every page counted.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "cables/ftdi_cable.h"
#include "cables/lpt_cable.h"
#include "driver/console_observer.h"
#include "jtag/tap.h"
#include "nand/nand_identify.h"
#include "nand/nand_program.h"
#include "nand/nand_read.h"
#include "onfi_pages.h"
#include "scripted_console.h"
#include "sim/ftdi/virtual_ftdi.h"
#include "sim/sim_board.h"
#include "test_files.h"

namespace jtagnand {
namespace {

using Bytes = std::vector<uint8_t>;

// The console observer, with the cable's round trips counted between one
// progress report and the next: what each page cost.
class CountingObserver final : public PassObserver {
 public:
  CountingObserver(Console& console, const FtdiCable* cable) : inner_(console), cable_(cable) {}

  void progress(PassKind pass, uint64_t done, uint64_t total, uint64_t position) override {
    const uint64_t now = cable_ != nullptr ? cable_->traffic().round_trips : 0;
    if (done != 0) per_page_.push_back(now - mark_);
    mark_ = now;
    inner_.progress(pass, done, total, position);
  }
  void erase_started() override { inner_.erase_started(); }
  void erasing_block(uint64_t met, uint64_t block) override { inner_.erasing_block(met, block); }
  void noted(PassNote note, uint64_t offset) override { inner_.noted(note, offset); }
  void compare_error(uint64_t address, uint8_t read, uint8_t written) override {
    inner_.compare_error(address, read, written);
  }
  void spare_compare_error(uint64_t page, uint32_t index, uint8_t read, uint8_t written) override {
    inner_.spare_compare_error(page, index, read, written);
  }
  [[nodiscard]] bool stop_requested() override { return inner_.stop_requested(); }

  // The round trips of each page of the last pass, and a new count.
  std::vector<uint64_t> take() { return std::exchange(per_page_, {}); }

 private:
  ConsoleObserver inner_;
  const FtdiCable* cable_;
  uint64_t mark_ = 0;
  std::vector<uint64_t> per_page_;
};

struct Case {
  const char* name;
  const char* cpu;
  std::string board;  // the sim: options
  uint32_t image_pages;
  std::vector<uint32_t> erased_pages;  // pages of the image left all 0xFF
  EccScheme ecc = EccScheme::kNone;
  std::string keys;  // ESC stops the pass that reads it
};

// What one run of the passes left: the console text, the flash, the dump, and
// on the queued cable the round trips of each page of the programming pass and
// of the dump.
struct Outcome {
  std::string text;
  Bytes flash;
  Bytes dumped;
  uint64_t violations = 0;
  std::vector<uint64_t> program_trips;
  std::vector<uint64_t> dump_trips;
  uint32_t page_size = 0;
  uint32_t pages_per_block = 0;
};

// Erase and program with the marks honoured and erased pages left alone, then
// verify and dump the range with the marks honoured, from block 1.
Outcome passes(const Case& c, bool queued) {
  Outcome run;
  sim::SimOptions options;
  std::string error;
  EXPECT_TRUE(sim::parse_sim_options(c.board, c.cpu, options, error)) << error;
  std::unique_ptr<sim::SimPort> port;
  std::unique_ptr<sim::VirtualFtdi> chip;
  std::unique_ptr<Cable> cable;
  FtdiCable* ftdi = nullptr;
  if (queued) {
    chip = sim::VirtualFtdi::create({.board = options}, error);
    auto owned = std::make_unique<FtdiCable>(std::make_unique<sim::VirtualFtdiTransport>(*chip, 0),
                                             FtdiChip::kFt2232h, FtdiSettings{}, "virtual");
    EXPECT_TRUE(owned->start(error)) << error;
    ftdi = owned.get();
    cable = std::move(owned);
  } else {
    port = sim::make_sim_port(options, error);
    cable = std::make_unique<LptCable>(port.get(), port->base());
  }
  sim::SimBoard& board = queued ? chip->board() : port->board();
  testing::ScriptedConsole console(c.keys);
  CountingObserver observer(console, ftdi);
  ActiveProfile active;
  EXPECT_EQ(select_cpu_profile(active, c.cpu), 0);
  NandBus bus{*cable, active};
  tap_reset(*cable);
  scan_ir(*cable, Chain{}, kInstructionLength, kInstructionCodes.extest.data());
  nand_chip_select(bus, '1');
  EXPECT_EQ(nand_identify(bus).outcome, NandOutcome::kDone);

  const ChipDescriptor& flash = bus.flash.chip;
  run.page_size = flash.page_size;
  run.pages_per_block = flash.pages_per_block;
  std::unique_ptr<EccCodec> codec;
  if (c.ecc != EccScheme::kNone)
    codec = std::make_unique<EccCodec>(c.ecc, flash.page_size, flash.spare_size);
  const PageFormat format{.ecc = codec.get()};
  const uint64_t offset = flash.block_size();
  const uint64_t length = uint64_t{c.image_pages} * flash.page_size - 100;
  const auto pattern = testing::test_pattern(length, 3);
  Bytes image(pattern.begin(), pattern.end());
  for (const uint32_t page : c.erased_pages) {
    std::fill_n(image.begin() + page * flash.page_size, flash.page_size, 0xFF);
  }

  BadBlockList bad;
  NandOutcome outcome = nand_erase_range(bus, bad, observer, offset, length, true);
  print_erase_end(console, outcome);
  observer.take();
  if (outcome == NandOutcome::kDone) {
    ProgramReport report;
    outcome = nand_program_image(bus, bad, observer, offset, image.data(), length,
                                 {.skip_erased_pages = true, .format = format}, &report);
    print_pass_end(console, PassKind::kWrite, outcome);
    run.program_trips = observer.take();
  }
  if (outcome == NandOutcome::kDone) {
    uint64_t differing = 0;
    outcome =
        nand_compare_image(bus, observer, offset, image.data(), length, true, differing, format);
    print_pass_end(console, PassKind::kVerify, outcome);
    observer.take();
  }
  if (outcome == NandOutcome::kDone) {
    const ReadPass pass{.honour_markers = true, .format = format};
    const PageSink into = [&](uint64_t, uint64_t, std::span<const uint8_t> bytes) {
      run.dumped.insert(run.dumped.end(), bytes.begin(), bytes.end());
      return NandOutcome::kDone;
    };
    uint64_t done = 0;
    outcome = nand_read_range(bus, observer, offset, length, pass, into, done);
    print_pass_end(console, PassKind::kRead, outcome);
    run.dump_trips = observer.take();
    if (outcome == NandOutcome::kDone) {
      EXPECT_EQ(run.dumped, image);
    }
  }
  cable->flush();
  run.text = console.output();
  run.flash = board.read_flash(0, 8 * flash.block_size());
  run.violations = board.violations();
  return run;
}

TEST(ReadAhead, EveryPassGivesTheParallelPortsResultsInAboutOneRoundTripPerPageRead) {
  testing::TempDir dir;
  testing::write_file(dir.file("onfi.bin"), testing::onfi_page(testing::kW29N01HZ.facts));
  const Case cases[] = {
      // Block 2 carries a mark, block 3 fails its erase (and gets one): the
      // image steps over both. Pages 5 and 6 are left erased, read back only.
      // The keys: one after each block of the erase (4) and each page but the
      // last of the programming and the verify (39 each); ESC then stops the
      // dump after its page 34, in the block after the marked ones.
      {"small pages, marked and bad blocks, erased pages",
       "ZELT",
       "nand=0x76,marked=2,bad=3",
       40,
       {5, 6},
       EccScheme::kNone,
       std::string(4 + 39 + 39 + 34, 'a') + "\x1b"},
      {"every page over a busy chip: polls beyond the first round trip",
       "KELDA",
       "nand=0x73,busy=70",
       6,
       {},
       EccScheme::kNone,
       ""},
      {"ONFI chip, ECC in the spare area",
       "RQ7220",
       "id=" + testing::kW29N01HZ.id + ",onfi=" + dir.file("onfi.bin"),
       5,
       {},
       EccScheme::kHamming,
       ""},
      // ESC as the fifth key: the erase of its one block reads the first, the
      // programming the others, one before each page's read-back bytes.
      {"ESC during programming", "TOMUX", "nand=0xDA", 6, {}, EccScheme::kNone, "abcd\x1b"},
      // Page 2 reads back a flipped bit: the compare error is at that page.
      {"compare error",
       "RQ7220",
       "nand=0x76,flip=" + std::to_string(16384 + 2 * 512 + 7),
       6,
       {},
       EccScheme::kNone,
       ""},
      // A read never ready: the first read-back times out, with the same text.
      {"read time-out", "ZELT", "nand=0x76,hang=read", 3, {}, EccScheme::kNone, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome classic = passes(c, false);
    const Outcome queued = passes(c, true);
    EXPECT_EQ(queued.text, classic.text);
    EXPECT_EQ(queued.violations, 0u);
    EXPECT_EQ(classic.violations, 0u);
    EXPECT_EQ(queued.dumped, classic.dumped);
    const std::string name = c.name;
    if (name != "compare error") {
      EXPECT_TRUE(queued.flash == classic.flash);
    } else {
      // The page after the one that failed went out with its read-back bytes:
      // it is programmed too; the rest is as the parallel port left it.
      const size_t next = 16384 + 3 * 512;
      EXPECT_TRUE(
          std::equal(queued.flash.begin(), queued.flash.begin() + next, classic.flash.begin()));
      EXPECT_TRUE(std::equal(queued.flash.begin() + next + 512, queued.flash.end(),
                             classic.flash.begin() + next + 512));
      EXPECT_EQ(Bytes(classic.flash.begin() + next, classic.flash.begin() + next + 512),
                Bytes(512, 0xFF));
    }
    if (name == "ESC during programming") {
      EXPECT_NE(classic.text.find("Stopped by ESC"), std::string::npos) << classic.text;
    }
    if (name.starts_with("small pages")) {
      EXPECT_NE(classic.text.find("Stopped by ESC: read not finished"), std::string::npos)
          << classic.text;
    }
    if (name == "read time-out") {
      EXPECT_NE(classic.text.find("WAIT BUSY, ERROR"), std::string::npos) << classic.text;
    }
    if (classic.dumped.empty()) continue;
    // Programming: two round trips per page (the program with its status; the
    // read's ready wait), the page's bytes going out with the next page's
    // program; one more for the first page's program; a page left erased only
    // its read's. The last page's bytes take one of their own.
    std::vector<uint64_t> expected(c.image_pages, 2);
    expected.front() = 3;
    for (const uint32_t page : c.erased_pages) expected[page] = 1;
    if (name.starts_with("every page over a busy chip")) {
      // Polls that saw the chip busy are sent again, a round trip each time.
      for (const uint64_t trips : queued.program_trips) EXPECT_GT(trips, 2u);
    } else {
      EXPECT_EQ(queued.program_trips, expected);
    }
    // Dump: one round trip per page inside a block; a block's first page also
    // reads the block's marks first.
    ASSERT_EQ(queued.dump_trips.size(), name.starts_with("small pages") ? 35 : c.image_pages);
    for (uint32_t page = 0; page < queued.dump_trips.size(); ++page) {
      if (page % queued.pages_per_block == 0 || name.starts_with("every page")) continue;
      EXPECT_EQ(queued.dump_trips[page], 1u) << "page " << page;
    }
  }
}

}  // namespace
}  // namespace jtagnand
