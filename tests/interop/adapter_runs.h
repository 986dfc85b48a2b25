#pragma once

// What the program's runs over every adapter check alike: the IDCODE line of
// each CPU, and the flash after the run that steps over a bad block.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "test_files.h"

namespace jtagnand::testing {

// An IDCODE as the program prints it: 32 bits, the most significant first.
inline std::string idcode_bits(uint32_t idcode) {
  std::string bits;
  for (int bit = 31; bit >= 0; --bit) bits += ((idcode >> bit) & 1u) != 0 ? '1' : '0';
  return bits;
}

// The flash after the bad-block run over an adapter (`image` written from
// block 4 of a 0x76 chip whose block 5 is bad): erased before the image, its
// first block, the bad block untouched, the rest of the image, erased after.
inline constexpr std::size_t kRunBlock = 16 * 1024;
inline void expect_image_around_bad_block(const std::string& flash,
                                          const std::vector<unsigned char>& image) {
  const std::vector<unsigned char> chip = read_file(flash);
  ASSERT_EQ(chip.size(), 64u * 1024 * 1024);
  const std::vector<unsigned char> erased(kRunBlock, 0xFF);
  EXPECT_EQ(slice(chip, 3 * kRunBlock, kRunBlock), erased);
  EXPECT_EQ(slice(chip, 4 * kRunBlock, kRunBlock), slice(image, 0, kRunBlock));
  EXPECT_EQ(slice(chip, 5 * kRunBlock, kRunBlock), erased);
  EXPECT_EQ(slice(chip, 6 * kRunBlock, image.size() - kRunBlock),
            slice(image, kRunBlock, image.size() - kRunBlock));
  EXPECT_EQ(slice(chip, 5 * kRunBlock + image.size(), kRunBlock), erased);
}

}  // namespace jtagnand::testing
