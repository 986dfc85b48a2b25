#pragma once

// Reading the simulator's option lists: "cpu=KELDA,nand=0x75,stats" for the
// board, and the same list with the options of a virtual adapter around the
// board mixed in ("usb_chip=ft232h,cpu=KELDA"), each adapter's known by its
// prefix.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace jtagnand::sim {

// One item of an option list: "key=value", or a bare word (value empty,
// has_value false).
struct OptionItem {
  std::string_view text;
  std::string_view key;
  std::string_view value;
  bool has_value = false;
};

// Takes the next comma-separated item off the front of `text`; false when
// `text` is empty.
[[nodiscard]] bool next_option(std::string_view& text, OptionItem& item);

// Hands each item of `text` whose key starts with `prefix` to `take`, which
// returns false (with its own message) for one it does not know or whose value
// is bad, and gathers the others, comma-separated, into `board` for
// parse_sim_options. False as soon as `take` is.
[[nodiscard]] bool split_adapter_options(std::string_view text, std::string_view prefix,
                                         const std::function<bool(const OptionItem&)>& take,
                                         std::string& board);

// "VID:PID", two 16-bit USB ids in hex.
[[nodiscard]] bool parse_usb_id(std::string_view text, uint16_t& vendor, uint16_t& product);

}  // namespace jtagnand::sim
