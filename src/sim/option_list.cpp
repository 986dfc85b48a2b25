#include "sim/option_list.h"

#include "numbers/parse_unsigned.h"

namespace jtagnand::sim {

bool next_option(std::string_view& text, OptionItem& item) {
  if (text.empty()) return false;
  const std::size_t comma = text.find(',');
  item.text = text.substr(0, comma);
  text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
  const std::size_t equals = item.text.find('=');
  item.has_value = equals != std::string_view::npos;
  item.key = item.text.substr(0, equals);
  item.value = item.has_value ? item.text.substr(equals + 1) : std::string_view();
  return true;
}

bool split_adapter_options(std::string_view text, std::string_view prefix,
                           const std::function<bool(const OptionItem&)>& take, std::string& board) {
  for (OptionItem item; next_option(text, item);) {
    if (item.key.starts_with(prefix)) {
      if (!take(item)) return false;
    } else if (!item.text.empty()) {
      if (!board.empty()) board += ',';
      board += item.text;
    }
  }
  return true;
}

bool parse_usb_id(std::string_view text, uint16_t& vendor, uint16_t& product) {
  const std::size_t colon = text.find(':');
  uint64_t first = 0, second = 0;
  if (colon == std::string_view::npos ||
      !parse_unsigned(text.substr(0, colon), 0xFFFF, first, NumberBase::kHex) ||
      !parse_unsigned(text.substr(colon + 1), 0xFFFF, second, NumberBase::kHex))
    return false;
  vendor = static_cast<uint16_t>(first);
  product = static_cast<uint16_t>(second);
  return true;
}

}  // namespace jtagnand::sim
