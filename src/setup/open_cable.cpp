#include "setup/open_cable.h"

#include <memory>
#include <string>

#include "cables/cmsis_dap_cable.h"
#include "cables/ftdi_cable.h"
#include "cables/gpio_cable.h"
#include "cables/lpt_cable.h"
#include "cables/rbb_cable.h"
#include "cables/xvc_cable.h"
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

// The cable on a port whose access step is done: probed at the standard bases.
CableOpening on_port(PortOpening opening) {
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
  return CableOpening::ready(std::make_unique<PortCable>(std::move(opening.port), base));
}

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

CableOpening bad_setting(std::string_view setting) {
  return CableOpening::bad_setting(
      "JTAGNAND_PORT=" + std::string(setting) +
      " is not understood; use auto, direct, ppdev, ppdev:/dev/parportN, sim, "
      "sim:OPTION,..., rbb:HOST:PORT, rbb:/path/to/socket, ftdi or ftdi:OPTION,..., "
      "xvc:HOST[:PORT], cmsis-dap or cmsis-dap:OPTION,..., gpio:OPTION,...");
}

bool take_prefix(std::string_view& text, std::string_view prefix) {
  if (text.substr(0, prefix.size()) != prefix) return false;
  text.remove_prefix(prefix.size());
  return true;
}

}  // namespace

CableOpening open_cable(std::string_view setting, std::string_view cpu_hint) {
  if (setting.empty() || setting == "auto") {
#if defined(__linux__)
    if (any_ppdev_device()) return on_port(open_ppdev_port({}));
#endif
    return on_port(open_direct_port());
  }
  if (setting == "direct") return on_port(open_direct_port());
  if (setting == "ppdev") return on_port(open_ppdev_port({}));
  std::string_view rest = setting;
  if (take_prefix(rest, "ppdev:") && !rest.empty()) return on_port(open_ppdev_port(rest));
  if (setting == "sim") return on_port(open_sim_port({}, cpu_hint));
  rest = setting;
  if (take_prefix(rest, "sim:")) return on_port(open_sim_port(rest, cpu_hint));
  rest = setting;
  if (take_prefix(rest, "rbb:") && !rest.empty()) return open_rbb_cable(rest);
  if (setting == "ftdi") return open_ftdi_cable({});
  rest = setting;
  if (take_prefix(rest, "ftdi:")) return open_ftdi_cable(rest);
  rest = setting;
  if (take_prefix(rest, "xvc:")) return open_xvc_cable(rest);
  if (setting == "cmsis-dap") return open_cmsis_dap_cable({});
  rest = setting;
  if (take_prefix(rest, "cmsis-dap:")) return open_cmsis_dap_cable(rest);
  rest = setting;
  if (take_prefix(rest, "gpio:")) return open_gpio_cable(rest);
  return bad_setting(setting);
}

}  // namespace jtagnand
