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
// The Read ID bytes the name of a chip described by its ID shows.
inline constexpr std::size_t kExtendedIdBytes = 5;

// The CRC-16 of an ONFI parameter page: polynomial 0x8005, initial value
// 0x4F4E, most significant bit first, no final xor.
[[nodiscard]] uint16_t onfi_crc16(std::span<const uint8_t> bytes);

// A decoded chip: its descriptor (its name included), or the fault that keeps
// it from being driven. For the faults of a chip that was read whole (16-bit,
// MLC, ...) the descriptor is filled too, so that the refusal can say which
// chip it was.
struct DecodedChip {
  ChipFault fault = ChipFault::kNone;
  bool described = false;  // the descriptor is filled
  ChipDescriptor chip{};
};

// `copies`: what Read Parameter Page returned, 256 bytes per copy (a shorter
// tail is ignored). The first copy whose CRC holds is decoded; when none does
// the fault is kNoParameterPage. A copy that passes its CRC without the "ONFI"
// signature counts as failing.
[[nodiscard]] DecodedChip onfi_decode(std::span<const uint8_t> copies);

// True for the large-page device codes of the chip table, whose further ID
// bytes describe the chip.
[[nodiscard]] bool extended_id_code(uint8_t device_code);

// The length of the ID a chip answers, from the bytes Read ID returned (a chip
// repeats its ID or sends zeros after it): the shortest period of the bytes,
// else the bytes up to the last non-zero one.
[[nodiscard]] std::size_t id_length(std::span<const uint8_t> id);

// What a chip's Read ID bytes from address 0x00 say about it (at least four;
// the name shows at most kExtendedIdBytes of them): a chip of the table known
// by its whole ID; else the size its device code fixes with the rest read by
// its maker's rules: the third byte's cell type, and the fourth byte in the
// usual layout (organisation_chip), except Samsung's and Hynix's six-byte IDs
// of MLC chips (their own layout of page, spare and block) and Toshiba's 24 nm
// SLC chips (32 spare bytes per 512, where the fourth byte says 16). The device
// code must be one for which extended_id_code() holds.
[[nodiscard]] DecodedChip extended_id_decode(std::span<const uint8_t> id);

}  // namespace jtagnand
