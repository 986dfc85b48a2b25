#include "setup/open_cable.h"

#include <array>
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
// `fast`: the minimal bus cycles instead of the classic traffic.
CableOpening on_port(PortOpening opening, bool fast = false) {
  if (!opening.ok()) return std::move(opening).refusal<std::unique_ptr<Cable>>();
  const uint16_t base = lpt_detect(*opening.value());
  if (base == 0) {
    return CableOpening::refused(
        Refusal::kNoPort,
        "no parallel port answered at 0x378, 0x278 or 0x3BC (the probe writes 0x55 to each data "
        "register and reads it back)");
  }
  auto cable = std::make_unique<PortCable>(std::move(opening.value()), base);
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

PortOpening open_sim_port(std::string_view options, std::string_view cpu_hint) {
  sim::SimOptions sim_options;
  std::string error;
  if (!sim::parse_sim_options(options, cpu_hint, sim_options, error)) {
    return PortOpening::refused(Refusal::kBadSetting, "JTAGNAND_PORT=sim: " + error);
  }
  std::unique_ptr<sim::SimPort> port = sim::make_sim_port(sim_options, error);
  if (!port) return PortOpening::refused(Refusal::kBadSetting, "simulated board: " + error);
  return PortOpening::ready(std::move(port));
}

// The openers of the table below: `value` is what follows "NAME:", empty for
// the name alone.
// The parallel-port kinds take `fast`: alone after auto and direct, among
// ppdev's device and sim's options.
CableOpening open_auto(std::string_view value, std::string_view /*cpu_hint*/) {
  const bool fast = value == "fast";
#if defined(__linux__)
  if (any_ppdev_device()) return on_port(open_ppdev_port({}), fast);
#endif
  return on_port(open_direct_port(), fast);
}

CableOpening open_direct(std::string_view value, std::string_view /*cpu_hint*/) {
  return on_port(open_direct_port(), value == "fast");
}

CableOpening open_ppdev(std::string_view value, std::string_view /*cpu_hint*/) {
  std::string device(value);
  const bool fast = take_fast(device);
  return on_port(open_ppdev_port(device), fast);
}

CableOpening open_sim(std::string_view value, std::string_view cpu_hint) {
  std::string options(value);
  const bool fast = take_fast(options);
  return on_port(open_sim_port(options, cpu_hint), fast);
}

CableOpening open_rbb(std::string_view address, std::string_view /*cpu_hint*/) {
  return open_rbb_cable(address);
}

CableOpening open_ftdi(std::string_view options, std::string_view /*cpu_hint*/) {
  return open_ftdi_cable(options);
}

CableOpening open_xvc(std::string_view address, std::string_view /*cpu_hint*/) {
  return open_xvc_cable(address);
}

CableOpening open_cmsis_dap(std::string_view options, std::string_view /*cpu_hint*/) {
  return open_cmsis_dap_cable(options);
}

CableOpening open_gpio(std::string_view options, std::string_view /*cpu_hint*/) {
  return open_gpio_cable(options);
}

// What may follow a cable's name after a colon.
enum class Value : uint8_t {
  kNone,      // the name alone
  kFast,      // the name alone, or "NAME:fast"
  kOptional,  // the name alone, or "NAME:" and anything, even nothing
  kNonEmpty,  // the name alone, or "NAME:" and something
  kRequired,  // only "NAME:" and something
};

struct CableKind {
  std::string_view name;
  Value value;
  std::array<std::string_view, 2> forms;  // as the "not understood" message lists them
  CableOpening (*open)(std::string_view value, std::string_view cpu_hint);
};

// Every JTAGNAND_PORT the program understands; an empty setting is auto.
constexpr std::array kCableKinds{
    CableKind{"auto", Value::kFast, {"auto"}, &open_auto},
    CableKind{"direct", Value::kFast, {"direct"}, &open_direct},
    CableKind{"ppdev", Value::kNonEmpty, {"ppdev", "ppdev:/dev/parportN"}, &open_ppdev},
    CableKind{"sim", Value::kOptional, {"sim", "sim:OPTION,..."}, &open_sim},
    CableKind{"rbb", Value::kRequired, {"rbb:HOST:PORT", "rbb:/path/to/socket"}, &open_rbb},
    CableKind{"ftdi", Value::kOptional, {"ftdi", "ftdi:OPTION,..."}, &open_ftdi},
    CableKind{"xvc", Value::kRequired, {"xvc:HOST[:PORT]"}, &open_xvc},
    CableKind{
        "cmsis-dap", Value::kOptional, {"cmsis-dap", "cmsis-dap:OPTION,..."}, &open_cmsis_dap},
    CableKind{"gpio", Value::kRequired, {"gpio:OPTION,..."}, &open_gpio},
};

// Whether `setting` names `kind`; its value (after the colon) into `value`.
bool names(const CableKind& kind, std::string_view setting, std::string_view& value) {
  if (setting.substr(0, kind.name.size()) != kind.name) return false;
  std::string_view rest = setting.substr(kind.name.size());
  if (rest.empty()) {
    value = {};
    return kind.value != Value::kRequired;
  }
  if (rest.front() != ':' || kind.value == Value::kNone) return false;
  value = rest.substr(1);
  if (kind.value == Value::kFast) return value == "fast";
  return kind.value == Value::kOptional || !value.empty();
}

CableOpening not_understood(std::string_view setting) {
  std::string forms;
  std::string_view last;
  for (const CableKind& kind : kCableKinds) {
    for (const std::string_view form : kind.forms) {
      if (form.empty()) continue;
      if (!last.empty()) forms.append(last).append(", ");
      last = form;
    }
  }
  // The last two forms are joined with "or".
  forms.resize(forms.size() - 2);
  forms.append(" or ").append(last);
  return CableOpening::refused(Refusal::kBadSetting, "JTAGNAND_PORT=" + std::string(setting) +
                                                         " is not understood; use " + forms);
}

}  // namespace

CableOpening open_cable(std::string_view setting, std::string_view cpu_hint) {
  if (setting.empty()) setting = "auto";
  std::string_view value;
  for (const CableKind& kind : kCableKinds)
    if (names(kind, setting, value)) return kind.open(value, cpu_hint);
  return not_understood(setting);
}

}  // namespace jtagnand
