// Fuzz target: the decoders of chips that describe themselves, the ONFI
// parameter page (with its redundant copies) and the extended ID. The first
// input byte chooses the decoder; the rest are the bytes the chip returned.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "../fuzz_check.h"
#include "nand/chip_decode.h"

namespace {

using jtagnand::ChipFault;
using jtagnand::DecodedChip;

// What any decoded chip must hold: a terminated, printable name (it goes to the
// terminal as it is), and a chip accepted only when it can be driven.
void check(const DecodedChip& decoded) {
  const char* name = decoded.chip.name;
  const std::size_t length = strnlen(name, sizeof decoded.chip.name);
  FUZZ_CHECK(length < sizeof decoded.chip.name);
  for (std::size_t i = 0; i < length; ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    FUZZ_CHECK(c >= 0x20 && c < 0x7F);
  }
  if (decoded.fault == ChipFault::kNone) {
    FUZZ_CHECK(decoded.described);
    FUZZ_CHECK(jtagnand::chip_fault(decoded.chip) == ChipFault::kNone);
    FUZZ_CHECK(decoded.chip.total_size() > 0);
    FUZZ_CHECK(decoded.chip.total_size() % decoded.chip.block_size() == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::span<const uint8_t> bytes(data + 1, size - 1);
  if ((data[0] & 1U) == 0) {
    const DecodedChip decoded = jtagnand::onfi_decode(bytes);
    check(decoded);
    // No copy whose CRC holds: nothing is taken from the bytes.
    bool any_copy_holds = false;
    for (std::size_t at = 0; at + jtagnand::kOnfiPageSize <= bytes.size();
         at += jtagnand::kOnfiPageSize) {
      const auto copy = bytes.subspan(at, jtagnand::kOnfiPageSize);
      const uint16_t stored = static_cast<uint16_t>(copy[254] | copy[255] << 8);
      any_copy_holds = any_copy_holds || jtagnand::onfi_crc16(copy.first(254)) == stored;
    }
    if (!any_copy_holds) FUZZ_CHECK(decoded.fault == ChipFault::kNoParameterPage);
  } else if (bytes.size() >= 4 && jtagnand::extended_id_code(bytes[1])) {
    check(jtagnand::extended_id_decode(bytes));
  }
  return 0;
}
