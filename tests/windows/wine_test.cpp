// The 64-bit Windows build of the program, run under Wine: the giveio check at
// start-up, the simulated board through the same port interface as on Linux,
// keys from redirected input, and the simulated flash file written through the
// Windows C++ runtime.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "run_program.h"
#include "test_files.h"

namespace jtagnand::testing {
namespace {

const std::string kBanner =
    "\n  *********** ORVA JTAG NAND  ***********\n  ***********  VERSION: 1.04  **********\n";
const std::string kCleanRun = "violations=0\n";

// The C runtime writes standard output and error in text mode: "\n" arrives as "\r\n".
std::string unix_lines(std::string text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out.push_back(text[i]);
  }
  return out;
}

class Wine : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string(JTAGNAND_WIN64_EXE).empty())
      GTEST_SKIP() << "no MinGW-w64 cross compiler: the Windows program was not built";
    if (!std::filesystem::exists(JTAGNAND_WINE)) GTEST_SKIP() << "no Wine at " JTAGNAND_WINE;
  }

  // Runs the Windows program with `port` as JTAGNAND_PORT (none: not set at
  // all) in `dir`, with `input` on a pipe as standard input.
  static ProgramResult run(const std::optional<std::string>& port,
                           const std::vector<std::string>& args, const std::string& dir,
                           const std::string& input = {}) {
    std::vector<std::string> command{JTAGNAND_WINE, JTAGNAND_WIN64_EXE};
    command.insert(command.end(), args.begin(), args.end());
    return in_dir(dir, command, port, input);
  }

  // The same, with standard input redirected from the file `keys` (a disk
  // file to Windows, not a pipe).
  static ProgramResult run_with_key_file(const std::string& port,
                                         const std::vector<std::string>& args,
                                         const std::string& dir, const std::string& keys) {
    std::vector<std::string> command{"/bin/sh", "-c",          "exec \"$@\" < \"$KEYS\"",
                                     "sh",      JTAGNAND_WINE, JTAGNAND_WIN64_EXE};
    command.insert(command.end(), args.begin(), args.end());
    return in_dir(dir, command, port, {}, {"KEYS=" + keys});
  }

 private:
  static ProgramResult in_dir(const std::string& dir, std::vector<std::string> command,
                              const std::optional<std::string>& port, const std::string& input,
                              std::vector<std::string> env = {}) {
    if (port) {
      env.push_back("JTAGNAND_PORT=" + *port);
    } else {
      command.insert(command.begin(), {"/usr/bin/env", "-u", "JTAGNAND_PORT"});
    }
    env.push_back("WINEPREFIX=" JTAGNAND_WINE_PREFIX);
    env.push_back("WINEDEBUG=-all");
    // Relative paths on the command line and in the port setting are taken
    // from the working directory, which the child inherits.
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    ProgramResult result =
        run_program(command.front(), {command.begin() + 1, command.end()}, env, input);
    std::filesystem::current_path(before);
    result.out = unix_lines(result.out);
    result.err = unix_lines(result.err);
    return result;
  }
};

TEST_F(Wine, WithoutGiveioStartUpIsRefused) {
  TempDir dir;
  // Wine reports the NT family and has no giveio device; unset, empty and
  // auto all mean direct I/O on Windows.
  const std::optional<std::string> ports[] = {std::nullopt, "", "auto", "direct"};
  for (const auto& port : ports) {
    const std::string name = port ? "'" + *port + "'" : "unset";
    const ProgramResult r = run(port, {"-C", "ZELT", "-j"}, dir.path());
    EXPECT_EQ(r.exit_status, 1) << name;
    EXPECT_EQ(r.out, kBanner + "Couldn't access giveio device") << name;
    EXPECT_TRUE(contains(r.err, "giveio driver")) << name << ": " << r.err;
    EXPECT_TRUE(contains(r.err, "JTAGNAND_PORT=sim")) << name << ": " << r.err;
  }
}

TEST_F(Wine, IdcodeOfEveryCpu) {
  TempDir dir;
  for (const std::string cpu : {"RQ7220", "ZELT", "KELDA", "TOMUX"}) {
    const ProgramResult r = run("sim:stats", {"-C", cpu, "-j"}, dir.path());
    EXPECT_EQ(r.exit_status, 0) << cpu << "\n" << r.out;
    EXPECT_TRUE(contains(r.out, kBanner + "\nLPT 0x378 Port is detected.\n\nOK!, JTAG ID:   "))
        << cpu << "\n"
        << r.out;
    EXPECT_TRUE(contains(r.err, kCleanRun)) << cpu << ": " << r.err;
  }
  // A board whose CPU is not the one named: the bits read come through as they are.
  const ProgramResult wrong = run("sim:cpu=KELDA", {"-C", "ZELT", "-j"}, dir.path());
  EXPECT_EQ(wrong.exit_status, 2);
  EXPECT_TRUE(contains(wrong.out, "Invalid JTAG ID\n")) << wrong.out;
}

TEST_F(Wine, ProgrammingRunStepsOverABadBlock) {
  TempDir dir;
  constexpr size_t kBlock = 16 * 1024;  // chip 0x76: 512-byte pages, 16 KiB blocks
  const std::vector<unsigned char> image = test_pattern(40 * 1024, 9);
  write_file(dir.file("img.bin"), image);

  const ProgramResult r = run("sim:stats,nand=0x76,bad=3,flash=flash.bin",
                              {"-C", "ZELT", "-f", "img.bin", "-b", "2"}, dir.path());
  EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "Error erasing at 0xc000, Maybe BAD BLOCK ....\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "\nBAD Block number #\n [0003]\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "Skip bad block at 0xc000\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "\nVerify GOOD!!\n")) << r.out;
  EXPECT_TRUE(contains(r.err, kCleanRun)) << r.err;

  // Blocks 2 and then 4, 5 hold the image; blocks 0, 1 and the bad block 3 are
  // untouched (erased), and so is everything after the image.
  const std::vector<unsigned char> flash = read_file(dir.file("flash.bin"));
  ASSERT_EQ(flash.size(), size_t{64} << 20);
  const auto at = [&](size_t offset, size_t n) {
    return std::vector<unsigned char>(flash.begin() + static_cast<long>(offset),
                                      flash.begin() + static_cast<long>(offset + n));
  };
  const auto erased = [&](size_t offset, size_t n) {
    const auto part = at(offset, n);
    return std::all_of(part.begin(), part.end(), [](unsigned char b) { return b == 0xFF; });
  };
  EXPECT_TRUE(erased(0, 2 * kBlock));
  EXPECT_EQ(at(2 * kBlock, kBlock),
            std::vector<unsigned char>(image.begin(), image.begin() + kBlock));
  EXPECT_TRUE(erased(3 * kBlock, kBlock));
  EXPECT_EQ(at(4 * kBlock, image.size() - kBlock),
            std::vector<unsigned char>(image.begin() + kBlock, image.end()));
  EXPECT_TRUE(erased(4 * kBlock + image.size() - kBlock, 4 * kBlock));
}

// -e all asks before erasing the whole chip; the answer comes from redirected
// standard input, either a disk file or a pipe.
TEST_F(Wine, EraseAllQuestionAnsweredFromRedirectedInput) {
  struct Case {
    const char* name;
    bool from_file;
    std::string keys;
    bool erases;
  };
  const Case cases[] = {
      {"y from a file", true, "y", true},  {"Y from a pipe", false, "Y", true},
      {"n from a file", true, "n", false}, {"n from a pipe", false, "n", false},
      {"empty file", true, "", false},     {"x then y from a file", true, "xy", true},
  };
  constexpr size_t kChipSize = 8 << 20;  // chip 0xE6: 8 KiB blocks
  constexpr size_t kFarBlock = 1000;
  constexpr size_t kBlock = 8 * 1024;
  for (const Case& c : cases) {
    TempDir dir;
    // A chip whose far block holds data, so an erase of the whole chip shows.
    std::vector<unsigned char> chip(kChipSize, 0xFF);
    const std::vector<unsigned char> old = test_pattern(kBlock, 3);
    std::copy(old.begin(), old.end(), chip.begin() + static_cast<long>(kFarBlock * kBlock));
    write_file(dir.file("flash.bin"), chip);
    write_file(dir.file("keys"), std::vector<unsigned char>(c.keys.begin(), c.keys.end()));

    const std::string port = "sim:stats,nand=0xE6,flash=flash.bin";
    const std::vector<std::string> args{"-C", "KELDA", "-e", "all"};
    const ProgramResult r = c.from_file ? run_with_key_file(port, args, dir.path(), "keys")
                                        : run(port, args, dir.path(), c.keys);
    EXPECT_TRUE(contains(r.out, "erase all flash. Continue ? [Y/N] ")) << c.name << "\n" << r.out;
    EXPECT_EQ(r.exit_status, c.erases ? 0 : 2) << c.name << "\n" << r.out;
    EXPECT_TRUE(contains(r.err, kCleanRun)) << c.name << ": " << r.err;
    const std::vector<unsigned char> after = read_file(dir.file("flash.bin"));
    ASSERT_EQ(after.size(), kChipSize) << c.name;
    const bool far_block_erased =
        std::all_of(after.begin() + static_cast<long>(kFarBlock * kBlock),
                    after.begin() + static_cast<long>((kFarBlock + 1) * kBlock),
                    [](unsigned char b) { return b == 0xFF; });
    EXPECT_EQ(far_block_erased, c.erases) << c.name;
  }
}

}  // namespace
}  // namespace jtagnand::testing
