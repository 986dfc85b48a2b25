// Profiles built from board descriptions: the same cells as the built-in
// profiles for the four data files, the pins brought up through PRELOAD, and a
// toggle test that drives only the flash's pins, watched at every Update-DR
// of a simulated board built from the same files.

#include "targets/described_profile.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "cables/lpt_cable.h"
#include "scripted_console.h"
#include "sim/sim_board.h"
#include "targets/toggle_test.h"
#include "test_boards.h"
#include "test_files.h"

namespace jtagnand {
namespace {

using testing::kTestCpu;

constexpr char kEsc[] = "\x1b";

// The data files of the four built-in CPUs give the cells, levels and codes of
// the built-in profiles, written independently of them.
TEST(DescribedProfile, TheFourDataFilesGiveTheBuiltInProfilesCells) {
  const std::pair<const char*, const char*> cpus[] = {{"RQ7220", "rq7220.board"},
                                                      {"ZELT", "zelt.board"},
                                                      {"KELDA", "kelda.board"},
                                                      {"TOMUX", "tomux.board"}};
  for (const auto& [name, file] : cpus) {
    SCOPED_TRACE(name);
    ActiveProfile builtin;
    ASSERT_EQ(select_cpu_profile(builtin, name), 0);
    ActiveProfile described;
    std::string error;
    ASSERT_TRUE(load_described_profile(described,
                                       std::string(JTAGNAND_TEST_DATA) + "/boards/" + file, error))
        << error;
    EXPECT_EQ(described.profile, nullptr);
    const NandCells& b = builtin.cells;
    const NandCells& d = described.cells;
    EXPECT_EQ(std::vector<uint32_t>({d.nce, d.nwe, d.nre, d.rnb, d.cle, d.ale}),
              std::vector<uint32_t>({b.nce, b.nwe, b.nre, b.rnb, b.cle, b.ale}));
    // The eight control cells switch together, so only which they are counts:
    // KELDA's table lists them upward while its data bits run downward.
    std::set<uint32_t> builtin_controls;
    std::set<uint32_t> described_controls;
    for (std::size_t k = 0; k < 8; ++k) {
      const DataLine& bl = b.data[k];
      const DataLine& dl = d.data[k];
      EXPECT_EQ(std::vector<uint32_t>({dl.output, dl.input}),
                std::vector<uint32_t>({bl.output, bl.input}))
          << k;
      EXPECT_EQ(std::string({dl.drive, dl.listen}), std::string({bl.drive, bl.listen})) << k;
      builtin_controls.insert(bl.control);
      described_controls.insert(dl.control);
    }
    EXPECT_EQ(described_controls, builtin_controls);
    EXPECT_EQ(described.instruction_length, builtin.instruction_length);
    EXPECT_EQ(described.extest_instruction, builtin.extest_instruction);
    EXPECT_EQ(described.idcode_instruction, builtin.idcode_instruction);
    EXPECT_EQ(described.expected_idcode, builtin.expected_idcode);
    EXPECT_EQ(described.boundary_length(), builtin.boundary_length());
    EXPECT_TRUE(described.chain.alone());
  }
}

// The test CPU's board: files in a scratch folder, the simulated board built
// from them, the run's profile loaded from them, and what the board saw.
class TestCpuBoard {
 public:
  explicit TestCpuBoard(const std::string& tdo_side = {}) {
    const std::string description = dir_.file("wide.board");
    testing::write_text(dir_.file("wide.bsd"), testing::test_cpu_bsdl());
    testing::write_text(description, testing::test_board_description("wide.bsd", {}, tdo_side));
    sim::SimOptions options;
    options.board_path = description;
    std::string error;
    port_ = sim::make_sim_port(options, error);
    if (!port_) throw std::runtime_error(error);
    port_->board().set_update_observer(
        [this](std::string_view latches) { updates.emplace_back(latches); });
    port_->board().set_instruction_observer(
        [this](uint8_t instruction) { instructions.push_back(instruction); });
    if (!load_described_profile(active, description, error)) throw std::runtime_error(error);
    cable_ = LptCable{port_.get(), port_->base()};
    cable_.set_chain(active.chain);
  }

  [[nodiscard]] Cable& cable() { return cable_; }
  [[nodiscard]] const sim::SimBoard& board() const { return port_->board(); }

  ActiveProfile active;
  std::vector<std::string> updates;
  std::vector<uint8_t> instructions;

 private:
  testing::TempDir dir_;
  std::unique_ptr<sim::SimPort> port_;
  LptCable cable_;
};

TEST(DescribedProfile, ExtestComesAfterThePinsArePreloadedSafe) {
  TestCpuBoard b("4");  // a bypassed device between the CPU and TDO
  ASSERT_EQ(b.active.boundary_length(), 600u);
  ASSERT_EQ(b.active.safe_vector.size(), 600u);
  tap_reset(b.cable());
  enter_extest(b.cable(), b.active);
  EXPECT_EQ(b.instructions,
            (std::vector<uint8_t>{testing::kTestCpuPreload, testing::kTestCpuExtest}));
  ASSERT_EQ(b.updates.size(), 1u);
  EXPECT_EQ(b.updates[0], b.active.safe_vector);
  // Every control cell holds its disable value: the flash's lines float.
  EXPECT_EQ(b.updates[0][kTestCpu.nce_control], '0');
  EXPECT_EQ(b.updates[0][kTestCpu.data_control[0]], '1');
  EXPECT_EQ(b.updates[0][kTestCpu.data_control[7]], '0');
  EXPECT_EQ(b.updates[0][kTestCpu.wp_control], '0');
}

std::set<uint32_t> differing(const std::string& a, const std::string& b) {
  std::set<uint32_t> cells;
  for (uint32_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i]) cells.insert(i);
  return cells;
}

// With -t on a board nobody has described beyond the flash, only the flash's
// pins move: D0-D7 and the four strobes toggle, nCE stays high (so the flash
// sees no cycle), WP stays held, and nothing else leaves the safe state.
TEST(DescribedProfile, ToggleTestDrivesOnlyTheNamedPins) {
  TestCpuBoard b;
  testing::ScriptedConsole console(std::string("xyz") + kEsc);
  ToggleContext context{b.cable(), console, b.active.boundary_length()};
  ASSERT_EQ(run_profile_toggle_test(context, b.active, 2), ToggleOutcome::kEscPressed);
  EXPECT_EQ(console.output(),
            "\nOutput toggled value to the flash pins of the board description:\n"
            " D0-D7, CLE, ALE, nWE, nRE (nCE held high)\n Enter ESC to EXIT\n");
  EXPECT_EQ(b.instructions,
            (std::vector<uint8_t>{testing::kTestCpuPreload, testing::kTestCpuExtest}));
  ASSERT_EQ(b.updates.size(), 4u);  // the preload, then three periods
  const std::string& safe = b.updates[0];

  std::set<uint32_t> toggled(kTestCpu.data_out.begin(), kTestCpu.data_out.end());
  toggled.insert({kTestCpu.cle, kTestCpu.ale, kTestCpu.nwe, kTestCpu.nre});
  EXPECT_EQ(differing(b.updates[1], b.updates[2]), toggled);
  EXPECT_EQ(differing(b.updates[2], b.updates[3]), toggled);

  // Away from the safe state: those, the controls that enable them, nCE and
  // the held WP, and nothing else.
  std::set<uint32_t> named = toggled;
  named.insert(kTestCpu.data_control.begin(), kTestCpu.data_control.end());
  named.insert({kTestCpu.nce, kTestCpu.nce_control, kTestCpu.ale_control, kTestCpu.strobe_control,
                kTestCpu.wp, kTestCpu.wp_control});
  for (std::size_t n = 1; n < b.updates.size(); ++n) {
    SCOPED_TRACE(n);
    const std::string& period = b.updates[n];
    for (const uint32_t cell : differing(safe, period)) EXPECT_TRUE(named.count(cell)) << cell;
    EXPECT_EQ(period[kTestCpu.nce], '1');
    EXPECT_EQ(period[kTestCpu.wp], '1');
    for (std::size_t k = 0; k < 4; ++k) EXPECT_EQ(period[kTestCpu.data_control[k]], '0') << k;
    for (std::size_t k = 4; k < 8; ++k) EXPECT_EQ(period[kTestCpu.data_control[k]], '1') << k;
  }
  // The flash stayed deselected: it took no command, and saw no violation.
  EXPECT_EQ(b.board().nand_counts().commands[0xFF], 0u);
  EXPECT_EQ(b.board().nand_counts().address_bytes, 0u);
  EXPECT_EQ(b.board().violations(), 0u);
  EXPECT_TRUE(b.board().net(sim::Net::kNce));
}

}  // namespace
}  // namespace jtagnand
