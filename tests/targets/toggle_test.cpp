// The pin toggle tests on the simulated board: what the boundary register
// holds at each Update-DR, and which flash nets follow.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "cables/lpt_cable.h"
#include "driver/console_observer.h"
#include "jtag/tap.h"
#include "recording_port.h"
#include "scripted_console.h"
#include "sim/sim_board.h"
#include "targets/profile.h"
#include "test_files.h"

namespace jtagnand {
namespace {

using testing::differing;
using testing::RecordingPort;
using testing::ScriptedConsole;

constexpr char kEsc[] = "\x1b";
constexpr int32_t kTypeHoldChipSelects = 2;
constexpr int32_t kTypeToggleChipSelects = 1;
constexpr char kMessage[] = "\nOutput toggled value to all pin\n Enter ESC to EXIT\n";

// One CPU on the simulated board, its run profile, and every Update-DR the
// board saw.
class Board {
 public:
  Board(const char* name, sim::Cpu cpu) {
    sim::SimOptions options;
    options.cpu = cpu;
    std::string error;
    port_ = sim::make_sim_port(options, error);
    if (!port_) throw std::runtime_error(error);
    port_->board().set_update_observer(
        [this](std::string_view latches) { updates.emplace_back(latches); });
    port_->board().set_instruction_observer(
        [this](uint8_t instruction) { instructions.push_back(instruction); });
    cable_ = {port_.get(), port_->base()};
    if (select_cpu_profile(active, name) != 0) throw std::runtime_error(name);
    default_cells = std::string(active.vector.data(), active.vector.length);
  }

  ToggleOutcome toggle(std::string keys, int32_t type) {
    ScriptedConsole console(std::move(keys));
    const ToggleOutcome outcome = toggle(console, type);
    output = console.output();
    keys_read = console.keys_read();
    return outcome;
  }

  ToggleOutcome toggle(Console& console, int32_t type) {
    ConsoleObserver observer{console};
    ToggleContext context{cable_, observer, active.boundary_length(), active.chain};
    return active.toggle_test(context, active.vector, type);
  }

  [[nodiscard]] const sim::SimBoard& board() const { return port_->board(); }

  ActiveProfile active;
  std::string default_cells;
  std::vector<std::string> updates;
  std::vector<uint8_t> instructions;
  std::string output;
  size_t keys_read = 0;

 private:
  std::unique_ptr<sim::SimPort> port_;
  LptCable cable_;
};

size_t count_of(const std::string& cells, const std::set<uint32_t>& which, char level) {
  return static_cast<size_t>(
      std::count_if(which.begin(), which.end(), [&](uint32_t c) { return cells[c] == level; }));
}

struct Cpu {
  const char* name;
  sim::Cpu cpu;
};
constexpr Cpu kDriving[] = {
    {"RQ7220", sim::Cpu::kRq7220}, {"ZELT", sim::Cpu::kZelt}, {"KELDA", sim::Cpu::kKelda}};

TEST(ToggleTest, EscAlreadyWaitingEndsBeforeAnyDataScan) {
  for (const Cpu& cpu : kDriving) {
    SCOPED_TRACE(cpu.name);
    RecordingPort port;
    LptCable cable{&port, 0x378};
    ActiveProfile active;
    ASSERT_EQ(select_cpu_profile(active, cpu.name), 0);
    ScriptedConsole console(kEsc);
    ConsoleObserver observer{console};
    ToggleContext context{cable, observer, active.boundary_length(), active.chain};
    EXPECT_EQ(active.toggle_test(context, active.vector, kTypeHoldChipSelects),
              ToggleOutcome::kEscPressed);
    EXPECT_EQ(console.output(), kMessage);

    // TRST pulse, TAP reset, EXTEST load, and nothing else.
    RecordingPort expected;
    LptCable expected_cable{&expected, 0x378};
    cable_trst_pulse(expected_cable);
    tap_reset(expected_cable);
    scan_ir(expected_cable, Chain{}, 4, "0000");
    EXPECT_EQ(port.accesses(), expected.accesses());
  }
}

TEST(ToggleTest, TomuxOnlyAnnouncesItself) {
  RecordingPort port;
  LptCable cable{&port, 0x378};
  ActiveProfile active;
  ASSERT_EQ(select_cpu_profile(active, "TOMUX"), 0);
  ScriptedConsole console(kEsc);
  ConsoleObserver observer{console};
  ToggleContext context{cable, observer, active.boundary_length(), active.chain};
  EXPECT_EQ(active.toggle_test(context, active.vector, kTypeHoldChipSelects),
            ToggleOutcome::kReturned);
  EXPECT_EQ(console.output(), "TOMUX BOUNDARY TEST\n");
  EXPECT_TRUE(port.accesses().empty());
  EXPECT_EQ(console.keys_read(), 0u);
  EXPECT_EQ(std::string(active.vector.data(), active.vector.length),
            cpu_profiles()[2]->default_vector);
}

TEST(ToggleTest, OtherKeysAreDroppedAndEachPeriodIsOneScanInExtest) {
  for (const Cpu& cpu : kDriving) {
    SCOPED_TRACE(cpu.name);
    Board b(cpu.name, cpu.cpu);
    EXPECT_EQ(b.toggle(std::string("ab q") + kEsc, kTypeHoldChipSelects),
              ToggleOutcome::kEscPressed);
    EXPECT_EQ(b.keys_read, 5u);
    EXPECT_EQ(b.updates.size(), 4u);
    EXPECT_EQ(b.instructions, std::vector<uint8_t>{0x0});  // EXTEST, loaded once
    EXPECT_EQ(b.output, kMessage);
    // Every period inverts the same cells.
    ASSERT_EQ(b.updates.size(), 4u);
    EXPECT_EQ(b.updates[0], b.updates[2]);
    EXPECT_EQ(b.updates[1], b.updates[3]);
  }
}

// Input that has ended shows no key: the test keeps toggling. Here ESC only
// turns up at the sixth poll, after five periods without a key.
TEST(ToggleTest, NoKeyMeansTheNextPeriod) {
  class LateEsc final : public Console {
   public:
    void write(std::string_view) override {}
    [[nodiscard]] bool key_waiting() override { return ++polls >= 6; }
    [[nodiscard]] int read_key() override { return kKeyEsc; }
    [[nodiscard]] bool input_ended() override { return polls < 6; }
    int polls = 0;
  };
  Board b("KELDA", sim::Cpu::kKelda);
  LateEsc console;
  EXPECT_EQ(b.toggle(console, kTypeHoldChipSelects), ToggleOutcome::kEscPressed);
  EXPECT_EQ(console.polls, 6);
  EXPECT_EQ(b.updates.size(), 5u);
}

TEST(ToggleTest, Kelda) {
  Board b("KELDA", sim::Cpu::kKelda);
  ASSERT_EQ(b.toggle(std::string("ab") + kEsc, kTypeHoldChipSelects), ToggleOutcome::kEscPressed);
  ASSERT_EQ(b.updates.size(), 2u);
  const std::string& first = b.updates[0];
  const std::string& second = b.updates[1];

  const std::set<uint32_t> toggled = differing(first, second);
  EXPECT_EQ(toggled.size(), 180u);
  EXPECT_EQ(count_of(first, toggled, '0'), 180u);
  EXPECT_EQ(count_of(second, toggled, '1'), 180u);
  for (const uint32_t cell : {1u, 11u, 57u, 152u, 166u, 168u, 170u, 187u, 295u})
    EXPECT_TRUE(toggled.count(cell)) << cell;
  // Everything else is held high, except three cells nobody writes.
  for (uint32_t cell = 0; cell < 298; ++cell) {
    if (toggled.count(cell)) continue;
    const char want = (cell == 0 || cell == 186 || cell == 297) ? b.default_cells[cell] : '1';
    EXPECT_EQ(first[cell], want) << cell;
  }
  // Chip selects stay inactive.
  for (const uint32_t cell : {82u, 150u, 177u, 178u, 180u, 182u, 184u, 261u})
    EXPECT_EQ(first[cell], '1') << cell;
}

TEST(ToggleTest, Rq7220) {
  Board b("RQ7220", sim::Cpu::kRq7220);
  ASSERT_EQ(b.toggle(std::string("ab") + kEsc, kTypeHoldChipSelects), ToggleOutcome::kEscPressed);
  ASSERT_EQ(b.updates.size(), 2u);
  const std::string& first = b.updates[0];
  const std::string& second = b.updates[1];

  const std::set<uint32_t> toggled = differing(first, second);
  EXPECT_EQ(toggled.size(), 177u);
  EXPECT_EQ(count_of(first, toggled, '0'), 177u);
  EXPECT_EQ(count_of(second, toggled, '1'), 177u);
  std::set<uint32_t> high;
  for (uint32_t cell = 0; cell < 298; ++cell)
    if (!toggled.count(cell) && first[cell] == '1') high.insert(cell);
  EXPECT_EQ(high, (std::set<uint32_t>{116, 118, 120, 122, 124, 126, 127, 128, 131}));
  EXPECT_EQ(first[0], b.default_cells[0]);
  EXPECT_EQ(298u - toggled.size() - high.size() - 1, 111u);  // held low
}

TEST(ToggleTest, ZeltAlternatesAlongItsOrder) {
  Board b("ZELT", sim::Cpu::kZelt);
  // ZELT has no separate chip selects: the type changes nothing.
  for (const int32_t type : {kTypeHoldChipSelects, kTypeToggleChipSelects}) {
    SCOPED_TRACE(type);
    b.updates.clear();
    ASSERT_EQ(b.toggle(std::string("ab") + kEsc, type), ToggleOutcome::kEscPressed);
    ASSERT_EQ(b.updates.size(), 2u);
    const std::string& first = b.updates[0];
    const std::string& second = b.updates[1];

    EXPECT_EQ(first.substr(0, 17), "01010101010101010");
    EXPECT_EQ(std::string({first[17], first[19], first[21]}), "101");
    const std::set<uint32_t> toggled = differing(first, second);
    EXPECT_EQ(toggled.size(), 97u);
    for (const uint32_t cell : {39u, 41u, 51u, 53u, 55u, 57u, 59u}) {
      EXPECT_EQ(first[cell], '1') << cell;
      EXPECT_EQ(second[cell], '1') << cell;
    }
    size_t held_low = 0;
    for (uint32_t cell = 0; cell < 185; ++cell)
      if (!toggled.count(cell) && first[cell] == '0') ++held_low;
    EXPECT_EQ(held_low, 81u);
  }
}

TEST(ToggleTest, TypeOneTogglesTheChipSelectsToo) {
  struct Case {
    Cpu cpu;
    std::vector<uint32_t> chip_selects;
    size_t toggled;
  };
  const Case cases[] = {
      {{"RQ7220", sim::Cpu::kRq7220}, {116, 118, 120, 122, 124, 126, 127, 128}, 177},
      {{"KELDA", sim::Cpu::kKelda}, {82, 150, 177, 178, 180, 182, 184, 261}, 180},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cpu.name);
    Board b(c.cpu.name, c.cpu.cpu);
    ASSERT_EQ(b.toggle(std::string("ab") + kEsc, kTypeToggleChipSelects),
              ToggleOutcome::kEscPressed);
    ASSERT_EQ(b.updates.size(), 2u);
    const std::set<uint32_t> toggled = differing(b.updates[0], b.updates[1]);
    EXPECT_EQ(toggled.size(), c.toggled + 8);
    for (const uint32_t cell : c.chip_selects) {
      EXPECT_EQ(b.updates[0][cell], '0') << cell;
      EXPECT_EQ(b.updates[1][cell], '1') << cell;
    }
  }
}

TEST(ToggleTest, CellsLeftAloneKeepWhatTheVectorHeld) {
  struct Case {
    Cpu cpu;
    std::vector<uint32_t> untouched;
  };
  const Case cases[] = {{{"RQ7220", sim::Cpu::kRq7220}, {0}},
                        {{"KELDA", sim::Cpu::kKelda}, {0, 186, 297}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cpu.name);
    Board b(c.cpu.name, c.cpu.cpu);
    for (const uint32_t cell : c.untouched)
      b.active.vector[cell] = b.active.vector[cell] == '0' ? '1' : '0';
    ASSERT_EQ(b.toggle(std::string("a") + kEsc, kTypeHoldChipSelects), ToggleOutcome::kEscPressed);
    ASSERT_EQ(b.updates.size(), 1u);
    for (const uint32_t cell : c.untouched)
      EXPECT_NE(b.updates[0][cell], b.default_cells[cell]) << cell;
  }
}

TEST(ToggleTest, FlashLinesFollowThePeriodLevel) {
  // The board's own wiring, after one and after two periods. RQ7220 and KELDA
  // drive every flash line at the period's level; ZELT alternates along its
  // cell order. With nCE and nRE both low the flash may drive the data lines
  // itself, so the bus is only looked at when it cannot.
  struct Case {
    Cpu cpu;
    const char* keys;
    bool nce, cle, ale, nwe, nre;
    int data;  // -1: not checked
  };
  const Case cases[] = {
      {kDriving[0], "a", false, false, false, false, false, -1},
      {kDriving[0], "ab", true, true, true, true, true, 0xFF},
      {kDriving[2], "a", false, false, false, false, false, -1},
      {kDriving[2], "ab", true, true, true, true, true, 0xFF},
      {kDriving[1], "a", false, false, true, false, true, 0x55},
      {kDriving[1], "ab", true, true, false, true, false, 0xAA},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.cpu.name) + " after " + c.keys);
    Board b(c.cpu.name, c.cpu.cpu);
    ASSERT_EQ(b.toggle(std::string(c.keys) + kEsc, kTypeHoldChipSelects),
              ToggleOutcome::kEscPressed);
    EXPECT_EQ(b.board().net(sim::Net::kNce), c.nce);
    EXPECT_EQ(b.board().net(sim::Net::kCle), c.cle);
    EXPECT_EQ(b.board().net(sim::Net::kAle), c.ale);
    EXPECT_EQ(b.board().net(sim::Net::kNwe), c.nwe);
    EXPECT_EQ(b.board().net(sim::Net::kNre), c.nre);
    if (c.data >= 0) {
      EXPECT_EQ(b.board().data_bus(), c.data);
    }
  }
}

}  // namespace
}  // namespace jtagnand
