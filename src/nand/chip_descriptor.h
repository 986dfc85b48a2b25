#pragma once

// Every fact the program uses about one NAND chip, in one shape: the built-in
// chips as constant data, chips that describe themselves (ONFI parameter page,
// extended ID) as values built at run time. The bus cycles, erase, program and
// verify read nothing about a chip from anywhere else.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace jtagnand {

// The largest page the program reads back in one piece (the read-back buffer).
inline constexpr uint32_t kNandMaxPageSize = 16384;
// Column plus row cycles of the longest address a chip may take.
inline constexpr uint8_t kNandMaxAddressCycles = 6;
// The largest chip the program drives: offsets and sizes are 64-bit inside,
// this bound keeps an image that must sit in memory within reason.
inline constexpr uint64_t kNandMaxChipSize = uint64_t{16} << 30;

// Pages of a block whose spare area may carry the maker's bad-block mark.
inline constexpr uint8_t kMarkerFirstPage = 0x01;
inline constexpr uint8_t kMarkerSecondPage = 0x02;
inline constexpr uint8_t kMarkerLastPage = 0x04;
// Makers differ in which pages they mark (Samsung the first or second, others
// the first or last); the program looks at all three on every chip, so that a
// mark put where another maker puts it is not missed.
inline constexpr uint8_t kMarkerPages = kMarkerFirstPage | kMarkerSecondPage | kMarkerLastPage;

// Where a maker marks a block bad before shipping: a byte other than 0xFF at
// `spare_byte` of the spare area, in any of the pages named by `pages`.
struct BadBlockMarker {
  uint16_t spare_byte = 0;
  uint8_t pages = kMarkerFirstPage;
};

// Room for a chip's name, as "NAND DEVICE: " shows it, with its terminator.
inline constexpr std::size_t kChipNameRoom = 96;

struct ChipDescriptor {
  // As "NAND DEVICE: " shows it: printable ASCII, terminated.
  char name[kChipNameRoom]{};
  uint32_t page_size = 0;   // main-area bytes per page
  uint32_t spare_size = 0;  // spare-area bytes per page
  uint32_t pages_per_block = 0;
  uint32_t blocks_per_lun = 0;
  uint32_t luns = 0;  // dies behind one chip enable; row bits above the block bits
  // Address cycles of a read or program: the column (byte within the page)
  // first, then the row (page number within the chip), low byte first. An
  // erase sends the row cycles only.
  uint8_t column_cycles = 0;
  uint8_t row_cycles = 0;
  // The bits of the row the last row cycle carries; the chip ignores the rest.
  uint8_t last_row_mask = 0;
  // 0x30 after a read's address cycles (large pages). Without it the chip
  // starts reading at the last address cycle, and on 512-byte pages the read
  // command itself picks the half of the page (bit 8 travels in no cycle).
  bool read_confirm = false;
  uint8_t bus_width = 8;  // data lines
  uint8_t bits_per_cell = 1;
  BadBlockMarker marker{};

  [[nodiscard]] constexpr uint32_t block_size() const { return page_size * pages_per_block; }
  [[nodiscard]] constexpr uint64_t blocks() const { return uint64_t{blocks_per_lun} * luns; }
  [[nodiscard]] constexpr uint64_t pages() const { return blocks() * pages_per_block; }
  [[nodiscard]] constexpr uint64_t total_size() const { return blocks() * block_size(); }
};

// Why a chip cannot be driven, in the order they are checked. chip_fault_text
// has a row for each, in this order; its compile-time check names the last.
enum class ChipFault : uint8_t {
  kNone,
  kSixteenBitBus,      // the CPUs wire eight data lines
  kMultiLevelCell,     // MLC needs ECC that this program does not write
  kNotPowerOfTwo,      // offsets are aligned by masks and walked by addition
  kNoSpareArea,        // nowhere for the bad-block marks
  kAddressCycles,      // the cycles cannot carry the column or the last page
  kSizeOutOfRange,     // page, block or chip size outside what the program drives
  kNoParameterPage,    // every copy of the ONFI parameter page fails its CRC
  kParameterPageBusy,  // the chip never became ready after Read Parameter Page
};

// The text after "Cannot support this device: ".
[[nodiscard]] std::string_view chip_fault_text(ChipFault fault);

// Bits needed to count `n` values (n a power of two: its exponent).
[[nodiscard]] constexpr uint32_t bits_for(uint64_t n) {
  return n <= 1 ? 0 : static_cast<uint32_t>(std::bit_width(n - 1));
}

// The rules every chip must meet to be driven. Checked at compile time for the
// built-in chips and at run time for chips that describe themselves. Page size
// and pages per block must be powers of two (offsets are split into page and
// block by masks); the block count and the spare size need not be (many chips
// have 1048 or 4192 blocks, or 224 spare bytes per 4 KiB page). Several LUNs
// put the LUN bits above a power-of-two block field, which the flat page
// number used as the row does only when the block count is a power of two.
[[nodiscard]] constexpr ChipFault chip_fault(const ChipDescriptor& chip) {
  if (chip.bus_width != 8) return ChipFault::kSixteenBitBus;
  if (chip.bits_per_cell != 1) return ChipFault::kMultiLevelCell;
  if (!std::has_single_bit(chip.page_size) || !std::has_single_bit(chip.pages_per_block) ||
      !std::has_single_bit(chip.luns) ||
      (chip.luns > 1 && !std::has_single_bit(chip.blocks_per_lun))) {
    return ChipFault::kNotPowerOfTwo;
  }
  if (chip.page_size < 512 || chip.page_size > kNandMaxPageSize || chip.pages_per_block > 1024 ||
      chip.blocks_per_lun == 0 || chip.blocks_per_lun > (uint32_t{1} << 20) || chip.luns > 8 ||
      chip.total_size() > kNandMaxChipSize) {
    return ChipFault::kSizeOutOfRange;
  }
  if (chip.spare_size == 0) return ChipFault::kNoSpareArea;
  // One column cycle only on 512-byte pages, where the read command picks the
  // half; otherwise the column cycles hold every byte of page and spare.
  if (chip.column_cycles < 1 || chip.row_cycles < 1 ||
      chip.column_cycles + chip.row_cycles > kNandMaxAddressCycles) {
    return ChipFault::kAddressCycles;
  }
  const bool half_pages = chip.page_size == 512 && !chip.read_confirm;
  const uint32_t column_bits = half_pages ? 8 : bits_for(chip.page_size + chip.spare_size);
  if (column_bits > 8u * chip.column_cycles || (half_pages && chip.column_cycles != 1)) {
    return ChipFault::kAddressCycles;
  }
  // The last page's row must come through the last cycle's mask whole.
  const uint64_t last_row = chip.pages() - 1;
  const uint32_t full_bits = 8u * (chip.row_cycles - 1u);
  if (full_bits < 64 && ((last_row >> full_bits) & ~uint64_t{chip.last_row_mask}) != 0) {
    return ChipFault::kAddressCycles;
  }
  return ChipFault::kNone;
}

// The mask of the last row cycle for a chip whose row is exactly as wide as its
// page count: the bits left over after the full cycles.
[[nodiscard]] constexpr uint8_t last_row_mask_for(uint64_t pages, uint8_t row_cycles) {
  const uint32_t bits = bits_for(pages);
  const uint32_t full_bits = 8u * (row_cycles > 0 ? row_cycles - 1u : 0u);
  if (bits <= full_bits) return 0;
  if (bits - full_bits >= 8) return 0xFF;
  return static_cast<uint8_t>((1u << (bits - full_bits)) - 1u);
}

// True when two descriptors drive a chip the same way: every fact but the name.
[[nodiscard]] constexpr bool same_chip(const ChipDescriptor& a, const ChipDescriptor& b) {
  return a.page_size == b.page_size && a.spare_size == b.spare_size &&
         a.pages_per_block == b.pages_per_block && a.blocks_per_lun == b.blocks_per_lun &&
         a.luns == b.luns && a.column_cycles == b.column_cycles && a.row_cycles == b.row_cycles &&
         a.last_row_mask == b.last_row_mask && a.read_confirm == b.read_confirm &&
         a.bus_width == b.bus_width && a.bits_per_cell == b.bits_per_cell &&
         a.marker.spare_byte == b.marker.spare_byte && a.marker.pages == b.marker.pages;
}

// Copies `text` into the descriptor's name, cut to fit.
constexpr void set_chip_name(ChipDescriptor& chip, const char* text) {
  std::size_t i = 0;
  for (; text[i] != '\0' && i + 1 < kChipNameRoom; ++i) chip.name[i] = text[i];
  chip.name[i] = '\0';
}

// A large-page chip of one LUN, `block_size` bytes a block: two column
// cycles, and row cycles as these chips' datasheets give them: two up to 65536
// pages (1 Gbit of 2 KiB pages), three above. Makers differ in which page of a
// block they mark; all three are looked at.
[[nodiscard]] constexpr ChipDescriptor large_page_chip(uint64_t total_size, uint32_t page_size,
                                                       uint32_t spare_size, uint32_t block_size) {
  ChipDescriptor chip;
  chip.page_size = page_size;
  chip.spare_size = spare_size;
  chip.pages_per_block = block_size / page_size;
  chip.blocks_per_lun = static_cast<uint32_t>(total_size / block_size);
  chip.luns = 1;
  chip.column_cycles = 2;
  chip.row_cycles = chip.pages() <= 65536 ? 2 : 3;
  chip.last_row_mask = last_row_mask_for(chip.pages(), chip.row_cycles);
  chip.read_confirm = true;
  chip.marker = {.spare_byte = 0, .pages = kMarkerPages};
  return chip;
}

// The organisation the fourth ID byte states in the format most large-page
// chips share (the makers' own variants are read in chip_decode): bits 0-1
// page 1 KiB << n; bit 2 spare bytes per 512 main bytes 8 << n; bits 4-5
// block 64 KiB << n; bit 6 a 16-bit bus. Bits 3 and 7 give the serial access
// time and describe no geometry. `total_size` comes from the device code.
[[nodiscard]] constexpr ChipDescriptor organisation_chip(uint64_t total_size, uint8_t org) {
  const uint32_t page_size = uint32_t{1024} << (org & 0x03);
  const uint32_t spare_size = (uint32_t{8} << ((org >> 2) & 0x01)) * (page_size / 512);
  const uint32_t block_size = uint32_t{64 * 1024} << ((org >> 4) & 0x03);
  ChipDescriptor chip = large_page_chip(total_size, page_size, spare_size, block_size);
  chip.bus_width = (org & 0x40) != 0 ? 16 : 8;
  chip.bits_per_cell = 1;
  return chip;
}

}  // namespace jtagnand
