#pragma once

// Cell classes of the pin toggle tests, and the routines that drive them. The
// built-in CPUs' routines are named in their profiles; a described
// board's test drives only the pins its description names. Everything else
// reaches them through run_profile_toggle_test.

#include <array>
#include <cstdint>
#include <span>

#include "targets/profile.h"

namespace jtagnand {

// Cells first, first + stride, ... up to and including last.
struct CellRun {
  uint32_t first;
  uint32_t last;
  uint32_t stride;
};

namespace cell_runs {
// a-b: every cell from a to b.
constexpr CellRun span(uint32_t a, uint32_t b) {
  return {a, b, 1};
}
constexpr CellRun one(uint32_t a) {
  return {a, a, 1};
}
// even a-b / odd a-b: the even or the odd cells from a to b.
constexpr CellRun even(uint32_t a, uint32_t b) {
  return {a + a % 2u, b, 2};
}
constexpr CellRun odd(uint32_t a, uint32_t b) {
  return {a + 1u - a % 2u, b, 2};
}
}  // namespace cell_runs

template <typename Visit>
constexpr void for_each_cell(std::span<const CellRun> runs, Visit&& visit) {
  for (const CellRun& run : runs)
    for (uint32_t cell = run.first; cell <= run.last; cell += run.stride) visit(cell);
}

// How one CPU's register is driven during the toggle test. A class a CPU does
// not have stays empty.
struct ToggleLayout {
  // Cells that follow the period's level. With alternate_along_order they take
  // alternate levels in the order listed, starting with the period's level.
  std::span<const CellRun> toggled;
  bool alternate_along_order = false;
  // Output enables and the like: one fixed level for the pin to drive at all.
  // held_high is written after the toggled cells, so it wins where they meet.
  std::span<const CellRun> held_low = {};
  std::span<const CellRun> held_high = {};
  // Chip-select outputs: kept inactive ('1') unless the toggle type is 1.
  std::span<const CellRun> chip_selects = {};
  // Never written; they keep whatever the vector holds.
  std::span<const CellRun> untouched = {};
  // Empty count-down loop after each scan, from this value through 0 (ZELT's
  // routine paces itself with a shorter one).
  int32_t countdown_from = 0x10000;
};

namespace toggle_cells {
using namespace cell_runs;

inline constexpr std::array kKeldaToggled{
    one(1),         one(2),         one(4),         one(6),         one(8),
    one(10),        span(11, 57),   one(59),        one(60),        one(62),
    one(63),        even(64, 80),   even(84, 148),  even(152, 168), one(170),
    one(171),       one(173),       one(175),       one(176),       odd(187, 221),
    span(223, 239), even(240, 254), span(256, 260), span(262, 264), odd(265, 295)};
inline constexpr std::array kKeldaHeldHigh{
    odd(3, 9), one(58),       one(61),        odd(65, 169),  one(172),
    one(174),  odd(179, 185), even(188, 222), odd(241, 255), even(266, 296)};
inline constexpr std::array kKeldaChipSelects{one(82),  one(150), one(177), one(178),
                                              one(180), one(182), one(184), one(261)};
inline constexpr std::array kKeldaUntouched{one(0), one(186), one(297)};

inline constexpr std::array kRq7220Toggled{
    span(1, 7),     even(8, 76),   one(78),        one(79),        span(81, 95),   even(96, 114),
    one(129),       one(133),      one(135),       span(137, 142), span(144, 158), odd(159, 225),
    span(227, 236), odd(237, 245), span(246, 255), span(257, 265), even(266, 296)};
inline constexpr std::array kRq7220HeldLow{
    odd(9, 77), one(80),  odd(97, 125),   one(130),       one(132), one(134),
    one(136),   one(143), even(160, 226), even(238, 244), one(256), odd(267, 297)};
inline constexpr std::array kRq7220HeldHigh{one(131)};
inline constexpr std::array kRq7220ChipSelects{one(116), one(118), one(120), one(122),
                                               one(124), one(126), one(127), one(128)};
inline constexpr std::array kRq7220Untouched{one(0)};

// ZELT's toggled cells in the order the alternation runs along.
inline constexpr std::array kZeltOrder{span(0, 16), odd(17, 41), span(43, 48), odd(49, 183)};
inline constexpr std::array kZeltHeldHigh{one(39), one(41), odd(51, 59)};
inline constexpr std::array kZeltHeldLow{even(18, 42), even(50, 184)};
}  // namespace toggle_cells

inline constexpr ToggleLayout kKeldaToggleLayout{
    .toggled = toggle_cells::kKeldaToggled,
    .held_high = toggle_cells::kKeldaHeldHigh,
    .chip_selects = toggle_cells::kKeldaChipSelects,
    .untouched = toggle_cells::kKeldaUntouched,
};

inline constexpr ToggleLayout kRq7220ToggleLayout{
    .toggled = toggle_cells::kRq7220Toggled,
    .held_low = toggle_cells::kRq7220HeldLow,
    .held_high = toggle_cells::kRq7220HeldHigh,
    .chip_selects = toggle_cells::kRq7220ChipSelects,
    .untouched = toggle_cells::kRq7220Untouched,
};

inline constexpr ToggleLayout kZeltToggleLayout{
    .toggled = toggle_cells::kZeltOrder,
    .alternate_along_order = true,
    .held_low = toggle_cells::kZeltHeldLow,
    .held_high = toggle_cells::kZeltHeldHigh,
    .countdown_from = 0x2000,
};

// How many cells of a register of `length` cells fall into each class.
// `multiply_claimed` counts cells in more than one class (a held_high cell
// inside an alternating order is counted as held only), `unclaimed` cells in
// none, `out_of_range` list entries at or past `length`.
struct ToggleClassCounts {
  uint32_t toggled = 0;
  uint32_t held_low = 0;
  uint32_t held_high = 0;
  uint32_t chip_selects = 0;
  uint32_t untouched = 0;
  uint32_t multiply_claimed = 0;
  uint32_t unclaimed = 0;
  uint32_t out_of_range = 0;
  constexpr bool operator==(const ToggleClassCounts&) const = default;
};

constexpr ToggleClassCounts count_toggle_classes(const ToggleLayout& layout, uint32_t length) {
  ToggleClassCounts counts;
  std::array<uint8_t, kMaxBoundaryLength> claims{};
  std::array<bool, kMaxBoundaryLength> in_order{};
  const auto claim = [&](std::span<const CellRun> runs, uint32_t& tally, bool overrides_order) {
    for_each_cell(runs, [&](uint32_t cell) {
      if (cell >= length) {
        ++counts.out_of_range;
        return;
      }
      ++tally;
      if (overrides_order && in_order[cell]) {
        in_order[cell] = false;  // held, not toggled
        --counts.toggled;
        return;
      }
      ++claims[cell];
    });
  };
  for_each_cell(layout.toggled, [&](uint32_t cell) {
    if (cell < length && layout.alternate_along_order) in_order[cell] = true;
  });
  claim(layout.toggled, counts.toggled, false);
  claim(layout.held_low, counts.held_low, false);
  claim(layout.held_high, counts.held_high, layout.alternate_along_order);
  claim(layout.chip_selects, counts.chip_selects, false);
  claim(layout.untouched, counts.untouched, false);
  for (uint32_t cell = 0; cell < length; ++cell) {
    if (claims[cell] == 0) ++counts.unclaimed;
    if (claims[cell] > 1) ++counts.multiply_claimed;
  }
  return counts;
}

// The toggle test of the active profile: a built-in CPU's own routine, or for
// a described board the pins its description names, until ESC. There, D0-D7
// (driven), CLE, ALE, nWE and nRE follow the period's level, nCE is held high
// (it toggles too with type 1) and every other cell keeps the run's vector: the
// hold pins at their levels, the pins the description does not name undriven.
// The pins come up through SAMPLE/PRELOAD as for every described-board run.
[[nodiscard]] ToggleOutcome run_profile_toggle_test(ToggleContext& context, ActiveProfile& target,
                                                    int32_t type);

// The routines behind each profile's toggle_test. RQ7220, ZELT and KELDA drive
// the pins until ESC; TOMUX only announces itself.
[[nodiscard]] ToggleOutcome rq7220_toggle_test(ToggleContext& context, BoundaryVector& vector,
                                               int32_t type);
[[nodiscard]] ToggleOutcome zelt_toggle_test(ToggleContext& context, BoundaryVector& vector,
                                             int32_t type);
[[nodiscard]] ToggleOutcome kelda_toggle_test(ToggleContext& context, BoundaryVector& vector,
                                              int32_t type);
[[nodiscard]] ToggleOutcome tomux_toggle_test(ToggleContext& context, BoundaryVector& vector,
                                              int32_t type);

}  // namespace jtagnand
