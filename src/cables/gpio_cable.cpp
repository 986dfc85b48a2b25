#include "cables/gpio_cable.h"

#include "cables/cable_settings.h"
#include "numbers/parse_unsigned.h"

namespace jtagnand {

GpioCable::GpioCable(std::unique_ptr<GpioPins> pins, GpioWiring wiring)
    : pins_(std::move(pins)), wiring_(std::move(wiring)) {}

void GpioCable::set(GpioLine line, bool high) {
  ++writes_;
  if (!pins_->set(line, high)) fail();
}

void GpioCable::clock(bool tms, bool tdi) {
  // The target takes TMS and TDI on the rising edge and puts out TDO on the
  // falling one: the lines change while TCK is low.
  set(GpioLine::kTck, false);
  if (tms != tms_) set(GpioLine::kTms, tms);
  if (tdi != tdi_) set(GpioLine::kTdi, tdi);
  tms_ = tms;
  tdi_ = tdi;
  set(GpioLine::kTck, true);
}

bool GpioCable::read_tdo() {
  const int level = pins_->tdo();
  if (level < 0) fail();
  return level != 0;
}

void GpioCable::trst_pulse() {
  if (wiring_.trst < 0) return;
  set(GpioLine::kTrst, false);
  set(GpioLine::kTrst, true);
}

std::string GpioCable::announcement() const {
  std::string lines = "TCK " + std::to_string(wiring_.tck) + ", TMS " +
                      std::to_string(wiring_.tms) + ", TDI " + std::to_string(wiring_.tdi) +
                      ", TDO " + std::to_string(wiring_.tdo);
  if (wiring_.trst >= 0) lines += ", TRST " + std::to_string(wiring_.trst);
  return "\nGPIO cable on " + wiring_.chip + " (" + lines + ") is connected.\n";
}

void GpioCable::fail() const {
  throw LinkLost("GPIO cable on " + wiring_.chip + ": " + pins_->error());
}

CableOpening open_gpio_cable(std::string_view options) {
  const std::string setting = "JTAGNAND_PORT=gpio:" + std::string(options);
  GpioWiring wiring;
  SettingItem item;
  std::string_view rest = options;
  constexpr const char* kKnown = "known: chip=NAME, tck=N, tms=N, tdi=N, tdo=N, trst=N";
  while (next_setting(rest, item)) {
    if (item.key == "chip" && item.has_value && !item.value.empty()) {
      wiring.chip = std::string(item.value);
      continue;
    }
    int* line = item.key == "tck"    ? &wiring.tck
                : item.key == "tms"  ? &wiring.tms
                : item.key == "tdi"  ? &wiring.tdi
                : item.key == "tdo"  ? &wiring.tdo
                : item.key == "trst" ? &wiring.trst
                                     : nullptr;
    if (line == nullptr || !item.has_value) {
      const std::string why = item.key == "speed" || item.key == "tck_hz" || item.key == "freq"
                                  ? "' is not an option (GPIO lines have no clock to set; "
                                  : "' is not an option (";
      return CableOpening::refused(Refusal::kBadSetting,
                                   setting + ": '" + std::string(item.text) + why + kKnown + ")");
    }
    uint64_t offset = 0;
    if (!parse_unsigned(item.value, 1023, offset))
      return CableOpening::refused(Refusal::kBadSetting,
                                   setting + ": bad " + std::string(item.key) + " '" +
                                       std::string(item.value) +
                                       "' (a line offset on the chip, 0 to 1023)");
    *line = static_cast<int>(offset);
  }
  std::string missing;
  for (const auto& [name, value] : {std::pair<const char*, int>{"tck", wiring.tck},
                                    {"tms", wiring.tms},
                                    {"tdi", wiring.tdi},
                                    {"tdo", wiring.tdo}})
    if (value < 0) missing += std::string(missing.empty() ? "" : ", ") + name + "=N";
  if (!missing.empty())
    return CableOpening::refused(
        Refusal::kBadSetting, setting + ": needs " + missing + " (the line offsets on the chip)");
  const int lines[] = {wiring.tck, wiring.tms, wiring.tdi, wiring.tdo, wiring.trst};
  for (int i = 0; i < 5; ++i)
    for (int j = i + 1; j < 5; ++j)
      if (lines[i] >= 0 && lines[i] == lines[j])
        return CableOpening::refused(
            Refusal::kBadSetting,
            setting + ": line " + std::to_string(lines[i]) + " is given twice");
  GpioOpening opening = open_gpio_pins(wiring);
  if (!opening.ok()) return std::move(opening).refusal<std::unique_ptr<Cable>>();
  return CableOpening::ready(std::make_unique<GpioCable>(std::move(opening.value()), wiring));
}

}  // namespace jtagnand
