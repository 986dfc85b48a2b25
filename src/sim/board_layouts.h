#pragma once

// The four boards as the simulator knows them: each CPU's JTAG identity and
// which boundary cells connect to which net of the NAND flash. Written from the
// CPUs' boundary-scan documentation, independently of the program's own tables.

#include <array>
#include <cstdint>

#include "sim/sim_board.h"

namespace jtagnand::sim {

struct BoardLayout {
  Cpu cpu;
  const char* name;
  uint32_t idcode;
  uint8_t idcode_instruction;  // instruction register value, bit 0 nearest TDO
  int length;                  // boundary register cells
  // Output cells of the flash's control inputs; each also observes its pin.
  int nce, cle, ale, nwe, nre;
  int rnb;                       // input cell of the flash's ready/busy output
  std::array<int, 8> io_out;     // output cell of IO k
  std::array<int, 8> io_in;      // input cell of IO k (often the output cell itself)
  std::array<int, 8> io_enable;  // output-enable (direction) cell of IO k
  uint8_t enable_level;          // level of an enable cell that turns the CPU's driver on
};

namespace detail {
constexpr std::array<int, 8> cells(int first, int step) {
  std::array<int, 8> out{};
  for (int k = 0; k < 8; ++k) out[static_cast<std::size_t>(k)] = first + step * k;
  return out;
}
}  // namespace detail

// IDCODE instructions: the first bit the host shifts becomes bit 0, so the host
// strings 1011, 1000 and 0101 are the register values 0xD, 0x1 and 0xA.
inline constexpr std::array<BoardLayout, 4> kBoardLayouts = {{
    {.cpu = Cpu::kRq7220,
     .name = "RQ7220",
     .idcode = 0x30002693,
     .idcode_instruction = 0xD,
     .length = 298,
     .nce = 199,
     .cle = 201,
     .ale = 203,
     .nwe = 207,
     .nre = 205,
     .rnb = 209,
     .io_out = detail::cells(211, 2),
     .io_in = detail::cells(211, 2),
     .io_enable = detail::cells(212, 2),
     .enable_level = 0},
    {.cpu = Cpu::kZelt,
     .name = "ZELT",
     .idcode = 0x30002693,
     .idcode_instruction = 0xD,
     .length = 185,
     .nce = 101,
     .cle = 97,
     .ale = 99,
     .nwe = 105,
     .nre = 103,
     .rnb = 95,
     .io_out = detail::cells(63, 2),
     .io_in = detail::cells(63, 2),
     .io_enable = detail::cells(64, 2),
     .enable_level = 0},
    {.cpu = Cpu::kKelda,
     .name = "KELDA",
     .idcode = 0x00D3165B,
     .idcode_instruction = 0xA,
     .length = 298,
     .nce = 170,
     .cle = 187,
     .ale = 189,
     .nwe = 168,
     .nre = 171,
     .rnb = 173,
     .io_out = detail::cells(166, -2),
     .io_in = detail::cells(166, -2),
     .io_enable = detail::cells(167, -2),
     .enable_level = 1},
    {.cpu = Cpu::kTomux,
     .name = "TOMUX",
     .idcode = 0x005A30E5,
     .idcode_instruction = 0x1,
     .length = 412,
     .nce = 148,
     .cle = 160,
     .ale = 157,
     .nwe = 151,
     .nre = 154,
     .rnb = 165,
     .io_out = detail::cells(166, 3),
     .io_in = detail::cells(168, 3),
     .io_enable = detail::cells(167, 3),
     .enable_level = 0},
}};

namespace detail {
constexpr bool cells_fit(const BoardLayout& b) {
  auto ok = [&](int c) { return c >= 0 && c < b.length; };
  if (!ok(b.nce) || !ok(b.cle) || !ok(b.ale) || !ok(b.nwe) || !ok(b.nre) || !ok(b.rnb))
    return false;
  for (int k = 0; k < 8; ++k) {
    const auto i = static_cast<std::size_t>(k);
    if (!ok(b.io_out[i]) || !ok(b.io_in[i]) || !ok(b.io_enable[i])) return false;
  }
  return (b.idcode & 1U) == 1U && b.idcode_instruction < 16;
}
}  // namespace detail

static_assert(detail::cells_fit(kBoardLayouts[0]) && detail::cells_fit(kBoardLayouts[1]) &&
              detail::cells_fit(kBoardLayouts[2]) && detail::cells_fit(kBoardLayouts[3]));

[[nodiscard]] constexpr const BoardLayout& board_layout(Cpu cpu) {
  for (const auto& layout : kBoardLayouts)
    if (layout.cpu == cpu) return layout;
  return kBoardLayouts[0];
}

inline constexpr std::size_t kMaxBoundaryLength = 412;

}  // namespace jtagnand::sim
