// The toggle test of a described board, watched at every Update-DR of a
// simulated board built from the same files: the pins come up through
// PRELOAD, and only the flash's pins move.

#include "targets/described_profile.h"

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "cables/lpt_cable.h"
#include "driver/console_observer.h"
#include "scripted_console.h"
#include "sim/sim_board.h"
#include "targets/toggle_test.h"
#include "test_boards.h"
#include "test_files.h"

namespace jtagnand {
namespace {

using testing::differing;
using testing::kTestCpu;

// D0-D7 and the four strobes toggle, nCE stays high (the flash sees no cycle),
// WP stays held, and nothing else leaves the safe state of the preload.
TEST(DescribedProfile, ToggleTestDrivesOnlyTheNamedPinsAfterASafePreload) {
  testing::TempDir dir;
  testing::write_text(dir.file("wide.bsd"), testing::test_cpu_bsdl());
  testing::write_text(dir.file("wide.board"), testing::test_board_description("wide.bsd", "", "4"));
  sim::SimOptions options;
  options.board_path = dir.file("wide.board");
  std::string error;
  const auto port = sim::make_sim_port(options, error);
  ASSERT_TRUE(port) << error;
  std::vector<std::string> updates;
  std::vector<uint8_t> instructions;
  port->board().set_update_observer([&](std::string_view cells) { updates.emplace_back(cells); });
  port->board().set_instruction_observer([&](uint8_t code) { instructions.push_back(code); });
  ActiveProfile active;
  ASSERT_TRUE(load_described_profile(active, dir.file("wide.board"), error)) << error;
  LptCable cable{port.get(), port->base()};

  testing::ScriptedConsole console("xyz\x1b");
  ConsoleObserver observer{console};
  ToggleContext context{cable, observer, active.boundary_length(), active.chain};
  ASSERT_EQ(run_profile_toggle_test(context, active, 2), ToggleOutcome::kEscPressed);
  EXPECT_EQ(instructions,
            (std::vector<uint8_t>{testing::kTestCpuPreload, testing::kTestCpuExtest}));
  ASSERT_EQ(updates.size(), 4u);  // the preload, then three periods
  EXPECT_EQ(updates[0], active.safe_vector);
  ASSERT_EQ(updates[0].size(), 600u);

  std::set<uint32_t> toggled(kTestCpu.data_out.begin(), kTestCpu.data_out.end());
  toggled.insert({kTestCpu.cle, kTestCpu.ale, kTestCpu.nwe, kTestCpu.nre});
  EXPECT_EQ(differing(updates[1], updates[2]), toggled);
  EXPECT_EQ(differing(updates[2], updates[3]), toggled);
  std::set<uint32_t> named = toggled;
  named.insert(kTestCpu.data_control.begin(), kTestCpu.data_control.end());
  named.insert({kTestCpu.nce, kTestCpu.nce_control, kTestCpu.ale_control, kTestCpu.strobe_control,
                kTestCpu.wp, kTestCpu.wp_control});
  for (std::size_t n = 1; n < updates.size(); ++n) {
    for (const uint32_t cell : differing(updates[0], updates[n]))
      EXPECT_TRUE(named.count(cell)) << cell;
    EXPECT_EQ(updates[n][kTestCpu.nce], '1');
    EXPECT_EQ(updates[n][kTestCpu.wp], '1');
    for (std::size_t k = 0; k < 8; ++k)  // driving: 0 on D0-D3's controls, 1 on D4-D7's
      EXPECT_EQ(updates[n][kTestCpu.data_control[k]], k < 4 ? '0' : '1') << k;
  }
  EXPECT_EQ(port->board().nand_counts().address_bytes, 0u);
  EXPECT_EQ(port->board().violations(), 0u);
}

}  // namespace
}  // namespace jtagnand
