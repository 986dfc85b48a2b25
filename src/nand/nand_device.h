#pragma once

// The one table of the chips the program knows: each row a device code (or,
// for the few chips whose ID bytes do not say what they are, a whole ID) with
// what that code fixes, and for the chips it knows whole, the chip itself.

#include <array>
#include <cstdint>
#include <span>

#include "nand/chip_descriptor.h"

namespace jtagnand {

// The Read ID bytes identification reads on a large-page code.
inline constexpr std::size_t kIdBytes = 8;
// Chip sizes are counted in MiB.
inline constexpr uint64_t kMiB = uint64_t{1} << 20;

enum class ChipRowKind : uint8_t {
  // A built-in chip: known by its device code. On a small-page code the code
  // settles it; on a large-page code it is taken only when what the chip says
  // about itself agrees with `chip`.
  kBuiltin,
  // A large-page code that fixes the chip's size; the rest comes from the
  // chip's further ID bytes.
  kSizeByCode,
  // A chip whose ID bytes, read by the usual rules, say something else than
  // its datasheet: known by its whole ID (`id`, `id_length` bytes).
  kWholeId,
};

struct ChipRow {
  ChipRowKind kind = ChipRowKind::kSizeByCode;
  uint8_t device_code = 0;
  uint64_t total_size = 0;  // main area, bytes: what the code stands for
  // The further ID bytes describe the chip (the third: cell type; the fourth:
  // organisation): read on every large-page code.
  bool large_page = true;
  uint8_t bus_width = 8;  // the data lines of every chip answering this code
  // Built-in large-page rows: the fourth ID byte a chip of this row states;
  // `chip` is what that byte says (checked at compile time). 0 on small pages.
  uint8_t org_code = 0;
  std::array<uint8_t, kIdBytes> id{};  // kWholeId rows: the ID, maker first
  uint8_t id_length = 0;
  ChipDescriptor chip{};  // kBuiltin and kWholeId rows: the chip, its name included
};

// Every row, built-in chips first in the order they are looked up.
[[nodiscard]] std::span<const ChipRow> chip_table();

// The row of this device code (any maker; kWholeId rows are not found by
// their code), or null.
[[nodiscard]] const ChipRow* find_chip_code(uint8_t device_code);

// The built-in chip with this device code, or null.
[[nodiscard]] const ChipRow* find_builtin_chip(uint8_t device_code);

// The kWholeId row whose ID the chip's bytes begin with, or null.
[[nodiscard]] const ChipRow* find_whole_id(std::span<const uint8_t> id);

}  // namespace jtagnand
