#pragma once

#include <array>
#include <cstdint>

#include "nand/chip_descriptor.h"

namespace jtagnand {

// A chip the program knows by its device code alone.
struct BuiltinChip {
  uint8_t device_code;
  const char* name;  // as "NAND DEVICE: " shows it
  ChipDescriptor chip;
};

inline constexpr std::size_t kBuiltinChipCount = 8;

// The eight built-in chips, in the order they are looked up.
[[nodiscard]] const std::array<BuiltinChip, kBuiltinChipCount>& builtin_chips();

// The built-in chip with this device code (any maker), or null.
[[nodiscard]] const BuiltinChip* find_builtin_chip(uint8_t device_code);

}  // namespace jtagnand
