// The modes added to programming, end to end on the simulated board: factory
// marks honoured (-m) or listed, the flash read into a file (-r, -l), verify
// only (-v), erased pages left alone (-k), the help (-h), and the option
// combinations refused before the target is touched.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>

#include "e2e.h"

namespace jtagnand::testing {
namespace {

using Bytes = std::vector<unsigned char>;

Bytes joined(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

uint64_t stat(const std::string& err, const std::string& name) {
  const size_t at = err.find(" " + name + "=");
  return at == std::string::npos ? 0 : std::stoull(err.substr(at + name.size() + 2));
}

class Modes : public ::testing::Test {
 protected:
  TempDir dir;
  std::string flash = dir.file("flash.bin");
  std::string image_path = dir.file("image.bin");
  std::string dump = dir.file("dump.bin");

  Bytes make_image(size_t length, unsigned seed = 3) {
    auto image = test_pattern(length, seed);
    write_file(image_path, image);
    return image;
  }
  // The names in the test's directory: a dump that did not finish leaves
  // nothing of its own there.
  std::set<std::string> files() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
      names.insert(entry.path().filename().string());
    return names;
  }
};

// An 8 MiB chip of 8 KiB blocks; block 3 carries the factory mark, 16 pages
// of 16 spare bytes per block: the mark is byte 3 * 16 * 16 + 5 of the .oob
// file.
constexpr uint64_t kMarkOfBlock3 = 3 * 16 * 16 + 5;

TEST_F(Modes, MarkedBlockKeptWithMAndLostWithout) {
  const Bytes image = make_image(20000);
  const std::string board = "sim:nand=0xE6,marked=3,stats,strict,flash=" + flash;
  const ProgramResult with_m = jtagnand(board, {"-C", "ZELT", "-f" + image_path, "-b", "2", "-m"});
  ASSERT_EQ(with_m.exit_status, 0) << with_m.out << with_m.err;
  EXPECT_TRUE(contains(with_m.out,
                       "Erasing block ....\n [   2] [   3]\n"
                       "Factory-marked bad block at 0x6000, skipped\n [   4] [   5]\n\n"
                       "BAD Block number #\n [0003]\nPrograming & Verifying to 0x4000 offset"))
      << with_m.out;
  EXPECT_TRUE(contains(with_m.out, "\nSkip bad block at 0x6000\n")) << with_m.out;
  EXPECT_TRUE(contains(with_m.out, "\nVerify GOOD!!\n")) << with_m.out;
  EXPECT_TRUE(contains(with_m.err, kCleanRun)) << with_m.err;
  EXPECT_EQ(file_bytes(flash + ".oob", kMarkOfBlock3, 1), Bytes{0x00});
  EXPECT_EQ(file_bytes(flash, 0x4000, 0x2000), slice(image, 0, 0x2000));
  EXPECT_EQ(file_bytes(flash, 0x6000, 0x2000), Bytes(0x2000, 0xFF));
  EXPECT_EQ(file_bytes(flash, 0x8000, 20000 - 0x2000), slice(image, 0x2000, 20000 - 0x2000));

  // The same run without -m erases block 3: the erase succeeds and the mark is
  // gone for good; the image runs through the block.
  const ProgramResult without = jtagnand(board, {"-C", "ZELT", "-f" + image_path, "-b", "2"});
  ASSERT_EQ(without.exit_status, 0) << without.out;
  EXPECT_FALSE(contains(without.out, "Factory-marked")) << without.out;
  EXPECT_FALSE(contains(without.out, "Skip bad block")) << without.out;
  EXPECT_EQ(file_bytes(flash + ".oob", kMarkOfBlock3, 1), Bytes{0xFF});
  EXPECT_EQ(file_bytes(flash, 0x4000, image.size()), image);
}

// A block whose erase fails under -m gets the mark a maker would give it, so
// that a later -r -m or -v -m of the same range steps over it as the
// programming did.
TEST_F(Modes, ABlockWhoseEraseFailsIsMarkedWithM) {
  const Bytes image = make_image(20000);
  const std::string board = "sim:nand=0xE6,bad=3,stats,strict,flash=" + flash;
  const ProgramResult r = jtagnand(board, {"-C", "ZELT", "-f" + image_path, "-b", "2", "-m"});
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out,
                       "\nError erasing at 0x6000, Maybe BAD BLOCK ....\n"
                       "Block at 0x6000 marked bad in its spare area\n"))
      << r.out;
  EXPECT_TRUE(contains(r.err, kCleanRun)) << r.err;
  EXPECT_EQ(file_bytes(flash + ".oob", kMarkOfBlock3, 1), Bytes{0x00});

  const std::string again = "sim:nand=0xE6,stats,strict,flash=" + flash;
  const ProgramResult verify =
      jtagnand(again, {"-C", "ZELT", "-v", "-f" + image_path, "-b", "2", "-m"});
  EXPECT_EQ(verify.exit_status, 0) << verify.out;
  EXPECT_TRUE(contains(verify.out, "\nVerify GOOD!!\n")) << verify.out;
  const ProgramResult read =
      jtagnand(again, {"-C", "ZELT", "-r" + dump, "-b", "2", "-m", "-l", "20000"});
  EXPECT_EQ(read.exit_status, 0) << read.out;
  EXPECT_EQ(read_file(dump), image);

  // Without -m nothing is written to the spare area, as before.
  write_file(flash + ".oob", Bytes(1024 * 16 * 16, 0xFF));
  ASSERT_EQ(jtagnand(board, {"-C", "ZELT", "-f" + image_path, "-b", "2"}).exit_status, 0);
  EXPECT_EQ(file_bytes(flash + ".oob", kMarkOfBlock3, 1), Bytes{0xFF});
}

TEST_F(Modes, DumpWithTheSameBlockAndMarksGivesTheImageBack) {
  const struct {
    std::string chip;
    uint32_t block, page;
    uint32_t marked;  // the marked block, counted from block 3
    size_t length;
  } chips[] = {
      {"nand=0x76", 16 * 1024, 512, 1, 16 * 1024 + 512 + 100},
      // An extended-ID chip of 2 KiB pages and 64 KiB blocks, marked at the start.
      {"id=EC:A1:00:05:40", 64 * 1024, 2048, 0, 2048 + 100},
  };
  for (const auto& c : chips) {
    SCOPED_TRACE(c.chip);
    std::filesystem::remove(flash);
    std::filesystem::remove(flash + ".oob");
    const Bytes image = make_image(c.length);
    const std::string board = "sim:" + c.chip + ",marked=" + std::to_string(3 + c.marked) +
                              ",stats,strict,flash=" + flash;
    ASSERT_EQ(jtagnand(board, {"-C", "KELDA", "-f" + image_path, "-b", "3", "-m"}).exit_status, 0);

    const ProgramResult r = jtagnand(
        board, {"-C", "KELDA", "-r" + dump, "-b", "3", "-m", "-l", std::to_string(image.size())});
    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_EQ(read_file(dump), image);           // cmp
    const uint32_t before = c.marked * c.block;  // image bytes before the marked block
    char line[120];
    std::snprintf(line, sizeof line,
                  "\nFactory-marked bad block at 0x%x, skipped\n"
                  "Read: %6u / %zu [Byte] at 0x%08X\r",
                  (3 + c.marked) * c.block, before + c.page, image.size(),
                  (4 + c.marked) * c.block + c.page);
    EXPECT_TRUE(contains(r.out, line)) << r.out;
    EXPECT_TRUE(contains(r.out, "\n\n" + std::to_string(image.size()) + " bytes read into " + dump +
                                    "\n\nRead elapsed time:  "))
        << r.out;
    EXPECT_TRUE(contains(r.err, kCleanRun)) << r.err;
    EXPECT_EQ(files(),
              (std::set<std::string>{"dump.bin", "flash.bin", "flash.bin.oob", "image.bin"}));

    // Without -m the dump reads the marked block (erased) like any other.
    ASSERT_EQ(
        jtagnand(board, {"-C", "KELDA", "-r" + dump, "-b", "3", "-l", std::to_string(image.size())})
            .exit_status,
        0);
    EXPECT_EQ(read_file(dump),
              joined({slice(image, 0, before), Bytes(image.size() - before, 0xFF)}));
  }
}

TEST_F(Modes, DumpWithoutLengthRunsToTheChipsEnd) {
  // An 8 MiB chip of 8 KiB blocks holding a pattern; the last four blocks, the
  // third of them marked.
  const Bytes chip = test_pattern(8 << 20, 11);
  write_file(flash, chip);
  const std::string board = "sim:nand=0xE6,marked=1022,flash=" + flash;
  const ProgramResult r = jtagnand(board, {"-C", "ZELT", "-r" + dump, "-b", "1020", "-m"});
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_EQ(read_file(dump),
            joined({slice(chip, 1020 * 8192, 2 * 8192), slice(chip, 1023 * 8192, 8192)}));
  EXPECT_TRUE(contains(r.out, "Read:  24576 / 24576 [Byte] at 0x00800000\r\n\n24576 bytes read"))
      << r.out;

  const ProgramResult plain = jtagnand(board, {"-C", "ZELT", "-r" + dump, "-o", "0x7F8000"});
  ASSERT_EQ(plain.exit_status, 0) << plain.out;
  EXPECT_EQ(read_file(dump), slice(chip, 1020 * 8192, 4 * 8192));
}

TEST_F(Modes, AStoppedDumpLeavesTheFileAsItWas) {
  const Bytes old = {'o', 'l', 'd'};
  const std::set<std::string> before = {"dump.bin"};
  const std::vector<std::string> args = {"-C", "RQ7220", "-r" + dump, "-l", "0x10000"};
  const struct {
    std::string what;
    std::string board;
    std::string keys;
    std::string message;
  } cases[] = {
      {"ESC", "sim:nand=0x76", "\033", "\nStopped by ESC: read not finished\n"},
      {"a ready line that never rises", "sim:nand=0x76,hang=read", "",
       "\nNAND READ, NAND WAIT BUSY, ERROR\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(dump, old);
    const ProgramResult r = jtagnand(c.board, args, c.keys);
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_TRUE(contains(r.out, c.message)) << r.out;
    EXPECT_FALSE(contains(r.out, "bytes read into")) << r.out;
    EXPECT_FALSE(contains(r.out, "elapsed")) << r.out;
    EXPECT_EQ(read_file(dump), old);
    EXPECT_EQ(files(), before);
  }

  // A full disk, as a file-size limit of 8 KiB makes it: the write fails.
  write_file(dump, old);
  std::vector<std::string> sh = {"-c", "ulimit -f 16; exec \"$0\" \"$@\"", JTAGNAND_BINARY};
  sh.insert(sh.end(), args.begin(), args.end());
  const ProgramResult full = run_program("/bin/sh", sh, {"JTAGNAND_PORT=sim:nand=0x76"});
  EXPECT_EQ(full.exit_status, 2) << full.out << full.err;
  EXPECT_TRUE(contains(full.out, "\nCould not write file: " + dump + " (File too large)\n"))
      << full.out;
  EXPECT_EQ(read_file(dump), old);
  EXPECT_EQ(files(), before);

  // A signal once the new file is there (the whole 64 MiB chip: the dump is
  // far from done): the process ends as the signal ends it, without its file.
  for (const std::string signal_name : {"TERM", "HUP"}) {
    SCOPED_TRACE(signal_name);
    write_file(dump, old);
    const std::string script =
        "\"$0\" -C RQ7220 -r\"$1\" </dev/null & pid=$!; "
        "while ! ls \"$1\".jtagnand-* >/dev/null 2>&1; do sleep 0.05; done; "
        "kill -" +
        signal_name + " $pid; wait $pid; echo status=$?";
    const ProgramResult r = run_program("/bin/sh", {"-c", script, JTAGNAND_BINARY, dump},
                                        {"JTAGNAND_PORT=sim:nand=0x76"});
    EXPECT_TRUE(contains(r.out, signal_name == "TERM" ? "status=143" : "status=129")) << r.out;
    EXPECT_EQ(read_file(dump), old);
    EXPECT_EQ(files(), before);
  }
}

TEST_F(Modes, ASpareAreaFileThatCannotBeFilledIsTakenAway) {
  // The main file has the chip's size already; the spare areas (256 KiB) do
  // not fit under a file-size limit of 50 KiB.
  write_file(flash, Bytes(8 << 20, 0x00));
  const ProgramResult r = run_program(
      "/bin/sh", {"-c", "trap '' XFSZ; ulimit -f 100; exec \"$0\" -C ZELT", JTAGNAND_BINARY},
      {"JTAGNAND_PORT=sim:nand=0xE6,flash=" + flash});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_TRUE(
      contains(r.err, "spare-area file " + flash + ".oob: cannot fill it with erased bytes"))
      << r.err;
  EXPECT_EQ(files(), (std::set<std::string>{"flash.bin"}));
}

TEST_F(Modes, DumpRangesAndFilesRefusedBeforeAPageIsRead) {
  // What identification alone costs: the run that has nothing to write.
  const ProgramResult identify = jtagnand("sim:nand=0xE6,stats", {"-C", "TOMUX"});
  ASSERT_EQ(identify.exit_status, 0);
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"-l", "0x4001", "-b", "1023"},
       "Range does not fit: 16385 bytes at offset 0x7fe000 run past the end of the 8388608-byte "
       "chip\n"},
      {{"-b", "1024"},
       "Range does not fit: offset 0x800000 is past the end of the 8388608-byte chip\n"},
      {{"-o", "0x1000"}, "Not aligned reading address\n"},
      {{"-o", "0x2000", "-b", "1"}, "Invald Offset Option\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"-C", "TOMUX", "-r" + dump};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ProgramResult r = jtagnand("sim:nand=0xE6,stats", args);
    EXPECT_EQ(r.exit_status, 2) << c.message;
    EXPECT_TRUE(contains(r.out, "NAND DEVICE: 8MBytes\n" + c.message)) << r.out;
    EXPECT_EQ(stat(r.err, "dr_scans"), stat(identify.err, "dr_scans")) << r.err;
    EXPECT_TRUE(files().empty());
  }
  // A file that cannot be made stops the run before the target is touched.
  for (const std::string& bad :
       {dir.path(), dir.file("no/such/dir/dump.bin"), std::string("/dev/null")}) {
    const ProgramResult r = jtagnand("sim:stats", {"-C", "TOMUX", "-r" + bad});
    EXPECT_EQ(r.exit_status, 2) << bad;
    EXPECT_TRUE(contains(r.out, "Could not create file: " + bad + " (")) << r.out;
    EXPECT_TRUE(contains(r.err, kUntouched)) << r.err;
  }
  // An empty name (-r "") too, not after the whole range was read.
  const ProgramResult empty = jtagnand("sim:stats", {"-C", "TOMUX", "-r", ""});
  EXPECT_EQ(empty.exit_status, 2);
  EXPECT_TRUE(contains(empty.out, "Could not create file:  (no file name)\n")) << empty.out;
  EXPECT_TRUE(contains(empty.err, kUntouched)) << empty.err;
}

// The dump's target as a user would expect it: a link to a file not there
// yet makes that file (the link stays), and a replaced file keeps its mode.
TEST_F(Modes, ADumpFollowsADanglingLinkAndKeepsTheModeOfTheFileItReplaces) {
  namespace fs = std::filesystem;
  fs::create_directory(dir.file("sub"));
  fs::create_symlink("sub/target.bin", dir.file("link.bin"));
  const std::vector<std::string> args = {"-C", "TOMUX", "-l", "0x2000"};
  std::vector<std::string> to_link = args;
  to_link.push_back("-r" + dir.file("link.bin"));
  ASSERT_EQ(jtagnand("sim:nand=0xE6", to_link).exit_status, 0);
  EXPECT_TRUE(fs::is_symlink(dir.file("link.bin")));
  EXPECT_EQ(read_file(dir.file("sub/target.bin")), Bytes(0x2000, 0xFF));

  write_file(dump, {'o', 'l', 'd'});
  fs::permissions(dump, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  std::vector<std::string> to_dump = args;
  to_dump.push_back("-r" + dump);
  const ProgramResult r = jtagnand("sim:nand=0xE6", to_dump);
  ASSERT_EQ(r.exit_status, 0) << r.out;
  EXPECT_EQ(read_file(dump), Bytes(0x2000, 0xFF));
  EXPECT_EQ(fs::status(dump).permissions(),
            fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
}

TEST_F(Modes, VerifyOnlyComparesAndWritesNothing) {
  const Bytes image = make_image(20000);
  const std::string board = "sim:nand=0xE6,marked=3,stats,strict,flash=" + flash;
  ASSERT_EQ(jtagnand(board, {"-C", "TOMUX", "-f" + image_path, "-b", "2", "-m"}).exit_status, 0);
  const Bytes chip = read_file(flash);

  const ProgramResult good =
      jtagnand(board, {"-C", "TOMUX", "-v", "-f" + image_path, "-b", "2", "-m"});
  EXPECT_EQ(good.exit_status, 0) << good.out;
  EXPECT_TRUE(contains(good.out, "Verifying at 0x4000 offset ....\n\n")) << good.out;
  EXPECT_TRUE(contains(good.out, "\nVerify GOOD!!\n\nVerify elapsed time:  ")) << good.out;
  EXPECT_FALSE(contains(good.out, "Erasing")) << good.out;
  EXPECT_FALSE(contains(good.out, "Write:")) << good.out;

  // Two flipped bytes, one on each side of the marked block: the first is
  // shown, both are counted, and the run reads on to the image's end.
  const ProgramResult bad = jtagnand(board + ",flip=0x4005,flip=0x8123",
                                     {"-C", "TOMUX", "-v", "-f" + image_path, "-b", "2", "-m"});
  EXPECT_EQ(bad.exit_status, 2);
  char expected[160];
  std::snprintf(expected, sizeof expected,
                "\n\nCompare ERROR: flash addr: 0x4005\n                 RD: 0x%X, WR: 0x%X\n",
                image[5] ^ 1u, image[5]);
  EXPECT_TRUE(contains(bad.out, expected)) << bad.out;
  EXPECT_FALSE(contains(bad.out, "0x8123")) << bad.out;
  EXPECT_TRUE(contains(bad.out,
                       "Verify:  20000 / 20000 [Byte] at 0x0000AE20\r\n"
                       "Verify FAILED: 2 of 20000 bytes differ\n"))
      << bad.out;
  EXPECT_FALSE(contains(bad.out, "GOOD")) << bad.out;
  EXPECT_TRUE(contains(bad.err, kCleanRun)) << bad.err;
  EXPECT_EQ(read_file(flash), chip);  // nothing erased or programmed
}

TEST_F(Modes, SkippedErasedPagesShowInTheScanCounts) {
  // Ten 512-byte pages, three of them all 0xFF.
  Bytes image = test_pattern(10 * 512, 4);
  for (const size_t page : {1, 2, 6}) std::fill_n(image.begin() + page * 512, 512, 0xFF);
  write_file(image_path, image);
  const std::string board = "sim:nand=0x75,stats,strict,flash=" + flash;
  const ProgramResult plain = jtagnand(board, {"-C", "ZELT", "-f" + image_path});
  const ProgramResult skipping = jtagnand(board, {"-C", "ZELT", "-f" + image_path, "-k"});
  ASSERT_EQ(plain.exit_status, 0) << plain.out;
  ASSERT_EQ(skipping.exit_status, 0) << skipping.out;
  EXPECT_TRUE(contains(skipping.out,
                       "\nErased pages (all 0xFF) not programmed: 3 of 10\n\nVerify GOOD!!\n"))
      << skipping.out;
  EXPECT_FALSE(contains(plain.out, "Erased pages")) << plain.out;
  EXPECT_EQ(read_file(flash).size(), 32u << 20);
  EXPECT_EQ(file_bytes(flash, 0, image.size()), image);
  // A program cycle on this chip (three address cycles) that is not sent:
  // select 1, 0x80 4, address 2 * 3 + 2, data 2 * 512, 0x10 4, ready polls
  // 2, 0x70 4, status 3, release 1.
  constexpr uint64_t kProgramScans = 1 + 4 + 8 + 2 * 512 + 4 + 2 + 4 + 3 + 1;
  EXPECT_EQ(stat(plain.err, "dr_scans") - stat(skipping.err, "dr_scans"), 3 * kProgramScans)
      << plain.err << skipping.err;
  EXPECT_TRUE(contains(skipping.err, kCleanRun)) << skipping.err;
}

TEST_F(Modes, MarksAloneAreListedAndNothingChanges) {
  const std::string board = "sim:nand=0xE6,marked=5,marked=1000,stats,strict,flash=" + flash;
  const ProgramResult range = jtagnand(board, {"-C", "KELDA", "-m", "-b", "4", "-l", "0x5000"});
  ASSERT_EQ(range.exit_status, 0) << range.out;
  EXPECT_TRUE(contains(range.out,
                       "Checking factory bad-block marks from 0x8000 to 0xe000 ....\n\n"
                       "Scan:      0 / 3 [Block] at 0x00008000\r"))
      << range.out;
  EXPECT_TRUE(contains(range.out,
                       "\n\nBAD Block number #\n [0005]\n"
                       "1 factory-marked bad block in 3 blocks\n"))
      << range.out;

  const ProgramResult chip = jtagnand(board, {"-C", "KELDA", "-m"});
  ASSERT_EQ(chip.exit_status, 0) << chip.out;
  EXPECT_TRUE(contains(chip.out,
                       "\n\nBAD Block number #\n [0005] [1000]\n"
                       "2 factory-marked bad blocks in 1024 blocks\n"))
      << chip.out;
  EXPECT_TRUE(contains(chip.err, kCleanRun)) << chip.err;
  EXPECT_EQ(read_file(flash), Bytes(8 << 20, 0xFF));

  const ProgramResult none = jtagnand("sim:nand=0xE6", {"-C", "KELDA", "-m", "-b", "6", "-l", "1"});
  EXPECT_EQ(none.exit_status, 0);
  EXPECT_TRUE(contains(none.out, "\n\nNo factory-marked bad block in 1 blocks\n")) << none.out;
}

TEST_F(Modes, EraseAllWithMarksKeepsThem) {
  const ProgramResult r = jtagnand("sim:nand=0xE6,marked=2,marked=1023,stats,strict,flash=" + flash,
                                   {"-C", "ZELT", "-e", "all", "-m"}, "y");
  ASSERT_EQ(r.exit_status, 0) << r.out;
  EXPECT_TRUE(contains(r.out, " [   2]\nFactory-marked bad block at 0x4000, skipped\n [   3]"))
      << r.out;
  EXPECT_TRUE(contains(r.out, " [1023]\nFactory-marked bad block at 0x7fe000, skipped\n")) << r.out;
  EXPECT_TRUE(contains(r.err, kCleanRun)) << r.err;
  EXPECT_EQ(file_bytes(flash + ".oob", 2 * 16 * 16 + 5, 1), Bytes{0x00});
  EXPECT_EQ(file_bytes(flash + ".oob", 1023 * 16 * 16 + 5, 1), Bytes{0x00});

  // An image after it: the marked block below -b pushes it one block up, and
  // the line says where it goes.
  const Bytes image = make_image(5000);
  const ProgramResult placed =
      jtagnand("sim:nand=0xE6,marked=2,stats,strict,flash=" + flash,
               {"-C", "ZELT", "-e", "all", "-m", "-f" + image_path, "-b", "3"}, "y");
  ASSERT_EQ(placed.exit_status, 0) << placed.out;
  EXPECT_TRUE(contains(placed.out, "Programing & Verifying to 0x8000 offset")) << placed.out;
  EXPECT_EQ(file_bytes(flash, 0x8000, image.size()), image);
}

TEST_F(Modes, OptionsThatDoNotGoTogetherAreRefusedBeforeTheTargetIsTouched) {
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"-r", "d.bin", "-fimg.bin"},
       "-r and -f do not go together: -r reads the flash into a file, -f writes an image"},
      {{"-r", "d.bin", "-e", "all"},
       "-r and -e do not go together: reading the flash erases nothing"},
      {{"-r", "d.bin", "-v"},
       "-r and -v do not go together: -v compares the flash with the image of -f"},
      {{"-v"}, "-v needs the image to compare with: give it with -f"},
      {{"-v", "-fimg.bin", "-e", "all"},
       "-v and -e do not go together: verifying only erases nothing"},
      {{"-v", "-fimg.bin", "-k"}, "-k goes with programming only: -r and -v program nothing"},
      {{"-k"}, "-k needs an image to write: give it with -f"},
      {{"-fimg.bin", "-l", "100"},
       "-l goes with -r, or with -m alone: an image's length is its own"},
      {{"-m", "-e", "all", "-l", "100"},
       "-l goes with -r, or with -m alone: an image's length is its own"},
      {{"-m", "-l", "0"}, "-l needs a length above 0"},
      {{"-j", "-m"}, "-j and -t go with none of -m, -r, -l, -v and -k"},
      {{"-t", "-r", "d.bin"}, "-j and -t go with none of -m, -r, -l, -v and -k"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"-C", "ZELT"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ProgramResult r = jtagnand("sim:stats", args);
    EXPECT_EQ(r.exit_status, 2) << c.message;
    EXPECT_TRUE(contains(r.out, "** Error: " + c.message + "\n")) << r.out;
    EXPECT_FALSE(contains(r.out, "JTAG ID")) << r.out;
    EXPECT_TRUE(contains(r.err, kUntouched)) << r.err;
  }
  EXPECT_TRUE(files().empty());
}

TEST(Help, TheUsageTextThenTheNewOptionsThePortAndTheExitStatuses) {
  const std::string help =
      kBanner + kUsage +
      " -e all       : erase the whole chip (after a Y/N question), then write the\n"
      "                image of -f if one is given\n"
      " -j           : check the CPU's JTAG IDCODE only\n"
      " -m           : honour factory bad-block marks: a marked block is never erased\n"
      "                or programmed, and is stepped over; with nothing to write and\n"
      "                no -e, list the marked blocks (of -o/-b and -l, or the chip)\n"
      " -r[filename] : read the flash into a file, from -o/-b on, -l bytes (default:\n"
      "                to the chip's end); with -m, marked blocks are stepped over\n"
      " -l[length]   : bytes to read with -r, or to check with -m alone\n"
      " -v           : verify only: compare the flash with the image of -f at -o/-b,\n"
      "                erase and write nothing\n"
      " -k           : do not program the pages of the image that are all 0xFF (the\n"
      "                erase left them so); they are still verified\n"
      " -T[filename] : a board description (a BSDL file and the NAND's pins) in\n"
      "                place of -C, for a CPU that is not built in\n"
      " -O           : the image of -f (or the file of -r) holds every page followed\n"
      "                by its spare bytes; -o, -b and -l still count main-area bytes\n"
      " -E[scheme]   : software ECC as Linux computes it (hamming, bch4, bch8):\n"
      "                written into the spare area, checked and corrected on reading\n"
      " -h           : this help\n"
      "\n"
      "Options start with - or /; a value may be attached (-fimage.bin) or follow as\n"
      "the next argument. Numbers are decimal, or hexadecimal with 0x.\n"
      "-r goes with neither -f, -e, -v nor -k; -v needs -f and goes with neither -e\n"
      "nor -k; -k needs -f; -l goes with -r or with -m alone.\n"
      "\n"
      "JTAGNAND_PORT chooses the cable:\n"
      "  auto (default)          ppdev when a /dev/parport* exists, else direct\n"
      "  direct                  parallel port at 0x378, 0x278 or 0x3BC, direct I/O\n"
      "  ppdev, ppdev:DEVICE     parallel port through Linux's ppdev driver\n"
      "  rbb:HOST:PORT, rbb:PATH a remote_bitbang JTAG server (TCP or Unix socket)\n"
      "  ftdi, ftdi:OPTION,...   an FTDI MPSSE USB adapter\n"
      "  sim, sim:OPTION,...     the simulated board\n"
      "  A parallel-port value with fast (auto:fast, direct:fast, ppdev:fast,\n"
      "  ppdev:DEVICE,fast, sim:fast,...) drives the flash with two scans per bus\n"
      "  cycle: faster, but not the cable's classic traffic. With -T, ftdi runs at\n"
      "  the BSDL file's TAP_SCAN_CLOCK at most; ftdi:tck=HZ,overclock goes above.\n"
      "\n"
      "Exit status:\n"
      "  0  the job was done\n"
      "  1  start-up failed: no port access, no port, no arguments, or JTAGNAND_PORT\n"
      "     not understood\n"
      "  2  the run failed or was abandoned\n"
      "\n";
  // No port is opened for it: a setting that names none does not matter.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-h"}, {"/h"}, {"-C", "ZELT", "-fimg.bin", "-h", "-j"}}) {
    const ProgramResult r = jtagnand("no-such-cable", args);
    EXPECT_EQ(r.exit_status, 0) << args[0];
    EXPECT_EQ(r.out, help) << args[0];
    EXPECT_EQ(r.err, "") << args[0];
  }
}

}  // namespace
}  // namespace jtagnand::testing
