// The ECC engines against Linux's own output: each spare area below is what
// `nandwrite -p` then `nanddump --noecc --oob` gave on nandsim (kernel 6.1)
// for the page whose data the pattern makes.
#include "ecc/ecc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace jtagnand {
namespace {

enum class Pattern { kRandom1, kRandom2, kZeros, kOneZeroBit };

std::vector<uint8_t> page_data(Pattern pattern, uint32_t size) {
  std::vector<uint8_t> data(size, 0xFF);
  if (pattern == Pattern::kZeros) std::fill(data.begin(), data.end(), uint8_t{0});
  if (pattern == Pattern::kOneZeroBit) data.back() = 0xFE;
  if (pattern == Pattern::kRandom1 || pattern == Pattern::kRandom2) {
    uint32_t x = pattern == Pattern::kRandom1 ? 1 : 2;
    for (auto& b : data) {
      x = x * 1103515245u + 12345u;
      b = static_cast<uint8_t>(x >> 16);
    }
  }
  return data;
}

std::vector<uint8_t> from_hex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

struct Vector {
  EccScheme scheme;
  uint32_t page_size;
  Pattern pattern;
  const char* spare;  // the tail of the spare area; the bytes before it are all 0xFF
};

const Vector kVectors[] = {
    {EccScheme::kHamming, 2048, Pattern::kRandom1,
     "c3ff03fccc3f9a5997c3303f99665799aa9ba6995b9a9667"},
    {EccScheme::kHamming, 2048, Pattern::kRandom2,
     "f030ffcf00c369995b95a56b0ff0f330ff3ffffcff59556b"},
    {EccScheme::kHamming, 2048, Pattern::kZeros, "ff"},
    {EccScheme::kHamming, 2048, Pattern::kOneZeroBit, "5555ab"},
    {EccScheme::kBch4, 2048, Pattern::kRandom1,
     "70cf0ba9a118cff474518fbe063f18a69b13846fcf709663903edd9f"},
    {EccScheme::kBch4, 2048, Pattern::kRandom2,
     "89c517d84065cfac61cf38271aaf6467773d966b7f73836daff7d1af"},
    {EccScheme::kBch4, 2048, Pattern::kZeros,
     "2813cc3996ac7f2813cc3996ac7f2813cc3996ac7f2813cc3996ac7f"},
    {EccScheme::kBch4, 2048, Pattern::kOneZeroBit, "badcfbc547954f"},
    {EccScheme::kBch8, 2048, Pattern::kRandom1,
     "e6ec8c7777dc3161b9efa0a3ec8116850c0f2b214dfd1c88482456b1ce2b1546b75a810e30308818c37ef25b51884"
     "b"
     "6849ce86e6"},
    {EccScheme::kBch8, 2048, Pattern::kRandom2,
     "b345f72f76fadf1524796d27398bc8f0d637f713955aef6a79f7db2b36fccc2d46ef36d78b4ce86f75c6d090ec815"
     "3"
     "14863c003a"},
    {EccScheme::kBch8, 2048, Pattern::kZeros,
     "ef512e09ed939ac29779e524b5ef512e09ed939ac29779e524b5ef512e09ed939ac29779e524b5ef512e09ed939ac"
     "2"
     "9779e524b5"},
    {EccScheme::kBch8, 2048, Pattern::kOneZeroBit, "ea06eb1f84f3ec78be3a3b04dc"},
    {EccScheme::kHamming, 512, Pattern::kRandom1, "c3ff03fcffffcc3fffffffffffffffff"},
    {EccScheme::kHamming, 512, Pattern::kRandom2, "f030ffcfffff00c3ffffffffffffffff"},
    {EccScheme::kHamming, 512, Pattern::kOneZeroBit, "ffffff55ffff55abffffffffffffffff"},
};

TEST(Ecc, SpareAreaIsLinuxs) {
  for (const Vector& v : kVectors) {
    const uint32_t spare_size = v.page_size / 32;
    ASSERT_EQ(EccCodec::fits(v.scheme, v.page_size, spare_size), EccFit::kFits);
    const EccCodec codec(v.scheme, v.page_size, spare_size);
    const std::vector<uint8_t> data = page_data(v.pattern, v.page_size);
    std::vector<uint8_t> expected(spare_size, 0xFF);
    const std::vector<uint8_t> tail = from_hex(v.spare);
    std::copy(tail.begin(), tail.end(), expected.end() - static_cast<std::ptrdiff_t>(tail.size()));
    std::vector<uint8_t> spare(spare_size, 0xFF);
    codec.encode(data, spare);
    EXPECT_EQ(spare, expected) << ecc_scheme_name(v.scheme) << " " << v.page_size << " pattern "
                               << static_cast<int>(v.pattern);
  }
}

// Flips as many bits as the scheme corrects in every step (one of them in
// the step's ECC bytes), then one more in the first step.
TEST(Ecc, CorrectsUpToItsStrengthAndNoMore) {
  for (const EccScheme scheme : {EccScheme::kHamming, EccScheme::kBch4, EccScheme::kBch8}) {
    for (const uint32_t page_size : {512u, 2048u, 4096u}) {
      const uint32_t spare_size = page_size / 32;
      if (EccCodec::fits(scheme, page_size, spare_size) != EccFit::kFits) continue;
      const EccCodec codec(scheme, page_size, spare_size);
      const std::vector<uint8_t> data = page_data(Pattern::kRandom1, page_size);
      std::vector<uint8_t> spare(spare_size, 0xFF);
      codec.encode(data, spare);

      std::vector<uint8_t> damaged = data;
      std::vector<uint8_t> damaged_spare = spare;
      const uint32_t steps = page_size / codec.step_size();
      for (uint32_t s = 0; s < steps; ++s) {
        for (uint32_t k = 0; k < codec.strength(); ++k) {
          if (k == 1 || (codec.strength() == 1 && s % 2 == 1)) {
            damaged_spare[codec.ecc_positions()[s * codec.step_bytes()]] ^= 0x10;
            continue;
          }
          const uint32_t bit =
              s * codec.step_size() * 8 + (k * 977 + s * 31) % (codec.step_size() * 8);
          damaged[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        }
      }
      std::vector<uint8_t> page = damaged;
      const EccPageResult fixed = codec.decode(page, damaged_spare);
      EXPECT_EQ(fixed.corrected_bits, steps * codec.strength()) << ecc_scheme_name(scheme);
      EXPECT_EQ(fixed.uncorrectable_steps, 0u);
      EXPECT_EQ(page, data) << ecc_scheme_name(scheme) << " " << page_size;

      damaged[3] ^= 0x44;  // one or two more in step 0, on bits left alone so far
      damaged[100] ^= 0x08;
      page = damaged;
      const EccPageResult broken = codec.decode(page, damaged_spare);
      EXPECT_EQ(broken.uncorrectable_steps, 1u) << ecc_scheme_name(scheme) << " " << page_size;
      EXPECT_TRUE(std::equal(page.begin(), page.begin() + 8, damaged.begin()))
          << "an uncorrectable step is left as read";
    }
  }
}

// An erased page reads clean, and stays erased with as many flipped bits as
// the scheme tolerates; one more is uncorrectable.
TEST(Ecc, ErasedPageWithFlipsIsErased) {
  for (const EccScheme scheme : {EccScheme::kHamming, EccScheme::kBch8}) {
    const EccCodec codec(scheme, 2048, 64);
    std::vector<uint8_t> spare(64, 0xFF);
    std::vector<uint8_t> page(2048, 0xFF);
    codec.encode(page, spare);
    EXPECT_EQ(spare, std::vector<uint8_t>(64, 0xFF));
    for (uint32_t k = 0; k < codec.strength(); ++k) page[k * 7] &= 0x7F;
    const EccPageResult result = codec.decode(page, spare);
    EXPECT_EQ(result.corrected_bits, codec.strength());
    EXPECT_EQ(result.uncorrectable_steps, 0u);
    EXPECT_EQ(page, std::vector<uint8_t>(2048, 0xFF));
    for (uint32_t k = 0; k <= codec.strength(); ++k) page[k * 7] &= 0x7F;
    EXPECT_EQ(codec.decode(page, spare).uncorrectable_steps, 1u);
  }
}

TEST(Ecc, BchNeedsLargePagesAndRoom) {
  EXPECT_EQ(EccCodec::fits(EccScheme::kBch4, 512, 16), EccFit::kSmallPage);
  EXPECT_EQ(EccCodec::fits(EccScheme::kBch8, 2048, 32), EccFit::kSpareTooSmall);
  EXPECT_EQ(EccCodec::fits(EccScheme::kHamming, 512, 16), EccFit::kFits);
  const EccCodec small(EccScheme::kHamming, 512, 16);
  EXPECT_EQ(std::vector<uint16_t>(small.ecc_positions().begin(), small.ecc_positions().end()),
            (std::vector<uint16_t>{0, 1, 2, 3, 6, 7}));
}

}  // namespace
}  // namespace jtagnand
