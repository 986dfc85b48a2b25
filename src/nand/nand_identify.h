#pragma once

#include <cstdint>

#include "nand/nand_bus.h"
#include "platform/console.h"

namespace jtagnand {

// Finds out which chip is on the bus and fills bus.flash, in this order:
//   1. Read ID (0x90, address 0x00, two data reads): a built-in device code
//      settles it.
//   2. Read ID at address 0x20: "ONFI" there means a parameter page (0xEC),
//      read copy by copy until one passes its CRC.
//   3. A large-page device code whose size the code fixes: Read ID again for
//      the extended ID bytes, decoded from the fourth.
// Returns 0 when the chip can be driven; nothing is printed then. Otherwise
// prints why and returns -1: "Cannot support this device\n" for a chip none of
// the three knows (only the two codes are then written), or the chip's lines
// (nand_print_chip) and "Cannot support this device: <reason>\n" for one that
// was identified but cannot be driven (16-bit bus, MLC, ...).
[[nodiscard]] int32_t nand_identify(NandBus& bus, Console& console);

// "Maker = 0x%X, Device = 0x%X\n", "NAND DEVICE: %s\n" and, for a chip that
// described itself, a line with its geometry.
void nand_print_chip(Console& console, const FlashInfo& flash);

}  // namespace jtagnand
