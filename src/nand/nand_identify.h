#pragma once

#include <cstdint>

#include "nand/nand_bus.h"
#include "platform/console.h"

namespace jtagnand {

// Finds out which chip is on the bus and fills bus.flash:
//   1. Read ID (0x90, address 0x00): the maker and device codes, and on a
//      large-page code of the chip table six more bytes in the same cycle. A
//      small-page built-in code settles it there.
//   2. Read ID at address 0x20: "ONFI" there means a parameter page (0xEC),
//      read copy by copy until one passes its CRC.
//   3. Else, on a large-page code, the ID bytes by the maker's rules.
// A built-in chip is taken only when what the chip said agrees with it.
// Returns 0 when the chip can be driven; nothing is printed then. Otherwise
// prints why and returns -1: "Cannot support this device\n" for a chip none of
// these knows (only the two codes are then written), or the chip's lines
// (nand_print_chip) and "Cannot support this device: <reason>\n" for one that
// was identified but cannot be driven (16-bit bus, MLC, ...).
[[nodiscard]] int32_t nand_identify(NandBus& bus, Console& console);

// "Maker = 0x%X, Device = 0x%X\n", "NAND DEVICE: %s\n" and, for a chip that
// described itself, a line with its geometry.
void nand_print_chip(Console& console, const FlashInfo& flash);

}  // namespace jtagnand
