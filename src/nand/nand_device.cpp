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
constexpr ChipRow small_page(uint8_t code, const char* name, uint32_t pages_per_block,
                             uint32_t blocks, uint8_t row_cycles, uint8_t last_row_mask) {
  ChipRow row{.kind = ChipRowKind::kBuiltin,
              .device_code = code,
              .total_size = uint64_t{512} * pages_per_block * blocks,
              .large_page = false,
              .chip = {.page_size = 512,
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
                       .marker = {.spare_byte = 5, .pages = kMarkerPages}}};
  set_chip_name(row.chip, name);
  return row;
}

// A built-in large-page chip is what its organisation byte says.
constexpr ChipRow large_page(uint8_t code, const char* name, uint64_t total_size, uint8_t org) {
  ChipRow row{.kind = ChipRowKind::kBuiltin,
              .device_code = code,
              .total_size = total_size,
              .org_code = org,
              .chip = organisation_chip(total_size, org)};
  set_chip_name(row.chip, name);
  return row;
}

constexpr ChipRow sized(uint8_t code, uint64_t total_size, uint8_t bus_width = 8) {
  return {.kind = ChipRowKind::kSizeByCode,
          .device_code = code,
          .total_size = total_size,
          .bus_width = bus_width};
}

// Toshiba's chips that the kernel's NAND code also lists by their whole ID:
// their fourth byte understates the spare area (datasheets: TC58NVG2S0F 4096 +
// 224 bytes, TC58NVG3S0F 4096 + 232, TH58NVG2S3HBAI4 2048 + 128).
constexpr ChipRow whole_id(std::array<uint8_t, kIdBytes> id, uint8_t id_length, const char* name,
                           uint64_t total_size, uint32_t page_size, uint32_t spare_size,
                           uint32_t block_size) {
  ChipRow row{.kind = ChipRowKind::kWholeId,
              .device_code = id[1],
              .total_size = total_size,
              .id = id,
              .id_length = id_length,
              .chip = large_page_chip(total_size, page_size, spare_size, block_size)};
  set_chip_name(row.chip, name);
  return row;
}

constexpr std::array kChipTable{
    // The eight built-in chips.
    small_page(0x76, "64MBytes(K9F1208U0M)", 32, 4096, 3, 0x7F),
    small_page(0x75, "32MBytes(K9F5608U0B)", 32, 2048, 2, 0xFF),
    small_page(0x73, "16MBytes", 32, 1024, 2, 0x7F),
    small_page(0xE6, "8MBytes", 16, 1024, 2, 0x3F),
    // 0x15: 2 KiB pages, 16 spare bytes per 512, 128 KiB blocks; 0x25: the
    // same with 256 KiB blocks.
    large_page(0xF1, "128MBytes(K9F1G08U0M)", 128 * kMiB, 0x15),
    large_page(0xDA, "256MBytes(K9F2G08U0M)", 256 * kMiB, 0x15),
    large_page(0xDC, "512MBytes(K9F4G08U0M)", 512 * kMiB, 0x15),
    large_page(0xD3, "1GBytes(K9F8G08U0M)", 1024 * kMiB, 0x25),
    // Large-page codes whose size the code fixes: 8-bit parts of 1 to 64
    // Gbit (3.3 V and 1.8 V); then the 16-bit parts of 1 to 16 Gbit, known so
    // that they are refused for their bus, not for their code.
    sized(0xD1, 128 * kMiB),
    sized(0xA1, 128 * kMiB),
    sized(0xAA, 256 * kMiB),
    sized(0xAC, 512 * kMiB),
    sized(0xA3, 1024 * kMiB),
    sized(0xD5, 2048 * kMiB),
    sized(0xA5, 2048 * kMiB),
    sized(0xD7, 4096 * kMiB),
    sized(0xA7, 4096 * kMiB),
    sized(0xDE, 8192 * kMiB),
    sized(0xAE, 8192 * kMiB),
    sized(0xC1, 128 * kMiB, 16),
    sized(0xB1, 128 * kMiB, 16),
    sized(0xCA, 256 * kMiB, 16),
    sized(0xBA, 256 * kMiB, 16),
    sized(0xCC, 512 * kMiB, 16),
    sized(0xBC, 512 * kMiB, 16),
    sized(0xC3, 1024 * kMiB, 16),
    sized(0xB3, 1024 * kMiB, 16),
    sized(0xC5, 2048 * kMiB, 16),
    sized(0xB5, 2048 * kMiB, 16),
    whole_id({0x98, 0xDC, 0x90, 0x26, 0x76, 0x15, 0x01, 0x08}, 8, "512MBytes(TC58NVG2S0F)",
             512 * kMiB, 4096, 224, 256 * 1024),
    whole_id({0x98, 0xD3, 0x90, 0x26, 0x76, 0x15, 0x02, 0x08}, 8, "1024MBytes(TC58NVG3S0F)",
             1024 * kMiB, 4096, 232, 256 * 1024),
    whole_id({0x98, 0xDC, 0x91, 0x15, 0x76}, 5, "512MBytes(TH58NVG2S3HBAI4)", 512 * kMiB, 2048, 128,
             128 * 1024),
};

// Every chip of the table can be driven; a built-in large-page chip is what
// its org_code says and as big as its code; no code is listed twice; a whole
// ID begins with a code of the table, so that its further bytes get read.
static_assert([] {
  for (std::size_t i = 0; i < kChipTable.size(); ++i) {
    const ChipRow& row = kChipTable[i];
    if (row.kind != ChipRowKind::kSizeByCode) {
      if (chip_fault(row.chip) != ChipFault::kNone || row.chip.name[0] == '\0') return false;
      if (row.chip.total_size() != row.total_size) return false;
    }
    if (row.kind == ChipRowKind::kBuiltin && row.large_page &&
        !same_chip(row.chip, organisation_chip(row.total_size, row.org_code))) {
      return false;
    }
    if (row.kind == ChipRowKind::kWholeId) {
      bool code_listed = false;
      for (const ChipRow& other : kChipTable) {
        code_listed = code_listed || (other.kind != ChipRowKind::kWholeId &&
                                      other.device_code == row.device_code && other.large_page);
      }
      if (!code_listed || row.id_length < 3 || row.id_length > kIdBytes) return false;
      continue;
    }
    for (std::size_t j = 0; j < i; ++j) {
      if (kChipTable[j].device_code == row.device_code) return false;
    }
  }
  return true;
}());

// The sizes the built-in chips' names announce.
static_assert(kChipTable[0].chip.total_size() == uint64_t{64} << 20);
static_assert(kChipTable[3].chip.block_size() == 8 * 1024);
static_assert(kChipTable[7].chip.total_size() == uint64_t{1} << 30);
static_assert(kChipTable[7].chip.block_size() == 256 * 1024);
static_assert(kChipTable[7].chip.spare_size == 64);

}  // namespace

std::span<const ChipRow> chip_table() {
  return kChipTable;
}

const ChipRow* find_chip_code(uint8_t device_code) {
  for (const ChipRow& row : kChipTable) {
    if (row.kind != ChipRowKind::kWholeId && row.device_code == device_code) return &row;
  }
  return nullptr;
}

const ChipRow* find_builtin_chip(uint8_t device_code) {
  const ChipRow* row = find_chip_code(device_code);
  return row != nullptr && row->kind == ChipRowKind::kBuiltin ? row : nullptr;
}

const ChipRow* find_whole_id(std::span<const uint8_t> id) {
  for (const ChipRow& row : kChipTable) {
    if (row.kind != ChipRowKind::kWholeId || id.size() < row.id_length) continue;
    bool same = true;
    for (std::size_t i = 0; i < row.id_length; ++i) same = same && id[i] == row.id[i];
    if (same) return &row;
  }
  return nullptr;
}

}  // namespace jtagnand
