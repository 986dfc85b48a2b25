// Chips that describe themselves: the ONFI parameter page with its CRC and
// redundant copies, the extended ID, and the address bytes of such chips.

#include "nand/chip_decode.h"

#include <gtest/gtest.h>

#include <functional>
#include <span>
#include <string>
#include <vector>

#include "nand/nand_bus.h"
#include "onfi_pages.h"

namespace jtagnand {
namespace {

using testing::OnfiFacts;
using Bytes = std::vector<unsigned char>;

DecodedChip decode(const Bytes& bytes) {
  return onfi_decode(std::span<const uint8_t>(bytes.data(), bytes.size()));
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Copies told apart by their model field.
Bytes copy_named(const char* model) {
  OnfiFacts facts = testing::kW29N01HZ.facts;
  facts.model = model;
  return testing::onfi_page(facts);
}

Bytes corrupted(Bytes page) {
  page[96] ^= 0x04;  // one bit of the block count: the CRC no longer holds
  return page;
}

// A copy whose CRC holds over a page without the "ONFI" signature.
Bytes unsigned_copy() {
  Bytes page = copy_named("UNSIGNED");
  page[0] = 'X';
  const uint16_t crc = testing::onfi_test_crc(page);
  page[254] = static_cast<unsigned char>(crc & 0xFF);
  page[255] = static_cast<unsigned char>(crc >> 8);
  return page;
}

TEST(OnfiDecode, TheFirstCopyThatPassesItsCrcIsTaken) {
  const Bytes a = copy_named("COPY-A"), b = copy_named("COPY-B"), c = copy_named("COPY-C");
  const struct {
    const char* what;
    Bytes bytes;
    const char* model;  // null: refused
  } cases[] = {
      {"all good", cat({a, b, c}), "COPY-A"},
      {"first bad", cat({corrupted(a), b, c}), "COPY-B"},
      {"two bad", cat({corrupted(a), corrupted(b), c}), "COPY-C"},
      {"signature missing", cat({unsigned_copy(), b, c}), "COPY-B"},
      {"CRC bytes swapped",
       cat({[&] {
              Bytes x = a;
              std::swap(x[254], x[255]);
              return x;
            }(),
            b}),
       "COPY-B"},
      {"all three bad", cat({corrupted(a), corrupted(b), corrupted(c)}), nullptr},
      {"a partial copy is not read", cat({corrupted(a), Bytes(b.begin(), b.end() - 1)}), nullptr},
      {"nothing", {}, nullptr},
  };
  for (const auto& one : cases) {
    SCOPED_TRACE(one.what);
    const DecodedChip chip = decode(one.bytes);
    if (one.model == nullptr) {
      EXPECT_EQ(chip.fault, ChipFault::kNoParameterPage);
      EXPECT_FALSE(chip.described);
      continue;
    }
    EXPECT_EQ(chip.fault, ChipFault::kNone);
    EXPECT_EQ(std::string(chip.chip.name), std::string("128MBytes(WINBOND ") + one.model + ")");
  }
}

TEST(OnfiDecode, FieldsOfRealChips) {
  const struct {
    const testing::OnfiChip& chip;
    const char* name;
    uint64_t total;
    uint8_t last_row_mask;
  } cases[] = {
      {testing::kW29N01HZ, "128MBytes(WINBOND W29N01HZSINA)", 128ull << 20, 0xFF},
      {testing::kMT29F8G08, "1024MBytes(MICRON MT29F8G08ABABAWP)", 1ull << 30, 0x03},
      {testing::kMT29F16G08, "2048MBytes(MICRON MT29F16G08ABABAWP)", 2ull << 30, 0x07},
      {testing::kMT29F32G08, "4096MBytes(MICRON MT29F32G08AFABAWP)", 4ull << 30, 0x0F},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const OnfiFacts& f = c.chip.facts;
    const DecodedChip d = decode(testing::onfi_page(f));
    ASSERT_EQ(d.fault, ChipFault::kNone);
    EXPECT_STREQ(d.chip.name, c.name);
    EXPECT_EQ(d.chip.page_size, f.page_size);
    EXPECT_EQ(d.chip.spare_size, f.spare_size);
    EXPECT_EQ(d.chip.pages_per_block, f.pages_per_block);
    EXPECT_EQ(d.chip.blocks_per_lun, f.blocks_per_lun);
    EXPECT_EQ(d.chip.luns, f.luns);
    EXPECT_EQ(d.chip.total_size(), c.total);
    EXPECT_EQ(d.chip.column_cycles, f.address_cycles >> 4);
    EXPECT_EQ(d.chip.row_cycles, f.address_cycles & 0x0F);
    EXPECT_EQ(d.chip.last_row_mask, c.last_row_mask);
    EXPECT_TRUE(d.chip.read_confirm);
    EXPECT_EQ(d.chip.marker.spare_byte, 0);
  }
}

TEST(OnfiDecode, ChipsThatCannotBeDrivenAreRefusedWithTheirName) {
  const struct {
    const char* what;
    std::function<void(OnfiFacts&)> change;
    ChipFault fault;
  } cases[] = {
      {"16-bit bus", [](OnfiFacts& f) { f.features = 0x0019; }, ChipFault::kSixteenBitBus},
      {"two bits per cell", [](OnfiFacts& f) { f.bits_per_cell = 2; }, ChipFault::kMultiLevelCell},
      {"96 pages per block", [](OnfiFacts& f) { f.pages_per_block = 96; },
       ChipFault::kNotPowerOfTwo},
      {"1000 blocks in each of two LUNs",
       [](OnfiFacts& f) {
         f.blocks_per_lun = 1000;
         f.luns = 2;
       },
       ChipFault::kNotPowerOfTwo},
      {"no spare bytes", [](OnfiFacts& f) { f.spare_size = 0; }, ChipFault::kNoSpareArea},
      {"no LUN", [](OnfiFacts& f) { f.luns = 0; }, ChipFault::kNotPowerOfTwo},
      {"page of 2000 bytes", [](OnfiFacts& f) { f.page_size = 2000; }, ChipFault::kNotPowerOfTwo},
      {"two row cycles for 2^18 pages", [](OnfiFacts& f) { f.address_cycles = 0x22; },
       ChipFault::kAddressCycles},
      {"one column cycle for 4 KiB pages", [](OnfiFacts& f) { f.address_cycles = 0x13; },
       ChipFault::kAddressCycles},
      {"no address cycles", [](OnfiFacts& f) { f.address_cycles = 0; }, ChipFault::kAddressCycles},
      {"32 KiB pages", [](OnfiFacts& f) { f.page_size = 32768; }, ChipFault::kSizeOutOfRange},
      {"32 GiB",
       [](OnfiFacts& f) {
         f.luns = 8;
         f.blocks_per_lun = 8192;
       },
       ChipFault::kSizeOutOfRange},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    OnfiFacts facts = testing::kMT29F8G08.facts;
    c.change(facts);
    const DecodedChip d = decode(testing::onfi_page(facts));
    EXPECT_EQ(d.fault, c.fault);
    EXPECT_TRUE(d.described);
    EXPECT_NE(std::string(d.chip.name).find("(MICRON MT29F8G08ABABAWP)"), std::string::npos)
        << d.chip.name;
    EXPECT_FALSE(chip_fault_text(d.fault).empty());
  }
}

TEST(OnfiDecode, NamesShowPrintableTextOnly) {
  OnfiFacts facts = testing::kW29N01HZ.facts;
  facts.manufacturer = "A\x1b[2J\x07Z";
  facts.model = "M\x80\xff";
  const DecodedChip d = decode(testing::onfi_page(facts));
  EXPECT_STREQ(d.chip.name,
               "128MBytes(A?[2J?Z M?"
               "?)");
}

TEST(ExtendedId, EachFieldOfTheThirdAndFourthByte) {
  const struct {
    Bytes id;
    uint32_t page, spare, pages_per_block;
    uint64_t blocks;
    uint8_t row_cycles, last_row_mask;
    ChipFault fault;
  } cases[] = {
      // Samsung K9F1G08R0A: 2 KiB + 64, 128 KiB blocks, 1 Gbit.
      {{0xEC, 0xA1, 0x00, 0x15, 0x40}, 2048, 64, 64, 1024, 2, 0xFF, ChipFault::kNone},
      // Page bits 0-1: 1 KiB << n.
      {{0xEC, 0xA1, 0x00, 0x14}, 1024, 32, 128, 1024, 3, 0x01, ChipFault::kNone},
      {{0xEC, 0xA1, 0x00, 0x12}, 4096, 64, 32, 1024, 2, 0x7F, ChipFault::kNone},
      // 8 KiB pages, 16 spare bytes per 512, 512 KiB blocks.
      {{0xEC, 0xA1, 0x00, 0x37}, 8192, 256, 64, 256, 2, 0x3F, ChipFault::kNone},
      // Block bits 4-5: 64 KiB << n.
      {{0xEC, 0xA1, 0x00, 0x05}, 2048, 64, 32, 2048, 2, 0xFF, ChipFault::kNone},
      {{0xEC, 0xA1, 0x00, 0x25}, 2048, 64, 128, 512, 2, 0xFF, ChipFault::kNone},
      // The code fixes the size: 2 Gbit and 16 Gbit take a third row cycle.
      {{0xEC, 0xAA, 0x00, 0x15}, 2048, 64, 64, 2048, 3, 0x01, ChipFault::kNone},
      {{0xAD, 0xD5, 0x00, 0x15}, 2048, 64, 64, 16384, 3, 0x0F, ChipFault::kNone},
      // Bit 6: a 16-bit bus.
      {{0xEC, 0xA1, 0x00, 0x55}, 2048, 64, 64, 1024, 2, 0xFF, ChipFault::kSixteenBitBus},
      // Third byte bits 2-3: cell type; Samsung K9GAG08U0M is MLC.
      {{0xEC, 0xD5, 0x14, 0xB6, 0x74}, 4096, 128, 128, 4096, 3, 0x07, ChipFault::kMultiLevelCell},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << std::hex << int{c.id[1]} << " " << int{c.id[2]} << " " << int{c.id[3]});
    ASSERT_TRUE(extended_id_code(c.id[1]));
    const DecodedChip d = extended_id_decode(std::span<const uint8_t>(c.id.data(), c.id.size()));
    EXPECT_EQ(d.fault, c.fault);
    EXPECT_EQ(d.chip.page_size, c.page);
    EXPECT_EQ(d.chip.spare_size, c.spare);
    EXPECT_EQ(d.chip.pages_per_block, c.pages_per_block);
    EXPECT_EQ(d.chip.blocks(), c.blocks);
    EXPECT_EQ(d.chip.row_cycles, c.row_cycles);
    EXPECT_EQ(d.chip.last_row_mask, c.last_row_mask);
  }
  const Bytes k9f1g08r0a = {0xEC, 0xA1, 0x00, 0x15, 0x40};
  EXPECT_STREQ(extended_id_decode(std::span<const uint8_t>(k9f1g08r0a.data(), 5)).chip.name,
               "128MBytes(ID EC A1 00 15 40)");
  EXPECT_FALSE(extended_id_code(0x79));
  EXPECT_FALSE(extended_id_code(0x76));  // a small-page code: no fourth byte to read
}

// The address bytes of chips that described themselves, where the row cycles
// run out: the last blocks of a 2-row-cycle chip, a 3-row-cycle chip, and the
// second LUN of a two-LUN chip (the LUN bit above the block bits).
TEST(SelfDescribedAddresses, HighBlocksAndTheSecondLun) {
  const auto chip_of = [](const testing::OnfiChip& chip) {
    return decode(testing::onfi_page(chip.facts)).chip;
  };
  const ChipDescriptor w29n01hz = chip_of(testing::kW29N01HZ);    // 2 KiB pages, 64 per block
  const ChipDescriptor mt29f8g = chip_of(testing::kMT29F8G08);    // 4 KiB pages, 128 per block
  const ChipDescriptor mt29f32g = chip_of(testing::kMT29F32G08);  // and 4096 blocks per LUN
  const auto at = [](uint64_t block, uint64_t page, uint32_t page_size, uint32_t per_block) {
    return (block * per_block + page) * page_size;
  };
  const struct {
    const char* what;
    const ChipDescriptor& chip;
    uint64_t offset;
    Bytes read, erase;
  } cases[] = {
      {"1 Gbit, last page",
       w29n01hz,
       at(1023, 63, 2048, 64),
       {0x00, 0x00, 0xFF, 0xFF},
       {0xFF, 0xFF}},
      {"1 Gbit, block 1000 page 5",
       w29n01hz,
       at(1000, 5, 2048, 64),
       {0x00, 0x00, 0x05, 0xFA},
       {0x05, 0xFA}},
      {"1 Gbit, last byte of a page",
       w29n01hz,
       at(7, 0, 2048, 64) + 2047,
       {0xFF, 0x07, 0xC0, 0x01},
       {0xC0, 0x01}},
      {"8 Gbit, last page",
       mt29f8g,
       at(2047, 127, 4096, 128),
       {0x00, 0x00, 0xFF, 0xFF, 0x03},
       {0xFF, 0xFF, 0x03}},
      {"8 Gbit, block 1234",
       mt29f8g,
       at(1234, 0, 4096, 128) + 4095,
       {0xFF, 0x0F, 0x00, 0x69, 0x02},
       {0x00, 0x69, 0x02}},
      {"32 Gbit, last page of LUN 0",
       mt29f32g,
       at(4095, 127, 4096, 128),
       {0x00, 0x00, 0xFF, 0xFF, 0x07},
       {0xFF, 0xFF, 0x07}},
      {"32 Gbit, first page of LUN 1",
       mt29f32g,
       at(4096, 0, 4096, 128),
       {0x00, 0x00, 0x00, 0x00, 0x08},
       {0x00, 0x00, 0x08}},
      {"32 Gbit, last page of LUN 1",
       mt29f32g,
       at(8191, 127, 4096, 128),
       {0x00, 0x00, 0xFF, 0xFF, 0x0F},
       {0xFF, 0xFF, 0x0F}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    AddressBytes bytes{};
    int n = nand_address_bytes(c.chip, AddressKind::kColumnAndRow, c.offset, bytes);
    EXPECT_EQ(Bytes(bytes, bytes + n), c.read);
    n = nand_address_bytes(c.chip, AddressKind::kRowOnly, c.offset, bytes);
    EXPECT_EQ(Bytes(bytes, bytes + n), c.erase);
  }
}

}  // namespace
}  // namespace jtagnand
