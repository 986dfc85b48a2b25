#pragma once

#include <array>
#include <cstdint>

#include "nand/nand_bus.h"
#include "platform/console.h"

namespace jtagnand {

struct NandDeviceEntry {
  const char* name;  // null in the terminator row
  uint32_t total_size;
  uint8_t device_code;  // 0 marks the terminator row
  uint8_t org_code;
  uint32_t page_size;
  uint32_t block_size;
  uint32_t spare_size;
};

// The largest page of the supported chips: the size of a read-back buffer.
inline constexpr uint32_t kNandMaxPageSize = 2048;

// Eight supported chips and a terminator row.
using NandDeviceTable = std::array<NandDeviceEntry, 9>;

void nand_init_device_table(NandDeviceTable& table);

// Read ID (0x90, address 0x00, two data reads) and look-up. Fills bus.flash and
// returns 0, or prints "Cannot support this device\n" and returns -1 (only the
// two codes are then written).
[[nodiscard]] int32_t nand_read_id(NandBus& bus, const NandDeviceTable& table, Console& console);

}  // namespace jtagnand
