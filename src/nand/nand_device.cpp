#include "nand/nand_device.h"

#include <bit>
#include <cstring>

namespace jtagnand {

namespace {

constexpr uint32_t kKiB = 1024;
constexpr uint32_t kMiB = 1024 * kKiB;
constexpr uint32_t kGiB = 1024 * kMiB;

// Eight-bit chips in two families: 512-byte pages with 16 spare bytes, and
// 2 KiB pages with 64. org_code is the fourth ID byte a large-page chip of this
// kind reports (0x15: 2 KiB page, 128 KiB block; 0x25: 256 KiB block); it is
// kept for reference and never decoded.
constexpr NandDeviceTable kDeviceRows{{
    {.name = "64MBytes(K9F1208U0M)",
     .total_size = 64 * kMiB,
     .device_code = 0x76,
     .org_code = 0,
     .page_size = 512,
     .block_size = 16 * kKiB,
     .spare_size = 16},
    {.name = "32MBytes(K9F5608U0B)",
     .total_size = 32 * kMiB,
     .device_code = 0x75,
     .org_code = 0,
     .page_size = 512,
     .block_size = 16 * kKiB,
     .spare_size = 16},
    {.name = "16MBytes",
     .total_size = 16 * kMiB,
     .device_code = 0x73,
     .org_code = 0,
     .page_size = 512,
     .block_size = 16 * kKiB,
     .spare_size = 16},
    {.name = "8MBytes",
     .total_size = 8 * kMiB,
     .device_code = 0xE6,
     .org_code = 0,
     .page_size = 512,
     .block_size = 8 * kKiB,
     .spare_size = 16},
    {.name = "128MBytes(K9F1G08U0M)",
     .total_size = 128 * kMiB,
     .device_code = 0xF1,
     .org_code = 0x15,
     .page_size = 2048,
     .block_size = 128 * kKiB,
     .spare_size = 64},
    {.name = "256MBytes(K9F2G08U0M)",
     .total_size = 256 * kMiB,
     .device_code = 0xDA,
     .org_code = 0x15,
     .page_size = 2048,
     .block_size = 128 * kKiB,
     .spare_size = 64},
    {.name = "512MBytes(K9F4G08U0M)",
     .total_size = 512 * kMiB,
     .device_code = 0xDC,
     .org_code = 0x15,
     .page_size = 2048,
     .block_size = 128 * kKiB,
     .spare_size = 64},
    {.name = "1GBytes(K9F8G08U0M)",
     .total_size = kGiB,
     .device_code = 0xD3,
     .org_code = 0x25,
     .page_size = 2048,
     .block_size = 256 * kKiB,
     .spare_size = 64},
    {.name = nullptr,
     .total_size = 0,
     .device_code = 0,
     .org_code = 0,
     .page_size = 0,
     .block_size = 0,
     .spare_size = 0},
}};

// The alignment test of a write offset masks with block_size - 1, and pages
// and blocks are walked by addition: both sizes must be powers of two, a block
// a whole number of pages, and the chip a whole number of blocks.
static_assert([] {
  for (size_t i = 0; i + 1 < kDeviceRows.size(); ++i) {
    const NandDeviceEntry& row = kDeviceRows[i];
    if (row.name == nullptr || row.device_code == 0) return false;
    if (!std::has_single_bit(row.page_size) || !std::has_single_bit(row.block_size)) return false;
    if (row.block_size % row.page_size != 0 || row.total_size % row.block_size != 0) return false;
    if (row.page_size > kNandMaxPageSize) return false;
  }
  const NandDeviceEntry& end = kDeviceRows.back();
  return end.name == nullptr && end.device_code == 0;
}());

}  // namespace

void nand_init_device_table(NandDeviceTable& table) {
  table = kDeviceRows;
}

int32_t nand_read_id(NandBus& bus, const NandDeviceTable& table, Console& console) {
  nand_chip_select(bus, '0');
  nand_command(bus, kNandCmdReadId);
  constexpr uint8_t kIdAddress[1] = {0x00};
  nand_address_cycles(bus, kIdAddress, 1);
  uint8_t id[2]{};
  nand_read_bytes(bus, id, 2);
  nand_chip_select(bus, '1');

  FlashInfo& flash = bus.flash;
  flash.maker_code = id[0];
  flash.device_code = id[1];

  // Any maker is accepted; the device code alone fixes the geometry. Code 0
  // never matches: the terminator row ends the walk first.
  for (const NandDeviceEntry& row : table) {
    if (row.device_code == 0) break;
    if (row.device_code != flash.device_code) continue;
    std::strncpy(flash.name, row.name, sizeof flash.name - 1);
    flash.name[sizeof flash.name - 1] = '\0';
    flash.total_size = row.total_size;
    flash.page_size = row.page_size;
    flash.block_size = row.block_size;
    flash.spare_size = row.spare_size;
    return 0;
  }
  print(console, "Cannot support this device\n");
  return -1;
}

}  // namespace jtagnand
