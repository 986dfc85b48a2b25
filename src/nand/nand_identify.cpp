#include "nand/nand_identify.h"

#include <array>
#include <span>

#include "nand/chip_decode.h"
#include "nand/nand_device.h"

namespace jtagnand {

namespace {

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
  std::array<uint8_t, kIdBytes> id{};
  FlashInfo& flash = bus.flash;
  // One Read ID: the two codes, and on a large-page code of the table the
  // further bytes in the same cycle (the chip sends them on as long as nRE
  // toggles).
  nand_chip_select(bus, kSelect);
  nand_command(bus, kNandCmdReadId);
  const uint8_t address[1] = {kIdAddressCodes};
  nand_address_cycles(bus, address, 1);
  nand_read_bytes(bus, id.data(), 2);
  const ChipRow* row = find_chip_code(id[1]);
  const bool large_page = row != nullptr && row->large_page;
  if (large_page) nand_read_bytes(bus, id.data() + 2, static_cast<int32_t>(id.size() - 2));
  nand_chip_select(bus, kRelease);
  flash.maker_code = id[0];
  flash.device_code = id[1];

  // A small-page built-in code fixes the chip: these chips have no further
  // ID bytes to say otherwise.
  if (row != nullptr && !large_page) {
    flash.source = ChipSource::kBuiltin;
    flash.chip = row->chip;
    return {};
  }

  // What the chip says about itself: its ONFI parameter page when it has
  // one, else its ID read by its maker's rules.
  std::array<uint8_t, 4> signature{};
  read_id_bytes(bus, kIdAddressOnfi, signature);
  DecodedChip decoded;
  if (signature == std::array<uint8_t, 4>{'O', 'N', 'F', 'I'}) {
    decoded = read_parameter_page(bus);
    flash.source = ChipSource::kOnfi;
  } else if (large_page) {
    decoded = extended_id_decode(id);
    flash.source = ChipSource::kExtendedId;
  } else {
    return {.outcome = NandOutcome::kUnknownChip};
  }

  // A built-in chip is taken, with its texts, only when the chip agrees with
  // it on every fact that drives it; otherwise the chip's own word.
  if (decoded.fault == ChipFault::kNone && row != nullptr && row->kind == ChipRowKind::kBuiltin &&
      same_chip(decoded.chip, row->chip)) {
    flash.source = ChipSource::kBuiltin;
    flash.chip = row->chip;
    return {};
  }
  if (decoded.described) flash.chip = decoded.chip;
  if (decoded.fault == ChipFault::kNone) return {};
  return {.outcome = NandOutcome::kUnsupportedChip,
          .fault = decoded.fault,
          .described = decoded.described};
}

}  // namespace jtagnand
