#include "nand/chip_decode.h"

#include <array>
#include <cinttypes>
#include <cstdio>

namespace jtagnand {

namespace {

constexpr uint64_t kMiB = uint64_t{1} << 20;

// Parameter page fields (byte offsets; multi-byte fields little-endian).
constexpr std::size_t kOnfiFeatures = 6;  // bit 0: 16-bit data bus
constexpr std::size_t kOnfiManufacturer = 32;
constexpr std::size_t kOnfiManufacturerLength = 12;
constexpr std::size_t kOnfiModel = 44;
constexpr std::size_t kOnfiModelLength = 20;
constexpr std::size_t kOnfiPageBytes = 80;
constexpr std::size_t kOnfiSpareBytes = 84;
constexpr std::size_t kOnfiPagesPerBlock = 92;
constexpr std::size_t kOnfiBlocksPerLun = 96;
constexpr std::size_t kOnfiLuns = 100;
constexpr std::size_t kOnfiAddressCycles = 101;  // bits 0-3 row, 4-7 column
constexpr std::size_t kOnfiBitsPerCell = 102;
constexpr std::size_t kOnfiCrc = 254;

constexpr uint16_t kOnfiCrcPolynomial = 0x8005;
constexpr uint16_t kOnfiCrcInitial = 0x4F4E;

[[nodiscard]] uint32_t le16(std::span<const uint8_t> page, std::size_t at) {
  return page[at] | uint32_t{page[at + 1]} << 8;
}
[[nodiscard]] uint32_t le32(std::span<const uint8_t> page, std::size_t at) {
  return le16(page, at) | le16(page, at + 2) << 16;
}

// A text field of the page as shown: trailing blanks dropped, anything but
// printable ASCII shown as '?', so that a chip cannot send control codes to the
// operator's terminal.
void append_field(std::span<const uint8_t> field, char* out, std::size_t room, std::size_t& used) {
  std::size_t length = field.size();
  while (length > 0 && (field[length - 1] == ' ' || field[length - 1] == '\0')) --length;
  for (std::size_t i = 0; i < length && used + 1 < room; ++i) {
    const uint8_t c = field[i];
    out[used++] = c >= 0x20 && c <= 0x7E ? static_cast<char>(c) : '?';
  }
  out[used] = '\0';
}

void append_text(const char* text, char* out, std::size_t room, std::size_t& used) {
  for (; *text != '\0' && used + 1 < room; ++text) out[used++] = *text;
  out[used] = '\0';
}

// The device codes of large-page SLC chips whose size the code fixes: 3.3 V
// (0xF1 ... 0xD5) and 1.8 V (0xA1 ... 0xA5) parts, 1 to 16 Gbit.
struct SizeByCode {
  uint8_t code;
  uint64_t total_size;
};
constexpr std::array<SizeByCode, 10> kSizeByCode{{
    {0xF1, 128 * kMiB},
    {0xA1, 128 * kMiB},
    {0xDA, 256 * kMiB},
    {0xAA, 256 * kMiB},
    {0xDC, 512 * kMiB},
    {0xAC, 512 * kMiB},
    {0xD3, 1024 * kMiB},
    {0xA3, 1024 * kMiB},
    {0xD5, 2048 * kMiB},
    {0xA5, 2048 * kMiB},
}};

[[nodiscard]] const SizeByCode* size_by_code(uint8_t code) {
  for (const SizeByCode& row : kSizeByCode) {
    if (row.code == code) return &row;
  }
  return nullptr;
}

// A chip that describes itself: its mark may sit in the first, second or last
// page depending on the maker (byte 0 of the spare area on large pages); all
// three are looked at.
constexpr BadBlockMarker kSelfDescribedMarker{.spare_byte = 0, .pages = kMarkerPages};

DecodedChip decode_onfi_copy(std::span<const uint8_t> page) {
  DecodedChip out;
  ChipDescriptor& chip = out.chip;
  chip.page_size = le32(page, kOnfiPageBytes);
  chip.spare_size = le16(page, kOnfiSpareBytes);
  chip.pages_per_block = le32(page, kOnfiPagesPerBlock);
  chip.blocks_per_lun = le32(page, kOnfiBlocksPerLun);
  chip.luns = page[kOnfiLuns];
  chip.column_cycles = static_cast<uint8_t>(page[kOnfiAddressCycles] >> 4);
  chip.row_cycles = static_cast<uint8_t>(page[kOnfiAddressCycles] & 0x0F);
  chip.last_row_mask = last_row_mask_for(chip.pages(), chip.row_cycles);
  chip.read_confirm = true;  // ONFI reads are always 0x00, address, 0x30
  chip.bus_width = (le16(page, kOnfiFeatures) & 0x01) != 0 ? 16 : 8;
  chip.bits_per_cell = page[kOnfiBitsPerCell];
  chip.marker = kSelfDescribedMarker;
  out.described = true;
  out.fault = chip_fault(chip);

  std::size_t used = 0;
  char size[32];
  std::snprintf(size, sizeof size, "%" PRIu64 "MBytes(", chip.total_size() / kMiB);
  append_text(size, out.name, sizeof out.name, used);
  append_field(page.subspan(kOnfiManufacturer, kOnfiManufacturerLength), out.name, sizeof out.name,
               used);
  append_text(" ", out.name, sizeof out.name, used);
  append_field(page.subspan(kOnfiModel, kOnfiModelLength), out.name, sizeof out.name, used);
  append_text(")", out.name, sizeof out.name, used);
  return out;
}

}  // namespace

uint16_t onfi_crc16(std::span<const uint8_t> bytes) {
  uint16_t crc = kOnfiCrcInitial;
  for (const uint8_t byte : bytes) {
    crc = static_cast<uint16_t>(crc ^ (byte << 8));
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) != 0 ? static_cast<uint16_t>((crc << 1) ^ kOnfiCrcPolynomial)
                                : static_cast<uint16_t>(crc << 1);
    }
  }
  return crc;
}

DecodedChip onfi_decode(std::span<const uint8_t> copies) {
  for (std::size_t at = 0; at + kOnfiPageSize <= copies.size(); at += kOnfiPageSize) {
    const auto page = copies.subspan(at, kOnfiPageSize);
    const bool signed_page = page[0] == 'O' && page[1] == 'N' && page[2] == 'F' && page[3] == 'I';
    if (signed_page && onfi_crc16(page.first(kOnfiCrc)) == le16(page, kOnfiCrc)) {
      return decode_onfi_copy(page);
    }
  }
  DecodedChip out;
  out.fault = ChipFault::kNoParameterPage;
  return out;
}

bool extended_id_code(uint8_t device_code) {
  return size_by_code(device_code) != nullptr;
}

DecodedChip extended_id_decode(std::span<const uint8_t> id) {
  DecodedChip out;
  const SizeByCode* size = id.size() >= 4 ? size_by_code(id[1]) : nullptr;
  if (size == nullptr) {
    out.fault = ChipFault::kSizeOutOfRange;
    return out;
  }
  // Third byte, bits 2-3: cell type, 2 << n levels (0: SLC). Fourth byte: bits
  // 0-1 page 1 KiB << n; bit 2 spare bytes per 512 main bytes 8 << n; bits 4-5
  // block 64 KiB << n; bit 6 a 16-bit bus.
  const uint8_t cell = id[2];
  const uint8_t organisation = id[3];
  ChipDescriptor& chip = out.chip;
  chip.page_size = uint32_t{1024} << (organisation & 0x03);
  chip.spare_size = (uint32_t{8} << ((organisation >> 2) & 0x01)) * (chip.page_size / 512);
  const uint32_t block_size = uint32_t{64 * 1024} << ((organisation >> 4) & 0x03);
  chip.pages_per_block = block_size / chip.page_size;
  chip.blocks_per_lun = static_cast<uint32_t>(size->total_size / block_size);
  chip.luns = 1;
  chip.column_cycles = 2;
  // Row cycles as the datasheets of these chips give them: two up to 65536
  // pages (1 Gbit of 2 KiB pages), three above.
  chip.row_cycles = chip.pages() <= 65536 ? 2 : 3;
  chip.last_row_mask = last_row_mask_for(chip.pages(), chip.row_cycles);
  chip.read_confirm = true;
  chip.bus_width = (organisation & 0x40) != 0 ? 16 : 8;
  chip.bits_per_cell = static_cast<uint8_t>(((cell >> 2) & 0x03) + 1);
  chip.marker = kSelfDescribedMarker;
  out.described = true;
  out.fault = chip_fault(chip);

  std::size_t used = 0;
  char text[32];
  std::snprintf(text, sizeof text, "%" PRIu64 "MBytes(ID", size->total_size / kMiB);
  append_text(text, out.name, sizeof out.name, used);
  for (std::size_t i = 0; i < id.size() && i < kExtendedIdBytes; ++i) {
    std::snprintf(text, sizeof text, " %02X", id[i]);
    append_text(text, out.name, sizeof out.name, used);
  }
  append_text(")", out.name, sizeof out.name, used);
  return out;
}

}  // namespace jtagnand
