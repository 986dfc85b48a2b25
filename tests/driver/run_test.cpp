// The whole program run in-process on the simulated board, where its clock and
// console are under the test's control.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/jtagnand.h"
#include "setup/open_cable.h"
#include "run_program.h"
#include "scripted_console.h"

namespace jtagnand {
namespace {

using testing::ScriptedConsole;

// A clock that moves on by `step` seconds each time it is read, so that a run
// that reads it once at the start and once at the end lasted `step` seconds.
class SteppingClock final : public Clock {
 public:
  explicit SteppingClock(int64_t step) : step_(step) {}
  [[nodiscard]] int64_t now_seconds() override {
    const int64_t now = now_;
    now_ += step_;
    return now;
  }

 private:
  int64_t step_;
  int64_t now_ = 1'700'000'000;
};

struct InProcessRun {
  int exit_status;
  std::string out;
};

InProcessRun run_on_board(const std::string& board, std::vector<std::string> args, Clock& clock) {
  args.insert(args.begin(), "jtagnand");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  ScriptedConsole console;
  Environment environment{
      console, clock, [&board](std::string_view cpu_hint) { return open_cable(board, cpu_hint); }};
  const int status = jtagnand_main(static_cast<int>(argv.size()), argv.data(), environment);
  return {status, console.output()};
}

bool ends_with(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

TEST(ElapsedTime, ReportsWholeMinutesAndTheSecondsLeftOver) {
  testing::TempDir dir;
  testing::write_file(dir.file("image.bin"), testing::test_pattern(1000));
  const struct {
    int64_t seconds;
    std::string shown;
  } cases[] = {
      {0, "0[min] 0[sec]"},   {59, "0[min] 59[sec]"},   {60, "1[min] 0[sec]"},
      {125, "2[min] 5[sec]"}, {3661, "61[min] 1[sec]"},
  };
  for (const auto& c : cases) {
    SteppingClock clock(c.seconds);
    const InProcessRun r =
        run_on_board("sim:nand=0x76", {"-C", "RQ7220", "-f" + dir.file("image.bin")}, clock);
    EXPECT_EQ(r.exit_status, 0) << r.out;
    EXPECT_TRUE(ends_with(r.out, "\nVerify GOOD!!\n\nWrite elapsed time:  " + c.shown + "\n\n"))
        << c.seconds << " s:\n"
        << r.out;
  }
}

TEST(BadBlockListing, TenBlockNumbersToALine) {
  testing::TempDir dir;
  testing::write_file(dir.file("image.bin"), testing::test_pattern(40000));
  std::string board = "sim:nand=0x76";
  for (int block = 1; block <= 12; ++block) board += ",bad=" + std::to_string(block);
  SteppingClock clock(1);
  const InProcessRun r = run_on_board(board, {"-C", "ZELT", "-f" + dir.file("image.bin")}, clock);
  EXPECT_EQ(r.exit_status, 0) << r.out;
  EXPECT_NE(r.out.find("\n\nBAD Block number #\n"
                       " [0001] [0002] [0003] [0004] [0005] [0006] [0007] [0008] [0009] [0010]\n"
                       " [0011] [0012]\n"
                       "Programing & Verifying to 0x0 offset ....\n\n"),
            std::string::npos)
      << r.out;
}

}  // namespace
}  // namespace jtagnand
