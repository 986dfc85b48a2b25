#include "nand/nand_device.h"

namespace jtagnand {

namespace {

// Eight-bit SLC chips in two families. 512-byte pages with 16 spare bytes:
// one column cycle (the read command picks the half page, 0x50 the spare
// area), reading starts at the last address cycle, and the factory mark is
// byte 5 of the spare area of the block's first or second page. 2 KiB pages
// with 64 spare bytes: two column cycles, reads confirmed with 0x30, the mark
// at spare byte 0 of the first or second page. The last page is looked at
// too (kMarkerPages).
//
// The mask of the last row cycle is the datasheet's: the bits above it are
// don't-care (0x73: A17-A23, I/O7 don't-care; 0xE6: A17-A22, I/O6-7).
constexpr ChipDescriptor small_page(uint32_t pages_per_block, uint32_t blocks, uint8_t row_cycles,
                                    uint8_t last_row_mask) {
  return {.page_size = 512,
          .spare_size = 16,
          .pages_per_block = pages_per_block,
          .blocks_per_lun = blocks,
          .luns = 1,
          .column_cycles = 1,
          .row_cycles = row_cycles,
          .last_row_mask = last_row_mask,
          .read_confirm = false,
          .bus_width = 8,
          .bits_per_cell = 1,
          .marker = {.spare_byte = 5, .pages = kMarkerPages}};
}

constexpr ChipDescriptor large_page(uint32_t pages_per_block, uint32_t blocks, uint8_t row_cycles,
                                    uint8_t last_row_mask) {
  return {.page_size = 2048,
          .spare_size = 64,
          .pages_per_block = pages_per_block,
          .blocks_per_lun = blocks,
          .luns = 1,
          .column_cycles = 2,
          .row_cycles = row_cycles,
          .last_row_mask = last_row_mask,
          .read_confirm = true,
          .bus_width = 8,
          .bits_per_cell = 1,
          .marker = {.spare_byte = 0, .pages = kMarkerPages}};
}

constexpr std::array<BuiltinChip, kBuiltinChipCount> kBuiltinChips{{
    {.device_code = 0x76, .name = "64MBytes(K9F1208U0M)", .chip = small_page(32, 4096, 3, 0x7F)},
    {.device_code = 0x75, .name = "32MBytes(K9F5608U0B)", .chip = small_page(32, 2048, 2, 0xFF)},
    {.device_code = 0x73, .name = "16MBytes", .chip = small_page(32, 1024, 2, 0x7F)},
    {.device_code = 0xE6, .name = "8MBytes", .chip = small_page(16, 1024, 2, 0x3F)},
    {.device_code = 0xF1, .name = "128MBytes(K9F1G08U0M)", .chip = large_page(64, 1024, 2, 0xFF)},
    {.device_code = 0xDA, .name = "256MBytes(K9F2G08U0M)", .chip = large_page(64, 2048, 3, 0x01)},
    {.device_code = 0xDC, .name = "512MBytes(K9F4G08U0M)", .chip = large_page(64, 4096, 3, 0x03)},
    {.device_code = 0xD3, .name = "1GBytes(K9F8G08U0M)", .chip = large_page(128, 4096, 3, 0x07)},
}};

// Every built-in chip meets the rules of a drivable chip (powers of two, the
// address cycles reach its last page), and no code is listed twice.
static_assert([] {
  for (std::size_t i = 0; i < kBuiltinChips.size(); ++i) {
    if (chip_fault(kBuiltinChips[i].chip) != ChipFault::kNone) return false;
    if (kBuiltinChips[i].name == nullptr) return false;
    for (std::size_t j = 0; j < i; ++j) {
      if (kBuiltinChips[j].device_code == kBuiltinChips[i].device_code) return false;
    }
  }
  return true;
}());

// The sizes the chips' names announce.
static_assert(kBuiltinChips[0].chip.total_size() == uint64_t{64} << 20);
static_assert(kBuiltinChips[3].chip.block_size() == 8 * 1024);
static_assert(kBuiltinChips[7].chip.total_size() == uint64_t{1} << 30);
static_assert(kBuiltinChips[7].chip.block_size() == 256 * 1024);

}  // namespace

const std::array<BuiltinChip, kBuiltinChipCount>& builtin_chips() {
  return kBuiltinChips;
}

const BuiltinChip* find_builtin_chip(uint8_t device_code) {
  for (const BuiltinChip& row : kBuiltinChips) {
    if (row.device_code == device_code) return &row;
  }
  return nullptr;
}

}  // namespace jtagnand
