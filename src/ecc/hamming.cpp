// Linux's software Hamming code for 256-byte steps (ecc-sw-hamming.c, byte
// order of kernels built without the SmartMedia option): 16 row parities
// (rp0..rp15: the parity of the bytes whose address bit k is 0, then 1) and 6
// column parities (cp0..cp5: the same over the bit numbers of the XOR of all
// bytes), each stored inverted so that an erased step reads FF FF FF:
//   code[0] = rp15..rp8, code[1] = rp7..rp0, code[2] = cp5..cp0 1 1.
#include <bit>

#include "ecc/ecc.h"

namespace jtagnand {

namespace {

[[nodiscard]] uint32_t parity(uint32_t value) {
  return std::popcount(value) & 1u;
}

// The bits at odd positions of `value`, packed: the "1" half of each parity
// pair names one address bit of a single flipped bit.
[[nodiscard]] uint32_t odd_bits(uint32_t value) {
  uint32_t out = 0;
  for (uint32_t k = 0; k < 4; ++k) out |= ((value >> (2 * k + 1)) & 1u) << k;
  return out;
}

}  // namespace

void hamming_encode_step(std::span<const uint8_t, 256> data, std::span<uint8_t, 3> code) {
  // The XOR of the addresses of the bytes of odd parity gives every "1" row
  // parity at once; each "0" parity is the whole step's parity minus it.
  uint32_t all = 0;
  uint32_t odd_addresses = 0;
  for (uint32_t i = 0; i < 256; ++i) {
    all ^= data[i];
    odd_addresses ^= i & (0u - parity(data[i]));
  }
  const uint32_t total = parity(all);
  uint32_t rows = 0;  // rp0 at bit 0 ... rp15 at bit 15
  for (uint32_t k = 0; k < 8; ++k) {
    const uint32_t one = (odd_addresses >> k) & 1u;
    rows |= ((total ^ one) << (2 * k)) | (one << (2 * k + 1));
  }
  const uint32_t columns = parity(all & 0x55) << 0 | parity(all & 0xAA) << 1 |
                           parity(all & 0x33) << 2 | parity(all & 0xCC) << 3 |
                           parity(all & 0x0F) << 4 | parity(all & 0xF0) << 5;
  code[0] = static_cast<uint8_t>(~(rows >> 8));
  code[1] = static_cast<uint8_t>(~rows);
  code[2] = static_cast<uint8_t>(~(columns << 2) | 0x03);
}

int32_t hamming_decode_step(std::span<uint8_t, 256> data, std::span<const uint8_t, 3> stored) {
  uint8_t calculated[3];
  hamming_encode_step(data, calculated);
  const uint32_t b0 = stored[1] ^ calculated[1];  // rp7..rp0
  const uint32_t b1 = stored[0] ^ calculated[0];  // rp15..rp8
  const uint32_t b2 = stored[2] ^ calculated[2];
  if ((b0 | b1 | b2) == 0) return 0;
  // One flipped data bit toggles exactly one parity of every pair.
  if (((b0 ^ (b0 >> 1)) & 0x55) == 0x55 && ((b1 ^ (b1 >> 1)) & 0x55) == 0x55 &&
      ((b2 ^ (b2 >> 1)) & 0x54) == 0x54) {
    const uint32_t byte = (odd_bits(b1) << 4) | odd_bits(b0);
    const uint32_t bit = odd_bits(b2 >> 2);
    data[byte] = static_cast<uint8_t>(data[byte] ^ (1u << bit));
    return 1;
  }
  // One flipped bit in the ECC bytes themselves: the data is right.
  if (std::popcount(b0) + std::popcount(b1) + std::popcount(b2) == 1) return 1;
  return -1;
}

}  // namespace jtagnand
