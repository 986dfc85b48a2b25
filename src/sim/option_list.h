#pragma once

// Reading the simulator's option lists: "cpu=KELDA,nand=0x75,stats" for the
// board, and the same list with the options of a virtual adapter around the
// board mixed in ("usb_chip=ft232h,cpu=KELDA"), each adapter's known by its
// prefix.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "numbers/setting_list.h"

namespace jtagnand::sim {

// Hands each item of `text` whose key starts with `prefix` to `take`, which
// returns false (with its own message) for one it does not know or whose value
// is bad, and gathers the others, comma-separated, into `board` for
// parse_sim_options. False as soon as `take` is.
[[nodiscard]] bool split_adapter_options(std::string_view text, std::string_view prefix,
                                         const std::function<bool(const SettingItem&)>& take,
                                         std::string& board);

}  // namespace jtagnand::sim
