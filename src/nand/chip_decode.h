#pragma once

// Chips that describe themselves: the ONFI parameter page and the extended ID
// of older large-page chips, decoded into a ChipDescriptor. Pure functions of
// the bytes the chip returned: no bus, no console, any input accepted.

#include <cstddef>
#include <cstdint>
#include <span>

#include "nand/chip_descriptor.h"

namespace jtagnand {

inline constexpr std::size_t kOnfiPageSize = 256;
// ONFI chips hold at least three copies of the page, back to back.
inline constexpr std::size_t kOnfiCopies = 3;
// The Read ID bytes the extended ID decode reads and its name shows.
inline constexpr std::size_t kExtendedIdBytes = 5;

// The CRC-16 of an ONFI parameter page: polynomial 0x8005, initial value
// 0x4F4E, most significant bit first, no final xor.
[[nodiscard]] uint16_t onfi_crc16(std::span<const uint8_t> bytes);

// A decoded chip: its descriptor and its name as "NAND DEVICE: " shows it, or
// the fault that keeps it from being driven. For the faults of a chip that was
// read whole (16-bit, MLC, ...) the descriptor and the name are filled too, so
// that the refusal can say which chip it was.
struct DecodedChip {
  ChipFault fault = ChipFault::kNone;
  bool described = false;  // descriptor and name are filled
  ChipDescriptor chip{};
  char name[96]{};
};

// `copies`: what Read Parameter Page returned, 256 bytes per copy (a shorter
// tail is ignored). The first copy whose CRC holds is decoded; when none does
// the fault is kNoParameterPage. A copy that passes its CRC without the "ONFI"
// signature counts as failing.
[[nodiscard]] DecodedChip onfi_decode(std::span<const uint8_t> copies);

// True for the device codes whose size the code fixes and whose other facts
// come from the fourth ID byte.
[[nodiscard]] bool extended_id_code(uint8_t device_code);

// `id`: the Read ID bytes from address 0x00 (at least four; the name shows
// them all, at most kExtendedIdBytes of them). The device code must be one for which
// extended_id_code() holds.
[[nodiscard]] DecodedChip extended_id_decode(std::span<const uint8_t> id);

}  // namespace jtagnand
