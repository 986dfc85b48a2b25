#include "platform/port_select.h"

#include "platform/backends.h"

namespace jtagnand {

namespace {

PortOpening bad_setting(std::string_view setting) {
  return PortOpening::bad_setting(
      "JTAGNAND_PORT=" + std::string(setting) +
      " is not understood; use auto, direct, ppdev, ppdev:/dev/parportN, sim, "
      "sim:OPTION,..., rbb:HOST:PORT or rbb:/path/to/socket");
}

bool take_prefix(std::string_view& text, std::string_view prefix) {
  if (text.substr(0, prefix.size()) != prefix) return false;
  text.remove_prefix(prefix.size());
  return true;
}

}  // namespace

PortOpening open_port(std::string_view setting, std::string_view cpu_hint) {
  std::string_view rest = setting;
  if (setting.empty() || setting == "auto") {
#if defined(__linux__)
    if (any_ppdev_device()) return open_ppdev_port({});
#endif
    return open_direct_port();
  }
  if (setting == "direct") return open_direct_port();
  if (setting == "ppdev") return open_ppdev_port({});
  if (take_prefix(rest, "ppdev:") && !rest.empty()) return open_ppdev_port(rest);
  rest = setting;
  if (setting == "sim") return open_sim_port({}, cpu_hint);
  if (take_prefix(rest, "sim:")) return open_sim_port(rest, cpu_hint);
  rest = setting;
  if (take_prefix(rest, "rbb:") && !rest.empty()) return open_rbb_port(rest);
  return bad_setting(setting);
}

}  // namespace jtagnand
