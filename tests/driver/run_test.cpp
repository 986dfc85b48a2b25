// The whole program run in-process on the simulated board, where its clock and
// console are under the test's control.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "driver/jtagnand.h"
#include "run_program.h"
#include "scripted_console.h"
#include "setup/open_cable.h"

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

// What JTAGNAND_PORT does not name is refused with every form it may take;
// near misses of a form (a missing or unexpected value) are not taken for it.
TEST(CableSetting, SettingsNotUnderstoodListEveryForm) {
  for (const char* setting : {"lpt", "ppdev:", "rbb", "rbb:", "direct:x", "auto:", "simulator",
                              "ftdi2", "SIM", "xvc", "xvc:", "gpio", "cmsis-dap2"}) {
    const CableOpening opening = open_cable(setting, "");
    ASSERT_FALSE(opening.ok()) << setting;
    EXPECT_EQ(opening.kind(), Refusal::kBadSetting) << setting;
    EXPECT_EQ(opening.message(),
              "JTAGNAND_PORT=" + std::string(setting) +
                  " is not understood; use auto, direct, ppdev, ppdev:/dev/parportN, sim, "
                  "sim:OPTION,..., rbb:HOST:PORT, rbb:/path/to/socket, ftdi, ftdi:OPTION,..., "
                  "xvc:HOST[:PORT], cmsis-dap, cmsis-dap:OPTION,... or gpio:OPTION,...");
  }
  // "sim:" is the simulated board with no options, as "sim" is.
  EXPECT_TRUE(open_cable("sim:", "KELDA").ok());
}

// A cable whose link breaks after `shifts` shifts: the simulated board's wire,
// cut in the middle of a run.
class CutCable final : public Cable {
 public:
  CutCable(std::unique_ptr<Cable> wire, int shifts) : wire_(std::move(wire)), left_(shifts) {}
  void clock(bool tms, bool tdi) override { wire_->clock(tms, tdi); }
  [[nodiscard]] bool read_tdo() override { return wire_->read_tdo(); }
  void sample(char* into) override { wire_->sample(into); }
  void clock_tms(uint32_t tms_bits, uint32_t count, bool tdi) override {
    wire_->clock_tms(tms_bits, count, tdi);
  }
  void shift(const char* tdi, char* capture, uint32_t length, bool exit_shift) override {
    if (--left_ == 0) throw LinkLost("test wire: cut");
    wire_->shift(tdi, capture, length, exit_shift);
  }
  void flush() override { wire_->flush(); }
  void trst_pulse() override { wire_->trst_pulse(); }
  [[nodiscard]] std::string announcement() const override { return wire_->announcement(); }

 private:
  std::unique_ptr<Cable> wire_;
  int left_;
};

// A link lost in the middle of a dump: the driver says why and ends with
// status 2, and the file to be replaced is as it was, with nothing beside it.
TEST(LostLink, EndsTheRunWithStatusTwoAndLeavesNoFileBehind) {
  testing::TempDir dir;
  const std::vector<unsigned char> old{'o', 'l', 'd'};
  testing::write_file(dir.file("dump.bin"), old);
  ScriptedConsole console;
  SteppingClock clock(1);
  Environment environment{
      console, clock, [](std::string_view cpu_hint) {
        CableOpening sim = open_cable("sim:nand=0x76", cpu_hint);
        return CableOpening::ready(std::make_unique<CutCable>(std::move(sim.value()), 20000));
      }};
  const std::string dump = "-r" + dir.file("dump.bin");
  const char* argv[] = {"jtagnand", "-C", "KELDA", dump.c_str(), "-l65536"};
  ::testing::internal::CaptureStderr();
  const int status = jtagnand_main(5, argv, environment);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(status, 2) << console.output();
  EXPECT_EQ(err, "\njtagnand: test wire: cut; run stopped\n");
  EXPECT_NE(console.output().find("Reading from 0x0 offset"), std::string::npos)
      << console.output();
  EXPECT_EQ(testing::read_file(dir.file("dump.bin")), old);
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    static_cast<void>(entry);
    ++files;
  }
  EXPECT_EQ(files, 1);
}

}  // namespace
}  // namespace jtagnand
