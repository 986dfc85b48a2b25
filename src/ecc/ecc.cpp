#include "ecc/ecc.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>

namespace jtagnand {

namespace {

// Each scheme once: its name (on the command line and in messages), the data
// bytes per step, the ECC bytes each step takes and the bits it corrects.
struct SchemeFacts {
  EccScheme scheme;
  std::string_view name;
  uint32_t step_size;
  uint32_t step_bytes;
  uint32_t strength;
};

constexpr SchemeFacts kSchemes[] = {
    {EccScheme::kHamming, "hamming", 256, 3, 1},
    {EccScheme::kBch4, "bch4", 512, 7, 4},
    {EccScheme::kBch8, "bch8", 512, 13, 8},
};
constexpr SchemeFacts kNoScheme{EccScheme::kNone, "none", 0, 0, 0};

constexpr SchemeFacts facts(EccScheme scheme) {
  for (const SchemeFacts& f : kSchemes)
    if (f.scheme == scheme) return f;
  return kNoScheme;
}

// Linux's small-page layout (16-byte spare): ECC in bytes 0-3, then from
// byte 6 on; byte 5 is the bad-block marker, byte 4 stays unused.
constexpr uint32_t kSmallPageSecondRun = 6;
constexpr uint32_t kSmallPageFirstRun = 4;
// On larger pages the two first spare bytes hold the bad-block marker.
constexpr uint32_t kLargePageMarkerBytes = 2;

[[nodiscard]] bool small_page(uint32_t page_size) {
  return page_size == 512;
}

}  // namespace

std::optional<EccScheme> parse_ecc_scheme(std::string_view name) {
  for (const SchemeFacts& f : kSchemes)
    if (f.name == name) return f.scheme;
  return std::nullopt;
}

std::string_view ecc_scheme_name(EccScheme scheme) {
  return facts(scheme).name;
}

EccFit EccCodec::fits(EccScheme scheme, uint32_t page_size, uint32_t spare_size) {
  const SchemeFacts f = facts(scheme);
  if (f.step_size == 0 || page_size % f.step_size != 0) return EccFit::kSpareTooSmall;
  const uint32_t total = page_size / f.step_size * f.step_bytes;
  if (small_page(page_size)) {
    if (scheme != EccScheme::kHamming) return EccFit::kSmallPage;
    return kSmallPageSecondRun + total - kSmallPageFirstRun <= spare_size ? EccFit::kFits
                                                                          : EccFit::kSpareTooSmall;
  }
  return total + kLargePageMarkerBytes <= spare_size ? EccFit::kFits : EccFit::kSpareTooSmall;
}

EccCodec::EccCodec(EccScheme scheme, uint32_t page_size, uint32_t spare_size)
    : scheme_(scheme), page_size_(page_size) {
  assert(fits(scheme, page_size, spare_size) == EccFit::kFits);
  const SchemeFacts f = facts(scheme);
  step_size_ = f.step_size;
  step_bytes_ = f.step_bytes;
  strength_ = f.strength;
  const uint32_t total = page_size / step_size_ * step_bytes_;
  positions_.reserve(total);
  for (uint32_t i = 0; i < total; ++i) {
    uint32_t position = spare_size - total + i;
    if (small_page(page_size)) {
      position = i < kSmallPageFirstRun ? i : kSmallPageSecondRun + i - kSmallPageFirstRun;
    }
    positions_.push_back(static_cast<uint16_t>(position));
  }
}

void EccCodec::encode(std::span<const uint8_t> page, std::span<uint8_t> spare) const {
  assert(page.size() == page_size_);
  std::array<uint8_t, 16> code{};
  const std::size_t steps = page_size_ / step_size_;
  for (std::size_t s = 0; s < steps; ++s) {
    const auto step = page.subspan(s * step_size_, step_size_);
    if (scheme_ == EccScheme::kHamming) {
      hamming_encode_step(step.first<256>(), std::span(code).first<3>());
    } else {
      bch_encode_step(strength_, step.first<512>(), code);
    }
    for (uint32_t i = 0; i < step_bytes_; ++i) spare[positions_[s * step_bytes_ + i]] = code[i];
  }
}

EccPageResult EccCodec::decode(std::span<uint8_t> page, std::span<const uint8_t> spare) const {
  assert(page.size() == page_size_);
  EccPageResult result{};
  std::array<uint8_t, 16> stored{};
  const std::size_t steps = page_size_ / step_size_;
  for (std::size_t s = 0; s < steps; ++s) {
    const auto step = page.subspan(s * step_size_, step_size_);
    for (uint32_t i = 0; i < step_bytes_; ++i) stored[i] = spare[positions_[s * step_bytes_ + i]];
    const auto code = std::span<const uint8_t>(stored).first(step_bytes_);
    const int32_t corrected = scheme_ == EccScheme::kHamming
                                  ? hamming_decode_step(step.first<256>(), code.first<3>())
                                  : bch_decode_step(strength_, step.first<512>(), code);
    if (corrected >= 0) {
      result.corrected_bits += static_cast<uint32_t>(corrected);
      continue;
    }
    // An erased step with a few bits flipped is erased, not damaged.
    uint32_t zeros = 0;
    for (const uint8_t b : step) zeros += static_cast<uint32_t>(std::popcount(uint8_t(~b)));
    for (const uint8_t b : code) zeros += static_cast<uint32_t>(std::popcount(uint8_t(~b)));
    if (zeros <= strength_) {
      std::fill(step.begin(), step.end(), uint8_t{0xFF});
      result.corrected_bits += zeros;
    } else {
      ++result.uncorrectable_steps;
    }
  }
  return result;
}

}  // namespace jtagnand
