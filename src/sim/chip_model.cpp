#include "sim/chip_model.h"

#include <bit>
#include <fstream>
#include <iterator>
#include <span>

namespace jtagnand::sim {

namespace {

constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr uint32_t kKiB = 1024;

// The eight chips of the first NAND generation the board knows by code, as
// their datasheets give them. Small-page chips send one column byte, large-page
// chips two; the rest of a read or program address is the page number, low
// byte first, and an erase sends only that part.
constexpr ChipGeometry kChips[] = {
    {0x76, 64 * kMiB, 512, 16 * kKiB, 16, false, 1, 4, 3},
    {0x75, 32 * kMiB, 512, 16 * kKiB, 16, false, 1, 3, 2},
    {0x73, 16 * kMiB, 512, 16 * kKiB, 16, false, 1, 3, 2},
    {0xE6, 8 * kMiB, 512, 8 * kKiB, 16, false, 1, 3, 2},
    {0xF1, 128 * kMiB, 2048, 128 * kKiB, 64, true, 2, 4, 2},
    {0xDA, 256 * kMiB, 2048, 128 * kKiB, 64, true, 2, 5, 3},
    {0xDC, 512 * kMiB, 2048, 128 * kKiB, 64, true, 2, 5, 3},
    {0xD3, 1024 * kMiB, 2048, 256 * kKiB, 64, true, 2, 5, 3},
};

// Large-page SLC device codes and the chip size each one stands for; the rest
// of the organisation is in the fourth ID byte. 3.3 V parts first, then their
// 1.8 V twins.
struct CodeSize {
  uint8_t code;
  uint64_t size;
};
constexpr CodeSize kCodeSizes[] = {
    {0xF1, 128 * kMiB},  {0xDA, 256 * kMiB},  {0xDC, 512 * kMiB}, {0xD3, 1024 * kMiB},
    {0xD5, 2048 * kMiB}, {0xA1, 128 * kMiB},  {0xAA, 256 * kMiB}, {0xAC, 512 * kMiB},
    {0xA3, 1024 * kMiB}, {0xA5, 2048 * kMiB},
};

constexpr std::size_t kParameterPage = 256;
constexpr std::size_t kMaxParameterFile = 64 * kParameterPage;

[[nodiscard]] const CodeSize* code_size(uint8_t code) {
  for (const auto& entry : kCodeSizes)
    if (entry.code == code) return &entry;
  return nullptr;
}

[[nodiscard]] uint32_t get16(std::span<const uint8_t> page, std::size_t at) {
  return page[at] | uint32_t{page[at + 1]} << 8;
}
[[nodiscard]] uint32_t get32(std::span<const uint8_t> page, std::size_t at) {
  return get16(page, at) | get16(page, at + 2) << 16;
}

// The integrity CRC of a parameter page as ONFI defines it: CRC-16 with the
// polynomial x^16 + x^15 + x^2 + 1, seeded with 0x4F4E, over bytes 0-253, bit 7
// of each byte first; bytes 254-255 hold it, low byte first.
[[nodiscard]] bool crc_holds(std::span<const uint8_t> page) {
  uint32_t crc = 0x4F4E;
  for (std::size_t i = 0; i < 254; ++i) {
    for (int bit = 7; bit >= 0; --bit) {
      const uint32_t in = (page[i] >> bit) & 1U;
      const uint32_t top = (crc >> 15) & 1U;
      crc = (crc << 1) & 0xFFFF;
      if ((in ^ top) != 0) crc ^= 0x8005;
    }
  }
  return crc == get16(page, 254);
}

// The organisation a parameter page gives, when it is one the board can hold.
[[nodiscard]] bool geometry_from_page(std::span<const uint8_t> page, uint8_t code,
                                      ChipGeometry& g) {
  const uint32_t page_size = get32(page, 80);
  const uint32_t spare = get16(page, 84);
  const uint32_t pages_per_block = get32(page, 92);
  const uint32_t blocks = get32(page, 96);
  const uint32_t luns = page[100];
  const int rows = page[101] & 0x0F;
  const int columns = page[101] >> 4;
  const auto pow2 = [](uint64_t n, uint64_t max) { return std::has_single_bit(n) && n <= max; };
  // A block count need not be a power of two on a chip of one LUN (1048,
  // 4192 blocks): the page number is the row.
  const bool blocks_fit = luns == 1 ? blocks >= 1 && blocks <= (1U << 20) : pow2(blocks, 1U << 20);
  if (!pow2(page_size, 16 * kKiB) || page_size < 512 || !pow2(pages_per_block, 1024) ||
      !blocks_fit || !pow2(luns, 8) || rows < 1 || rows > 4 || columns < 1 || columns > 4) {
    return false;
  }
  g = ChipGeometry{.device_code = code,
                   .total_size = uint64_t{page_size} * pages_per_block * blocks * luns,
                   .page_size = page_size,
                   .block_size = page_size * pages_per_block,
                   .spare_size = spare,
                   .large_page = true,
                   .column_cycles = columns,
                   .address_cycles = columns + rows,
                   .erase_cycles = rows};
  return true;
}

// Fourth ID byte: bits 0-1 page 1 KiB << n, bit 2 spare bytes per 512 main
// bytes 8 << n, bits 4-5 block 64 KiB << n. These chips take two column cycles
// and two row cycles up to 65536 pages, three above.
[[nodiscard]] ChipGeometry geometry_from_id(uint8_t code, uint64_t size, uint8_t organisation) {
  const uint32_t page = 1024U << (organisation & 0x03);
  const uint32_t spare = (8U << ((organisation >> 2) & 0x01)) * (page / 512);
  const uint32_t block = (64 * kKiB) << ((organisation >> 4) & 0x03);
  const int rows = size / page > 65536 ? 3 : 2;
  return {.device_code = code,
          .total_size = size,
          .page_size = page,
          .block_size = block,
          .spare_size = spare,
          .large_page = true,
          .column_cycles = 2,
          .address_cycles = 2 + rows,
          .erase_cycles = rows};
}

// The fourth ID byte a large-page chip of this organisation reports.
[[nodiscard]] uint8_t organisation_byte(const ChipGeometry& g) {
  const auto log2 = [](uint32_t n) { return static_cast<uint32_t>(std::countr_zero(n)); };
  const uint32_t page = log2(g.page_size / 1024) & 0x03;
  const uint32_t spare = g.spare_size / (g.page_size / 512) == 16 ? 1 : 0;
  const uint32_t block = log2(g.block_size / (64 * kKiB)) & 0x03;
  return static_cast<uint8_t>(page | spare << 2 | block << 4);
}

[[nodiscard]] bool load_parameter_pages(const std::string& path, std::vector<uint8_t>& out,
                                        std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = "onfi file " + path + ": cannot be read";
    return false;
  }
  std::vector<uint8_t> bytes;
  char c = 0;
  while (bytes.size() <= kMaxParameterFile && file.get(c)) bytes.push_back(static_cast<uint8_t>(c));
  if (bytes.empty() || bytes.size() % kParameterPage != 0 || bytes.size() > kMaxParameterFile) {
    error = "onfi file " + path + ": " + std::to_string(bytes.size()) +
            " bytes, expected 256 (one parameter page, served three times) or several copies of "
            "256, at most 64";
    return false;
  }
  out = bytes;
  if (bytes.size() == kParameterPage) {  // one page: the chip's three copies
    out.insert(out.end(), bytes.begin(), bytes.end());
    out.insert(out.end(), bytes.begin(), bytes.end());
  }
  return true;
}

}  // namespace

bool make_chip_model(const SimOptions& options, ChipModel& model, std::string& error) {
  ChipModel m;
  const bool given_id = options.id_bytes.size() >= 2;
  const uint8_t maker = given_id ? options.id_bytes[0] : options.maker_code;
  const uint8_t code = given_id ? options.id_bytes[1] : options.nand_code;
  if (!options.onfi_path.empty() && !load_parameter_pages(options.onfi_path, m.onfi, error))
    return false;

  bool found = false;
  if (!m.onfi.empty()) {
    // The first copy that passes its CRC, as the chip's own readers would take it.
    std::span<const uint8_t> pages(m.onfi);
    std::span<const uint8_t> chosen = pages.first(kParameterPage);
    for (std::size_t at = 0; at < pages.size(); at += kParameterPage) {
      if (crc_holds(pages.subspan(at, kParameterPage))) {
        chosen = pages.subspan(at, kParameterPage);
        break;
      }
    }
    found = geometry_from_page(chosen, code, m.geometry);
  }
  const CodeSize* sized = code_size(code);
  if (!found && given_id && options.id_bytes.size() >= 4 && sized != nullptr) {
    m.geometry = geometry_from_id(code, sized->size, options.id_bytes[3]);
    found = true;
  }
  for (const auto& chip : kChips) {
    if (found) break;
    if (chip.device_code == code) {
      m.geometry = chip;
      found = true;
    }
  }
  if (!found) {  // 2 KiB pages, 128 KiB blocks; the size from the code where it fixes one
    m.geometry = geometry_from_id(code, sized != nullptr ? sized->size : 128 * kMiB, 0x15);
  }

  if (given_id) {
    m.id = options.id_bytes;
  } else if (m.geometry.large_page) {
    m.id = {maker, code, 0x80, organisation_byte(m.geometry)};
  } else {
    m.id = {maker, code};
  }
  model = std::move(m);
  return true;
}

}  // namespace jtagnand::sim
