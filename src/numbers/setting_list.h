#pragma once

// Reading comma-separated option lists ("cpu=KELDA,nand=0x75,stats",
// "id=0403:6010,tck=15M"): the cables read their JTAGNAND_PORT settings and
// the simulated board its options with the same reader, so that both split
// and show them alike.

#include <cstdint>
#include <string_view>

namespace jtagnand {

// One item of an option list: "key=value", or a bare word (value empty,
// has_value false).
struct SettingItem {
  std::string_view text;
  std::string_view key;
  std::string_view value;
  bool has_value = false;
};

// Takes the next comma-separated item off the front of `text`; false when
// `text` is empty.
[[nodiscard]] bool next_setting(std::string_view& text, SettingItem& item);

// "VID:PID", two 16-bit USB ids in hex. Leaves both alone when false.
[[nodiscard]] bool parse_usb_id(std::string_view text, uint16_t& vendor, uint16_t& product);

}  // namespace jtagnand
