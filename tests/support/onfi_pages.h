#pragma once

// ONFI parameter pages of real chips, built from their datasheets' fields
// here in the tests (not from the program's decoder), for the simulated
// board's onfi= option and for the decoder's tests.

#include <cstdint>
#include <string>
#include <vector>

namespace jtagnand::testing {

struct OnfiFacts {
  const char* manufacturer;   // bytes 32-43, blank padded
  const char* model;          // bytes 44-63
  uint8_t jedec_maker;        // byte 64
  uint32_t page_size;         // bytes 80-83
  uint16_t spare_size;        // bytes 84-85
  uint32_t pages_per_block;   // bytes 92-95
  uint32_t blocks_per_lun;    // bytes 96-99
  uint8_t luns;               // byte 100
  uint8_t address_cycles;     // byte 101: column cycles in bits 4-7, row cycles in bits 0-3
  uint16_t features = 0;      // bytes 6-7: bit 0 a 16-bit bus
  uint8_t bits_per_cell = 1;  // byte 102
};

// The chips the tests put on the simulated board, with the ID bytes their
// datasheets give.
struct OnfiChip {
  OnfiFacts facts;
  std::string id;  // for sim:id=
};

// Winbond W29N01HZ: 1 Gbit, 1.8 V; two row cycles.
inline const OnfiChip kW29N01HZ{{"WINBOND", "W29N01HZSINA", 0xEF, 2048, 64, 64, 1024, 1, 0x22},
                                "EF:A1:00:95:00"};
// Micron MT29F8G08ABABA: 8 Gbit, 4 KiB pages; three row cycles.
inline const OnfiChip kMT29F8G08{
    {"MICRON", "MT29F8G08ABABAWP", 0x2C, 4096, 224, 128, 2048, 1, 0x23}, "2C:38:00:26:85"};
// Micron MT29F16G08ABABA: 16 Gbit.
inline const OnfiChip kMT29F16G08{
    {"MICRON", "MT29F16G08ABABAWP", 0x2C, 4096, 224, 128, 4096, 1, 0x23}, "2C:48:00:26:89"};
// Micron MT29F32G08AFABA: 32 Gbit, two 16 Gbit LUNs behind one chip enable.
inline const OnfiChip kMT29F32G08{
    {"MICRON", "MT29F32G08AFABAWP", 0x2C, 4096, 224, 128, 4096, 2, 0x23}, "2C:48:01:26:89"};
// Micron MT29F2G16ABAEA: 2 Gbit with a 16-bit bus.
inline const OnfiChip kMT29F2G16{
    {"MICRON", "MT29F2G16ABAEAWP", 0x2C, 2048, 64, 64, 2048, 1, 0x23, 0x0019}, "2C:CA:90:D5:06"};

// The CRC the page ends with: CRC-16, polynomial x^16 + x^15 + x^2 + 1,
// starting from 0x4F4E, over bytes 0-253, each byte's bit 7 first.
inline uint16_t onfi_test_crc(const std::vector<unsigned char>& page) {
  unsigned crc = 0x4F4E;
  for (size_t i = 0; i < 254; ++i) {
    for (int bit = 7; bit >= 0; --bit) {
      const unsigned feedback = ((crc >> 15) ^ (page[i] >> bit)) & 1U;
      crc = (crc << 1) & 0xFFFFU;
      if (feedback != 0) crc ^= 0x8005U;
    }
  }
  return static_cast<uint16_t>(crc);
}

// One 256-byte copy of the page.
inline std::vector<unsigned char> onfi_page(const OnfiFacts& f) {
  std::vector<unsigned char> page(256, 0);
  const auto put = [&](size_t at, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) page[at + static_cast<size_t>(i)] = (value >> (8 * i)) & 0xFF;
  };
  const auto text = [&](size_t at, const std::string& s, size_t width) {
    for (size_t i = 0; i < width; ++i) page[at + i] = i < s.size() ? s[i] : ' ';
  };
  text(0, "ONFI", 4);
  put(4, 0x0002, 2);  // revision: ONFI 1.0
  put(6, f.features, 2);
  text(32, f.manufacturer, 12);
  text(44, f.model, 20);
  page[64] = f.jedec_maker;
  put(80, f.page_size, 4);
  put(84, f.spare_size, 2);
  put(86, f.page_size / 4, 4);  // partial page: a quarter, as these chips give it
  put(90, f.spare_size / 4, 2);
  put(92, f.pages_per_block, 4);
  put(96, f.blocks_per_lun, 4);
  page[100] = f.luns;
  page[101] = f.address_cycles;
  page[102] = f.bits_per_cell;
  put(254, onfi_test_crc(page), 2);
  return page;
}

}  // namespace jtagnand::testing
