#include "nand/chip_decode.h"

#include <array>
#include <cinttypes>
#include <cstdio>

#include "nand/nand_device.h"

namespace jtagnand {

namespace {

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
  char* name = chip.name;
  std::snprintf(size, sizeof size, "%" PRIu64 "MBytes(", chip.total_size() / kMiB);
  append_text(size, name, kChipNameRoom, used);
  append_field(page.subspan(kOnfiManufacturer, kOnfiManufacturerLength), name, kChipNameRoom, used);
  append_text(" ", name, kChipNameRoom, used);
  append_field(page.subspan(kOnfiModel, kOnfiModelLength), name, kChipNameRoom, used);
  append_text(")", name, kChipNameRoom, used);
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
  const ChipRow* row = find_chip_code(device_code);
  return row != nullptr && row->large_page;
}

std::size_t id_length(std::span<const uint8_t> id) {
  std::size_t last_nonzero = id.size();
  while (last_nonzero > 0 && id[last_nonzero - 1] == 0) --last_nonzero;
  if (last_nonzero == 0) return 0;
  for (std::size_t period = 1; period < id.size(); ++period) {
    bool repeats = true;
    for (std::size_t i = period; i < id.size() && repeats; ++i) repeats = id[i] == id[i - period];
    if (repeats) return period;
  }
  return last_nonzero;
}

namespace {

constexpr uint8_t kSamsung = 0xEC;
constexpr uint8_t kHynix = 0xAD;
constexpr uint8_t kToshiba = 0x98;

// Samsung's six-byte IDs of MLC chips (K9GAG08U0F): fourth byte bits 0-1
// page 2 KiB << n; bits 2-3 and 6 the spare size; bits 4-5 and 7 the block,
// 128 KiB << n.
void samsung_six_byte(uint8_t org, ChipDescriptor& chip) {
  constexpr uint32_t kSpare[8] = {0, 128, 218, 400, 436, 512, 640, 0};
  chip.page_size = uint32_t{2048} << (org & 0x03);
  chip.spare_size = kSpare[((org >> 2) & 0x03) | ((org >> 4) & 0x04)];
  const uint32_t block_shift = ((org >> 4) & 0x03) | ((org >> 5) & 0x04);
  chip.pages_per_block = (uint32_t{128 * 1024} << block_shift) / chip.page_size;
  chip.bus_width = 8;  // bit 6 belongs to the spare size here
}

// Hynix's six-byte IDs of MLC chips (H27UBG8T2A): fourth byte bits 0-1 page
// 2 KiB << n; bits 2-3 and 6 the spare size; bits 4-5 the block, 1 MiB << n
// with bit 7, else 128 KiB << n (768 KiB for 3).
void hynix_six_byte(uint8_t org, ChipDescriptor& chip) {
  constexpr uint32_t kSpare[8] = {128, 224, 448, 64, 32, 16, 640, 0};
  chip.page_size = uint32_t{2048} << (org & 0x03);
  chip.spare_size = kSpare[((org >> 2) & 0x03) | ((org >> 4) & 0x04)];
  const uint32_t block_bits = (org >> 4) & 0x03;
  uint32_t block_size = uint32_t{128 * 1024} << block_bits;
  if ((org & 0x80) != 0) {
    block_size = uint32_t{1024 * 1024} << block_bits;
  } else if (block_bits == 3) {
    block_size = 768 * 1024;
  }
  chip.pages_per_block = block_size / chip.page_size;
  chip.bus_width = 8;  // bit 6 belongs to the spare size here
}

}  // namespace

DecodedChip extended_id_decode(std::span<const uint8_t> id) {
  DecodedChip out;
  const ChipRow* row = id.size() >= 4 ? find_chip_code(id[1]) : nullptr;
  if (row == nullptr || !row->large_page) {
    out.fault = ChipFault::kSizeOutOfRange;
    return out;
  }
  ChipDescriptor& chip = out.chip;
  out.described = true;
  if (const ChipRow* whole = find_whole_id(id); whole != nullptr) {
    chip = whole->chip;
    out.fault = chip_fault(chip);
    return out;
  }

  // Third byte, bits 2-3: cell type, 2 << n levels (0: SLC).
  const uint8_t maker = id[0];
  const uint8_t organisation = id[3];
  const auto bits_per_cell = static_cast<uint8_t>(((id[2] >> 2) & 0x03) + 1);
  const std::size_t length = id_length(id);
  chip = organisation_chip(row->total_size, organisation);
  if (bits_per_cell > 1 && maker == kSamsung && length == 6 && id[5] != 0) {
    samsung_six_byte(organisation, chip);
  } else if (bits_per_cell > 1 && maker == kHynix && length >= 6) {
    hynix_six_byte(organisation, chip);
  } else if (bits_per_cell == 1 && maker == kToshiba && length >= 6 && (id[5] & 0x07) == 0x06 &&
             (id[4] & 0x80) == 0) {
    // Sixth byte bits 0-2: 0b110 a 24 nm part; fifth byte bit 7 clear: raw
    // SLC (not the on-die ECC kind, which keeps its ECC bytes out of sight).
    chip.spare_size = 32 * (chip.page_size / 512);
  }
  if (chip.page_size != 0 && chip.pages_per_block != 0) {
    chip.blocks_per_lun = static_cast<uint32_t>(row->total_size / chip.block_size());
  }
  chip.row_cycles = chip.pages() <= 65536 ? 2 : 3;
  chip.last_row_mask = last_row_mask_for(chip.pages(), chip.row_cycles);
  chip.bits_per_cell = bits_per_cell;
  if (row->bus_width == 16) chip.bus_width = 16;
  out.fault = chip_fault(chip);

  std::size_t used = 0;
  char text[32];
  std::snprintf(text, sizeof text, "%" PRIu64 "MBytes(ID", row->total_size / kMiB);
  append_text(text, chip.name, kChipNameRoom, used);
  for (std::size_t i = 0; i < id.size() && i < kExtendedIdBytes; ++i) {
    std::snprintf(text, sizeof text, " %02X", id[i]);
    append_text(text, chip.name, kChipNameRoom, used);
  }
  append_text(")", chip.name, kChipNameRoom, used);
  return out;
}

}  // namespace jtagnand
