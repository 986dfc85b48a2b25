#include "targets/toggle_test.h"

#include <vector>

namespace jtagnand {

namespace {

// Every cell of each register belongs to exactly one class, in the numbers the
// board documentation gives.
static_assert(count_toggle_classes(kKeldaToggleLayout, 298) ==
              ToggleClassCounts{
                  .toggled = 180, .held_high = 107, .chip_selects = 8, .untouched = 3});
static_assert(count_toggle_classes(kRq7220ToggleLayout, 298) == ToggleClassCounts{.toggled = 177,
                                                                                  .held_low = 111,
                                                                                  .held_high = 1,
                                                                                  .chip_selects = 8,
                                                                                  .untouched = 1});
// ZELT: 104 cells in the alternation order, 7 of them pinned high, 81 held low.
static_assert(count_toggle_classes(kZeltToggleLayout, 185) ==
              ToggleClassCounts{.toggled = 97, .held_low = 81, .held_high = 7});

constexpr int32_t kToggleTypeChipSelectsToggle = 1;

void write_runs(BoundaryVector& vector, std::span<const CellRun> runs, char level) {
  for_each_cell(runs, [&](uint32_t cell) { vector[cell] = level; });
}

void write_alternating(BoundaryVector& vector, std::span<const CellRun> order, char first_level) {
  char level = first_level;
  for_each_cell(order, [&](uint32_t cell) {
    vector[cell] = level;
    level = static_cast<char>(level ^ ('0' ^ '1'));
  });
}

void count_down(int32_t from) {
  // Volatile, so the pacing loop is not optimised away.
  volatile int32_t turn = from;
  while (turn >= 0) {
    const int32_t next = turn - 1;
    turn = next;
  }
}

// EXTEST is loaded: drives the layout's cells, one full scan per period, until
// ESC. The TAP and TRST are left as they are on the way out: the pins keep the
// levels of the last scan.
ToggleOutcome toggle_until_esc(ToggleContext& context, BoundaryVector& vector, int32_t type,
                               const ToggleLayout& layout, ToggleStart start) {
  write_runs(vector, layout.held_low, '0');
  write_runs(vector, layout.held_high, '1');

  context.observer.toggle_started(start);

  const bool chip_selects_toggle = type == kToggleTypeChipSelectsToggle;
  char level = '0';
  for (;;) {
    // An observer that never asks to stop (an input that has ended) leaves the
    // test running until the process is stopped.
    if (context.observer.stop_requested()) return ToggleOutcome::kEscPressed;

    if (layout.alternate_along_order) {
      write_alternating(vector, layout.toggled, level);
      write_runs(vector, layout.held_high, '1');
    } else {
      write_runs(vector, layout.toggled, level);
    }
    write_runs(vector, layout.chip_selects, chip_selects_toggle ? level : '1');

    scan_dr(context.cable, context.chain, vector.data(), context.boundary_length);
    context.cable.flush();  // each period reaches the pins before its pause
    level = static_cast<char>(level ^ ('0' ^ '1'));
    count_down(layout.countdown_from);
  }
}

// The built-in CPUs' prescribed start: TRST, TAP reset, EXTEST.
ToggleOutcome run_toggle(ToggleContext& context, BoundaryVector& vector, int32_t type,
                         const ToggleLayout& layout) {
  context.cable.trst_pulse();
  tap_reset(context.cable);
  scan_ir(context.cable, context.chain, kInstructionLength, kInstructionCodes.extest.data());
  return toggle_until_esc(context, vector, type, layout, ToggleStart::kAllPins);
}

// A described board: the flash's pins only, and nothing else the CPU has.
ToggleOutcome described_toggle_test(ToggleContext& context, ActiveProfile& target, int32_t type) {
  const NandCells& cells = target.cells;
  std::vector<CellRun> toggled;
  std::vector<CellRun> held_low;
  std::vector<CellRun> held_high;
  for (const DataLine& line : cells.data) {
    toggled.push_back(cell_runs::one(line.output));
    (line.drive == '1' ? held_high : held_low).push_back(cell_runs::one(line.control));
  }
  for (const uint32_t strobe : {cells.cle, cells.ale, cells.nwe, cells.nre})
    toggled.push_back(cell_runs::one(strobe));
  const std::array chip_select{cell_runs::one(cells.nce)};
  const ToggleLayout layout{
      .toggled = toggled,
      .held_low = held_low,
      .held_high = held_high,
      .chip_selects = chip_select,
  };
  context.cable.trst_pulse();
  tap_reset(context.cable);
  enter_extest(context.cable, target);
  return toggle_until_esc(context, target.vector, type, layout, ToggleStart::kFlashPins);
}

}  // namespace

ToggleOutcome run_profile_toggle_test(ToggleContext& context, ActiveProfile& target, int32_t type) {
  if (target.toggle_test != nullptr) return target.toggle_test(context, target.vector, type);
  return described_toggle_test(context, target, type);
}

ToggleOutcome rq7220_toggle_test(ToggleContext& context, BoundaryVector& vector, int32_t type) {
  return run_toggle(context, vector, type, kRq7220ToggleLayout);
}

ToggleOutcome zelt_toggle_test(ToggleContext& context, BoundaryVector& vector, int32_t type) {
  return run_toggle(context, vector, type, kZeltToggleLayout);
}

ToggleOutcome kelda_toggle_test(ToggleContext& context, BoundaryVector& vector, int32_t type) {
  return run_toggle(context, vector, type, kKeldaToggleLayout);
}

ToggleOutcome tomux_toggle_test(ToggleContext& context, BoundaryVector& /*vector*/,
                                int32_t /*type*/) {
  // No toggle layout is known for this CPU: nothing is driven.
  context.observer.toggle_started(ToggleStart::kNothingToggled);
  return ToggleOutcome::kReturned;
}

}  // namespace jtagnand
