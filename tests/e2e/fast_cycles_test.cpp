// The minimal bus cycles through the parallel port's fast option, under the
// simulated board's strict checker: every CPU, by -C and by its board
// description, a small-page chip with factory marks (spare area through the
// pointer commands) and an ONFI chip, in every mode that touches the flash. The
// console text and the flash are those of the classic traffic; only the
// traffic is smaller.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <regex>

#include "e2e.h"
#include "onfi_pages.h"

namespace jtagnand::testing {
namespace {

// The elapsed times differ from run to run, and each run has its own dump file.
std::string without_times_and_dump_names(const std::string& text) {
  return std::regex_replace(std::regex_replace(text, std::regex(R"(\d+\[min\] \d+\[sec\])"), ""),
                            std::regex(R"(read into \S+)"), "");
}

// The port writes of a run, from its stats line.
uint64_t port_writes(const std::string& err) {
  std::smatch m;
  if (!std::regex_search(err, m, std::regex(R"(sim: writes=(\d+) )"))) return 0;
  return std::stoull(m[1]);
}

struct Outcome {
  ProgramResult program;
  ProgramResult dump;
  ProgramResult verify;
  std::vector<unsigned char> flash;
  std::vector<unsigned char> dumped;
};

// Programs `image` at block 1 with -m, dumps it back with -m, verifies it with
// -v: each run on a fresh flash file beside the others.
Outcome three_modes(TempDir& dir, const std::string& name, const std::string& sim,
                    const std::vector<std::string>& cpu, const std::vector<unsigned char>& image) {
  const std::string flash = dir.file(name + ".bin");
  const std::string image_path = dir.file("image.bin");
  const std::string dump_path = dir.file(name + ".dump");
  write_file(image_path, image);
  const std::string port = sim + ",stats,strict,flash=" + flash;
  auto args = [&](std::vector<std::string> mode) {
    std::vector<std::string> all = cpu;
    all.insert(all.end(), mode.begin(), mode.end());
    return all;
  };
  Outcome o;
  o.program = jtagnand(port, args({"-f" + image_path, "-b", "1", "-m"}));
  o.dump =
      jtagnand(port, args({"-r" + dump_path, "-b", "1", "-m", "-l", std::to_string(image.size())}));
  o.verify = jtagnand(port, args({"-v", "-f" + image_path, "-b", "1", "-m"}));
  o.flash = read_file(flash);
  o.dumped = read_file(dump_path);
  return o;
}

void expect_same_runs(const Outcome& classic, const Outcome& fast,
                      const std::vector<unsigned char>& image) {
  for (const auto* r : {&fast.program, &fast.dump, &fast.verify}) {
    EXPECT_EQ(r->exit_status, 0) << r->out << r->err;
    EXPECT_TRUE(contains(r->err, "violations=0\n")) << r->err;
  }
  EXPECT_TRUE(contains(fast.program.out, "\nVerify GOOD!!\n")) << fast.program.out;
  EXPECT_EQ(without_times_and_dump_names(fast.program.out),
            without_times_and_dump_names(classic.program.out));
  EXPECT_EQ(without_times_and_dump_names(fast.dump.out),
            without_times_and_dump_names(classic.dump.out));
  EXPECT_EQ(without_times_and_dump_names(fast.verify.out),
            without_times_and_dump_names(classic.verify.out));
  EXPECT_EQ(fast.flash, classic.flash);
  EXPECT_EQ(fast.dumped, image);
  // Four scans per byte programmed and verified instead of five, each two
  // clocks shorter.
  EXPECT_LT(port_writes(fast.program.err), port_writes(classic.program.err) * 81 / 100)
      << fast.program.err << classic.program.err;
}

TEST(FastCycles, EveryCpuByNameAndByItsBoardDescription) {
  TempDir dir;
  // Block 2 carries a factory mark: the image steps over it.
  const auto image = test_pattern(16384 + 700, 9);
  for (const std::string cpu : {"RQ7220", "ZELT", "KELDA", "TOMUX"}) {
    SCOPED_TRACE(cpu);
    std::string file = cpu;
    std::transform(file.begin(), file.end(), file.begin(), ::tolower);
    const std::string description =
        "-T" + std::string(JTAGNAND_TEST_DATA) + "/boards/" + file + ".board";
    const std::string sim = "sim:cpu=" + cpu + ",nand=0x76,marked=2";
    const Outcome classic = three_modes(dir, cpu + "-classic", sim, {"-C", cpu}, image);
    ASSERT_EQ(classic.program.exit_status, 0) << classic.program.out;
    EXPECT_TRUE(contains(classic.program.out, "Factory-marked bad block at 0x8000, skipped"))
        << classic.program.out;
    expect_same_runs(classic, three_modes(dir, cpu + "-fast", sim + ",fast", {"-C", cpu}, image),
                     image);
    expect_same_runs(
        classic, three_modes(dir, cpu + "-described", sim + ",fast", {description}, image), image);
  }
}

TEST(FastCycles, OnfiChip) {
  TempDir dir;
  const auto page = onfi_page(kW29N01HZ.facts);
  write_file(dir.file("onfi.bin"), page);
  const auto image = test_pattern(128 * 1024 + 2048 + 100, 5);
  const std::string sim =
      "sim:cpu=KELDA,id=" + kW29N01HZ.id + ",onfi=" + dir.file("onfi.bin") + ",marked=2";
  const Outcome classic = three_modes(dir, "classic", sim, {"-C", "KELDA"}, image);
  ASSERT_EQ(classic.program.exit_status, 0) << classic.program.out;
  expect_same_runs(classic, three_modes(dir, "fast", sim + ",fast", {"-C", "KELDA"}, image), image);
}

TEST(FastCycles, SpelledOnEveryParallelPortSetting) {
  // The IDCODE check touches no flash: the same traffic either way.
  for (const std::string port :
       {"sim:cpu=KELDA,stats", "sim:fast,cpu=KELDA,stats", "sim:cpu=KELDA,fast,stats"}) {
    const ProgramResult r = jtagnand(port, {"-C", "KELDA", "-j"});
    EXPECT_EQ(r.exit_status, 0) << port;
    EXPECT_TRUE(contains(r.err, "sim: writes=125 reads=33 ir_scans=1 dr_scans=1 violations=0\n"))
        << port << r.err;
  }
  // Without a parallel port here, direct and ppdev are refused at the port,
  // not at the setting; a word other than fast is not understood.
  for (const std::string port : {"direct:slow", "auto:fast,fast2", "direct:", "ppdev:"}) {
    const ProgramResult r = jtagnand(port, {"-C", "KELDA", "-j"});
    EXPECT_EQ(r.exit_status, 1) << port;
    EXPECT_TRUE(contains(r.err, "is not understood")) << port << r.err;
  }
}

}  // namespace
}  // namespace jtagnand::testing
