#include "numbers/parse_unsigned.h"

#include <charconv>

namespace jtagnand {

bool parse_unsigned(std::string_view text, uint64_t max, uint64_t& value, NumberBase base) {
  int radix = base == NumberBase::kHex ? 16 : 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    radix = 16;
  }
  // from_chars itself takes no sign and no prefix for an unsigned type.
  if (text.empty()) return false;
  uint64_t parsed = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed, radix);
  if (ec != std::errc() || end != text.data() + text.size() || parsed > max) return false;
  value = parsed;
  return true;
}

}  // namespace jtagnand
