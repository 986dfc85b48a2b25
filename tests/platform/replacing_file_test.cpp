// The file a dump goes to: complete under its name, or not there at all.

#include "platform/replacing_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/exit_cleanup.h"
#include "test_files.h"

namespace jtagnand {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::write_file;

const std::vector<unsigned char> kOld = {'o', 'l', 'd'};
const std::vector<uint8_t> kNew = {1, 2, 3, 4};

std::vector<std::string> names(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& entry : fs::directory_iterator(dir))
    out.push_back(entry.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

TEST(ReplacingFile, TakesTheNameOnlyWhenCommitted) {
  testing::TempDir dir;
  const std::string target = dir.file("dump.bin");
  write_file(target, kOld);
  std::string error;
  {
    ReplacingFile file;
    ASSERT_TRUE(file.open(target, error)) << error;
    ASSERT_TRUE(file.write(kNew, error)) << error;
    EXPECT_EQ(read_file(target), kOld);
    EXPECT_EQ(names(dir.path()).size(), 2u);  // the target and the new file beside it
  }                                           // not committed: abandoned
  EXPECT_EQ(read_file(target), kOld);
  EXPECT_EQ(names(dir.path()), std::vector<std::string>{"dump.bin"});

  ReplacingFile file;
  ASSERT_TRUE(file.open(target, error)) << error;
  ASSERT_TRUE(file.write(kNew, error)) << error;
  ASSERT_TRUE(file.commit(error)) << error;
  EXPECT_EQ(read_file(target), std::vector<unsigned char>(kNew.begin(), kNew.end()));
  EXPECT_EQ(names(dir.path()), std::vector<std::string>{"dump.bin"});
}

#if !defined(_WIN32)
#if !defined(_WIN32)
// A signal that comes while the new file is set up waits until the file is
// registered, then ends the process with the file removed.
TEST(ReplacingFile, ASignalHeldBackStillRemovesTheNewFile) {
  testing::TempDir dir;
  const std::string alive = dir.file("alive");
  EXPECT_EXIT(
      {
        ReplacingFile file;
        std::string error;
        {
          const CleanupSignalsHeld held;
          std::raise(SIGTERM);
          write_file(alive, kOld);  // still running: the signal waits
          if (!file.open(dir.file("dump.bin"), error)) std::_Exit(3);
        }
        std::_Exit(4);  // not reached: the held signal ends the process first
      },
      ::testing::KilledBySignal(SIGTERM), "");
  EXPECT_EQ(read_file(alive), kOld);
  EXPECT_EQ(names(dir.path()), std::vector<std::string>{"alive"});
}
#endif

TEST(ReplacingFile, ALinkIsFollowedAndKept) {
  testing::TempDir dir;
  const std::string real = dir.file("real.bin");
  const std::string link = dir.file("link.bin");
  write_file(real, kOld);
  fs::create_symlink(real, link);
  std::string error;
  ReplacingFile file;
  ASSERT_TRUE(file.open(link, error)) << error;
  ASSERT_TRUE(file.write(kNew, error)) << error;
  ASSERT_TRUE(file.commit(error)) << error;
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(read_file(real), std::vector<unsigned char>(kNew.begin(), kNew.end()));
}
#endif

}  // namespace
}  // namespace jtagnand
