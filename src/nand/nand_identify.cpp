#include "nand/nand_identify.h"

#include <array>
#include <cstring>
#include <span>

#include "nand/chip_decode.h"
#include "nand/nand_device.h"

namespace jtagnand {

namespace {

constexpr char kSelect = '0';
constexpr char kRelease = '1';

// Read ID addresses: the maker and device codes (and the extended ID bytes
// after them), and the ONFI signature.
constexpr uint8_t kIdAddressCodes = 0x00;
constexpr uint8_t kIdAddressOnfi = 0x20;

// Read ID from `address`: select, 0x90, one address cycle, `count` data reads,
// release.
void read_id_bytes(NandBus& bus, uint8_t address, std::span<uint8_t> out) {
  nand_chip_select(bus, kSelect);
  nand_command(bus, kNandCmdReadId);
  const uint8_t bytes[1] = {address};
  nand_address_cycles(bus, bytes, 1);
  nand_read_bytes(bus, out.data(), static_cast<int32_t>(out.size()));
  nand_chip_select(bus, kRelease);
}

// Read Parameter Page: 0xEC, address 0x00, ready wait, then the copies back
// to back. A copy is read only while none before it passed its CRC.
DecodedChip read_parameter_page(NandBus& bus) {
  std::array<uint8_t, kOnfiPageSize * kOnfiCopies> copies{};
  DecodedChip decoded;
  nand_chip_select(bus, kSelect);
  nand_command(bus, kNandCmdReadParameterPage);
  const uint8_t bytes[1] = {0x00};
  nand_address_cycles(bus, bytes, 1);
  if (nand_wait_ready(bus) != 0) {
    decoded.fault = ChipFault::kParameterPageBusy;
  } else {
    for (std::size_t copy = 0; copy < kOnfiCopies; ++copy) {
      nand_read_bytes(bus, copies.data() + copy * kOnfiPageSize,
                      static_cast<int32_t>(kOnfiPageSize));
      decoded = onfi_decode(std::span<const uint8_t>(copies).first((copy + 1) * kOnfiPageSize));
      if (decoded.fault != ChipFault::kNoParameterPage) break;
    }
  }
  nand_chip_select(bus, kRelease);
  return decoded;
}

}  // namespace

ChipIdentification nand_identify(NandBus& bus) {
  std::array<uint8_t, kExtendedIdBytes> id{};
  read_id_bytes(bus, kIdAddressCodes, std::span(id).first(2));
  FlashInfo& flash = bus.flash;
  flash.maker_code = id[0];
  flash.device_code = id[1];

  // Any maker is accepted; a built-in device code alone fixes the chip.
  if (const BuiltinChip* row = find_builtin_chip(flash.device_code); row != nullptr) {
    std::strncpy(flash.name, row->name, sizeof flash.name - 1);
    flash.name[sizeof flash.name - 1] = '\0';
    flash.source = ChipSource::kBuiltin;
    flash.chip = row->chip;
    return {};
  }

  std::array<uint8_t, 4> signature{};
  read_id_bytes(bus, kIdAddressOnfi, signature);
  DecodedChip decoded;
  if (signature == std::array<uint8_t, 4>{'O', 'N', 'F', 'I'}) {
    decoded = read_parameter_page(bus);
    flash.source = ChipSource::kOnfi;
  } else if (extended_id_code(flash.device_code)) {
    read_id_bytes(bus, kIdAddressCodes, id);
    decoded = extended_id_decode(id);
    flash.source = ChipSource::kExtendedId;
  } else {
    return {.outcome = NandOutcome::kUnknownChip};
  }

  if (decoded.described) {
    std::memcpy(flash.name, decoded.name, sizeof decoded.name);
    flash.chip = decoded.chip;
  }
  if (decoded.fault == ChipFault::kNone) return {};
  return {.outcome = NandOutcome::kUnsupportedChip,
          .fault = decoded.fault,
          .described = decoded.described};
}

}  // namespace jtagnand
