#pragma once

// Software ECC as Linux's MTD layer computes it (kernel 6.1, its "soft" ECC
// engines) with its default spare-area layouts, so that a page the program
// writes reads back through Linux, a boot loader built on Linux's code, or
// this program alike. Pure arithmetic on buffers: nothing here knows a bus.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace jtagnand {

enum class EccScheme : uint8_t {
  kNone,
  kHamming,  // 3 bytes per 256-byte step: corrects 1 bit, detects 2
  kBch4,     // BCH over GF(2^13), 512-byte steps, 7 bytes: corrects 4 bits
  kBch8,     // the same, 13 bytes: corrects 8 bits
};

// "hamming", "bch4", "bch8"; nullopt for any other name.
[[nodiscard]] std::optional<EccScheme> parse_ecc_scheme(std::string_view name);
[[nodiscard]] std::string_view ecc_scheme_name(EccScheme scheme);

// What decoding one page found.
struct EccPageResult {
  uint32_t corrected_bits = 0;       // flipped bits put right (data and ECC bytes)
  uint32_t uncorrectable_steps = 0;  // steps left as read
};

// Why a scheme cannot serve a chip.
enum class EccFit : uint8_t {
  kFits,
  kSmallPage,     // BCH on 512-byte pages: Linux has no default layout for it
  kSpareTooSmall  // the ECC bytes and the two marker bytes do not fit
};

// One scheme on one page geometry: the steps of a page, where each step's ECC
// bytes sit in the spare area, and the encode and decode of whole pages.
class EccCodec {
 public:
  [[nodiscard]] static EccFit fits(EccScheme scheme, uint32_t page_size, uint32_t spare_size);
  // Requires fits(...) == EccFit::kFits.
  EccCodec(EccScheme scheme, uint32_t page_size, uint32_t spare_size);

  [[nodiscard]] EccScheme scheme() const { return scheme_; }
  [[nodiscard]] uint32_t step_size() const { return step_size_; }
  [[nodiscard]] uint32_t step_bytes() const { return step_bytes_; }
  [[nodiscard]] uint32_t strength() const { return strength_; }
  // Spare offsets of the ECC bytes, step after step.
  [[nodiscard]] std::span<const uint16_t> ecc_positions() const { return positions_; }

  // Writes the ECC of `page` into its places in `spare`; the other spare bytes
  // are left as they are.
  void encode(std::span<const uint8_t> page, std::span<uint8_t> spare) const;
  // Checks `page` against the ECC bytes in `spare` and corrects `page` in
  // place. An uncorrectable step is left as read, except a step that is
  // erased but for at most `strength` flipped bits (data and ECC bytes all
  // 0xFF otherwise): it is returned as 0xFF, its flips counted as corrected.
  [[nodiscard]] EccPageResult decode(std::span<uint8_t> page, std::span<const uint8_t> spare) const;

 private:
  EccScheme scheme_;
  uint32_t page_size_;
  uint32_t step_size_;
  uint32_t step_bytes_;
  uint32_t strength_;
  std::vector<uint16_t> positions_;
};

// The engines one step at a time, for the codec and its tests. `code` holds
// the step's ECC bytes as stored (an erased step's are all 0xFF). decode
// returns the corrected bit count, or -1 when the step cannot be corrected.
void hamming_encode_step(std::span<const uint8_t, 256> data, std::span<uint8_t, 3> code);
[[nodiscard]] int32_t hamming_decode_step(std::span<uint8_t, 256> data,
                                          std::span<const uint8_t, 3> stored);

// t = 4 or 8; code holds ceil(13 t / 8) bytes.
void bch_encode_step(uint32_t t, std::span<const uint8_t, 512> data, std::span<uint8_t> code);
[[nodiscard]] int32_t bch_decode_step(uint32_t t, std::span<uint8_t, 512> data,
                                      std::span<const uint8_t> stored);

}  // namespace jtagnand
