#include "sim/option_list.h"

namespace jtagnand::sim {

bool split_adapter_options(std::string_view text, std::string_view prefix,
                           const std::function<bool(const SettingItem&)>& take,
                           std::string& board) {
  for (SettingItem item; next_setting(text, item);) {
    if (item.key.starts_with(prefix)) {
      if (!take(item)) return false;
    } else if (!item.text.empty()) {
      if (!board.empty()) board += ',';
      board += item.text;
    }
  }
  return true;
}

}  // namespace jtagnand::sim
