#pragma once

#include <cstdint>
#include <string_view>

namespace jtagnand {

enum class NumberBase {
  kDecimalOrHex,  // decimal, or hexadecimal after 0x/0X
  kHex,           // hexadecimal, with or without 0x/0X (USB ids, ID bytes)
};

// The whole of `text` as an unsigned number not above `max`: no blanks, no
// sign, nothing after the digits, "0x" alone is no number. Returns false and
// leaves `value` alone otherwise, a number too large for 64 bits included.
[[nodiscard]] bool parse_unsigned(std::string_view text, uint64_t max, uint64_t& value,
                                  NumberBase base = NumberBase::kDecimalOrHex);

}  // namespace jtagnand
