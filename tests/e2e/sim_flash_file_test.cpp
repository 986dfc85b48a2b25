// The simulated board's flash file, through the program: a file the board
// cannot use is left exactly as it was, and a write that fails under a run ends
// it with the cause named instead of a later wrong read-back.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e.h"

namespace jtagnand::testing {
namespace {

// The shell's ulimit -f counts 512-byte blocks (1024 in bash): 1024 blocks
// is at most 1 MiB, 4096 at most 4 MiB. A write past the limit fails with
// EFBIG, as one on a full disk fails with ENOSPC; SIGXFSZ is ignored, as no
// signal comes with a full disk.
constexpr const char* kLimitedShell = "trap '' XFSZ; ulimit -f $1; shift; exec \"$@\"";

// Runs the program on an 8 MiB chip kept in `flash`; with `size_limit`
// (ulimit -f blocks) no file may grow past that size.
ProgramResult run_on_file(const std::string& flash, const std::vector<std::string>& args,
                          const std::string& size_limit = {}) {
  const std::string port = "JTAGNAND_PORT=sim:nand=0xE6,flash=" + flash;
  if (size_limit.empty()) return run_program(JTAGNAND_BINARY, args, {port});
  std::vector<std::string> shell_args{"-c", kLimitedShell, "sh", size_limit, JTAGNAND_BINARY};
  shell_args.insert(shell_args.end(), args.begin(), args.end());
  return run_program("/bin/sh", shell_args, {port});
}

TEST(SimFlashFileRun, FileTheBoardCannotUseIsLeftAsItWas) {
  const std::vector<unsigned char> old_bytes = test_pattern(100 * 1024, 8);
  const struct {
    const char* name;
    bool exists;          // a file with old_bytes is there before the run
    bool directory;       // a directory is there instead
    const char* limit;    // ulimit -f for the run
    std::string message;  // on standard error after "flash file PATH: "
  } cases[] = {
      {"a directory", false, true, "", "not a plain file; it is left as it is"},
      {"no room to extend a short file", true, false, "1024",
       "cannot fill it with erased bytes to the chip's 8388608: File too large; it is left as "
       "it was"},
      {"no room for a new file", false, false, "1024",
       "cannot fill it with erased bytes to the chip's 8388608: File too large; it is left as "
       "it was"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const std::string flash = dir.file("flash.bin");
    if (c.exists) write_file(flash, old_bytes);
    if (c.directory) std::filesystem::create_directory(flash);

    const ProgramResult r = run_on_file(flash, {"-C", "ZELT", "-j"}, c.limit);
    EXPECT_EQ(r.exit_status, 1) << c.name;
    EXPECT_EQ(r.out, kBanner) << c.name;
    EXPECT_TRUE(
        contains(r.err, "jtagnand: simulated board: flash file " + flash + ": " + c.message))
        << c.name << "\n"
        << r.err;

    EXPECT_EQ(std::filesystem::is_directory(flash), c.directory) << c.name;
    EXPECT_EQ(std::filesystem::exists(flash), c.exists || c.directory) << c.name;
    if (c.exists) {
      EXPECT_TRUE(read_file(flash) == old_bytes) << c.name;
    }
  }
}

// A file its user may write but not read (or another user's file): opening it
// for reading and writing fails, and it must not be truncated on the way. Root
// reads every file, so as root the program runs as nobody.
TEST(SimFlashFileRun, WriteOnlyFileIsNotTruncated) {
  TempDir dir;
  const std::string flash = dir.file("flash.bin");
  const std::vector<unsigned char> old_bytes = test_pattern(100 * 1024, 9);
  write_file(flash, old_bytes);
  const std::string port = "JTAGNAND_PORT=sim:nand=0xE6,flash=" + flash;
  ProgramResult r;
  if (geteuid() == 0) {
    const std::string setpriv = "/usr/bin/setpriv";
    if (access(setpriv.c_str(), X_OK) != 0) GTEST_SKIP() << "running as root without " << setpriv;
    ASSERT_EQ(chown(flash.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(flash.c_str(), 0200), 0);
    r = run_program(
        setpriv,
        {"--reuid=65534", "--regid=65534", "--clear-groups", JTAGNAND_BINARY, "-C", "ZELT", "-j"},
        {port});
  } else {
    ASSERT_EQ(chmod(flash.c_str(), 0200), 0);
    r = run_program(JTAGNAND_BINARY, {"-C", "ZELT", "-j"}, {port});
    ASSERT_EQ(chmod(flash.c_str(), 0600), 0);
  }
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_TRUE(contains(r.err, "flash file " + flash +
                                  ": cannot open it for reading and writing: Permission denied; "
                                  "it is left as it is"))
      << r.err;
  EXPECT_TRUE(read_file(flash) == old_bytes);
}

TEST(SimFlashFileRun, WriteErrorEndsTheRunWithItsCauseNotACompareError) {
  TempDir dir;
  const std::string flash = dir.file("flash.bin");
  const std::string image_path = dir.file("image.bin");
  const std::vector<unsigned char> old_chip = test_pattern(kChipSize, 10);
  write_file(flash, old_chip);
  write_file(image_path, test_pattern(4096, 11));

  // Block 700 starts at 5.6 MiB, past what the file may hold in this run.
  const ProgramResult r =
      run_on_file(flash, {"-C", "ZELT", "-f" + image_path, "-b", "700"}, "4096");
  EXPECT_EQ(r.exit_status, 4) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "sim: flash file " + flash + ": cannot write: File too large\n"))
      << r.err;
  EXPECT_FALSE(contains(r.out, "Compare ERROR")) << r.out;
  EXPECT_FALSE(contains(r.out, "Verify GOOD!!")) << r.out;
  EXPECT_TRUE(read_file(flash) == old_chip);
}

}  // namespace
}  // namespace jtagnand::testing
