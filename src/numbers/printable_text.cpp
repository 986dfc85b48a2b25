#include "numbers/printable_text.h"

#include <cstdint>
#include <cstdio>

namespace jtagnand {

std::string printable_quoted(std::string_view text) {
  std::string out(1, '\'');
  for (const char c : text) {
    if (c >= 0x20 && c < 0x7F) {
      out.push_back(c);
    } else {
      char code[8];
      std::snprintf(code, sizeof code, "\\x%02X", static_cast<unsigned>(static_cast<uint8_t>(c)));
      out += code;
    }
  }
  return out += '\'';
}

}  // namespace jtagnand
