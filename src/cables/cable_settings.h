#pragma once

// What the cables of the later kinds (XVC, CMSIS-DAP, GPIO) share in reading
// their JTAGNAND_PORT options: comma-separated key=value items, frequencies
// and time-outs, and the way a frequency is shown. The items are split with
// numbers/setting_list.h and plain numbers read with numbers/parse_unsigned.h.

#include <cstdint>
#include <string>
#include <string_view>

#include "numbers/setting_list.h"

namespace jtagnand {

// Hz, or with a k / M suffix, possibly with a fraction ("7.5M"); 1 Hz to 1 GHz.
[[nodiscard]] bool parse_frequency(std::string_view text, uint32_t& hz);

// Seconds above 0 and up to an hour, as milliseconds (at least 1).
[[nodiscard]] bool parse_timeout(std::string_view text, int& milliseconds);

// "30 MHz", "7.5 MHz", "500 kHz", "10 Hz".
[[nodiscard]] std::string format_frequency(double hz);

}  // namespace jtagnand
