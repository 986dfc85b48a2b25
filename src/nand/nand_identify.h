#pragma once

#include <cstdint>

#include "nand/chip_descriptor.h"
#include "nand/nand_bus.h"
#include "nand/nand_outcome.h"

namespace jtagnand {

// Finds out which chip is on the bus and fills bus.flash:
//   1. Read ID (0x90, address 0x00): the maker and device codes, and on a
//      large-page code of the chip table six more bytes in the same cycle. A
//      small-page built-in code settles it there.
//   2. Read ID at address 0x20: "ONFI" there means a parameter page (0xEC),
//      read copy by copy until one passes its CRC.
//   3. Else, on a large-page code, the ID bytes by the maker's rules.
// A built-in chip is taken only when what the chip said agrees with it.
// How identification went: kDone when the chip can be driven; kUnknownChip
// for a chip none of the three knows (only the two codes are in bus.flash);
// kUnsupportedChip for one that was identified but cannot be driven (16-bit
// bus, MLC, ...), with the reason.
struct [[nodiscard]] ChipIdentification {
  NandOutcome outcome = NandOutcome::kDone;
  ChipFault fault = ChipFault::kNone;  // why, for kUnsupportedChip
  bool described = false;              // bus.flash holds the chip's name and geometry
};

ChipIdentification nand_identify(NandBus& bus);

}  // namespace jtagnand
