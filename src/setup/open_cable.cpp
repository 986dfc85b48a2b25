#include "setup/open_cable.h"

#include <memory>
#include <string>

#include "cables/ftdi_cable.h"
#include "cables/lpt_cable.h"
#include "cables/rbb_cable.h"
#include "platform/backends.h"
#include "sim/sim_board.h"

namespace jtagnand {

namespace {

// A parallel-port cable that owns its port.
class PortCable final : public LptCable {
 public:
  PortCable(std::unique_ptr<PortIo> port, uint16_t found_base)
      : LptCable(port.get(), found_base), port_(std::move(port)) {}

 private:
  std::unique_ptr<PortIo> port_;
};

PortOpening open_sim_port(std::string_view options, std::string_view cpu_hint) {
  sim::SimOptions sim_options;
  std::string error;
  if (!sim::parse_sim_options(options, cpu_hint, sim_options, error)) {
    return PortOpening::bad_setting("JTAGNAND_PORT=sim: " + error);
  }
  std::unique_ptr<sim::SimPort> port = sim::make_sim_port(sim_options, error);
  if (!port) return PortOpening::bad_setting("simulated board: " + error);
  return PortOpening::ready(std::move(port));
}

// The cable on a port whose access step is done: probed at the standard bases.
// `fast`: the minimal bus cycles instead of the classic traffic.
CableOpening on_port(PortOpening opening, bool fast) {
  switch (opening.outcome) {
    case PortOpening::Outcome::kReady:
      break;
    case PortOpening::Outcome::kRefused:
      return CableOpening::refused(std::move(opening.message));
    case PortOpening::Outcome::kBadSetting:
      return CableOpening::bad_setting(std::move(opening.message));
  }
  const uint16_t base = lpt_detect(*opening.port);
  if (base == 0) {
    return CableOpening::no_port(
        "no parallel port answered at 0x378, 0x278 or 0x3BC (the probe writes 0x55 to each data "
        "register and reads it back)");
  }
  auto cable = std::make_unique<PortCable>(std::move(opening.port), base);
  cable->fast = fast;
  return CableOpening::ready(std::move(cable));
}

// Takes the word `fast` out of a comma-separated option list; true when it was
// there.
bool take_fast(std::string& options) {
  bool found = false;
  std::string rest;
  std::string_view text = options;
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    const std::string_view word = text.substr(0, comma);
    text.remove_prefix(comma == std::string_view::npos ? text.size() : comma + 1);
    if (word == "fast") {
      found = true;
      continue;
    }
    if (!rest.empty()) rest += ',';
    rest += word;
  }
  options = rest;
  return found;
}

// The parallel-port cable on whatever port `kind` names: "auto", "direct",
// "ppdev" with `options` its device, or "sim" with `options` the board's.
CableOpening open_port_cable(std::string_view kind, std::string options,
                             std::string_view cpu_hint) {
  const bool fast = take_fast(options);
  if (kind == "sim") return on_port(open_sim_port(options, cpu_hint), fast);
  if (kind == "ppdev") return on_port(open_ppdev_port(options), fast);
  if (kind == "auto") {
#if defined(__linux__)
    if (any_ppdev_device()) return on_port(open_ppdev_port({}), fast);
#endif
  }
  return on_port(open_direct_port(), fast);
}

CableOpening bad_setting(std::string_view setting) {
  return CableOpening::bad_setting(
      "JTAGNAND_PORT=" + std::string(setting) +
      " is not understood; use auto, direct, ppdev, ppdev:/dev/parportN, sim, "
      "sim:OPTION,..., rbb:HOST:PORT, rbb:/path/to/socket, ftdi or ftdi:OPTION,... (the "
      "parallel-port ones take ,fast or :fast for the minimal bus cycles)");
}

bool take_prefix(std::string_view& text, std::string_view prefix) {
  if (text.substr(0, prefix.size()) != prefix) return false;
  text.remove_prefix(prefix.size());
  return true;
}

}  // namespace

CableOpening open_cable(std::string_view setting, std::string_view cpu_hint) {
  if (setting.empty()) return open_port_cable("auto", {}, cpu_hint);
  for (const std::string_view kind : {"auto", "direct", "ppdev", "sim"}) {
    std::string_view rest = setting;
    if (!take_prefix(rest, kind)) continue;
    if (rest.empty()) return open_port_cable(kind, {}, cpu_hint);
    if (!take_prefix(rest, ":")) break;
    std::string options(rest);
    // auto and direct take only `fast`; ppdev its device and `fast`.
    if (kind == "auto" || kind == "direct") {
      if (!take_fast(options) || !options.empty()) return bad_setting(setting);
      return open_port_cable(kind, "fast", cpu_hint);
    }
    if (kind == "ppdev" && rest.empty()) break;
    return open_port_cable(kind, std::string(rest), cpu_hint);
  }
  std::string_view rest = setting;
  if (take_prefix(rest, "rbb:") && !rest.empty()) return open_rbb_cable(rest);
  if (setting == "ftdi") return open_ftdi_cable({});
  rest = setting;
  if (take_prefix(rest, "ftdi:")) return open_ftdi_cable(rest);
  return bad_setting(setting);
}

}  // namespace jtagnand
