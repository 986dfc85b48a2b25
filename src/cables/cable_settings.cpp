#include "cables/cable_settings.h"

#include <charconv>
#include <cstdio>

namespace jtagnand {

bool parse_frequency(std::string_view text, uint32_t& hz) {
  double scale = 1;
  if (!text.empty() && (text.back() == 'k' || text.back() == 'K')) {
    scale = 1e3;
    text.remove_suffix(1);
  } else if (!text.empty() && text.back() == 'M') {
    scale = 1e6;
    text.remove_suffix(1);
  }
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return false;
  const double result = value * scale;
  if (!(result >= 1) || result > 1e9) return false;
  hz = static_cast<uint32_t>(result);
  return true;
}

bool parse_timeout(std::string_view text, int& milliseconds) {
  double seconds = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || !(seconds > 0) ||
      seconds > 3600)
    return false;
  milliseconds = static_cast<int>(seconds * 1000 + 0.5);
  if (milliseconds == 0) milliseconds = 1;
  return true;
}

std::string format_frequency(double hz) {
  char text[32];
  if (hz >= 1e6) {
    std::snprintf(text, sizeof text, "%.6g MHz", hz / 1e6);
  } else if (hz >= 1e3) {
    std::snprintf(text, sizeof text, "%.6g kHz", hz / 1e3);
  } else {
    std::snprintf(text, sizeof text, "%.6g Hz", hz);
  }
  return text;
}

}  // namespace jtagnand
