// The GPIO lines through libgpiod v1, when the program is built with it; else
// a stand-in that says the program was built without it.

#include <string>

#include "platform/gpio_pins.h"

#if defined(JTAGNAND_HAVE_LIBGPIOD)

#include <gpiod.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace jtagnand {

namespace {

constexpr const char* kConsumer = "jtagnand";

class LibgpiodPins final : public GpioPins {
 public:
  LibgpiodPins(gpiod_chip* chip, std::array<gpiod_line*, 4> outputs, gpiod_line* tdo)
      : chip_(chip), outputs_(outputs), tdo_(tdo) {}
  ~LibgpiodPins() override {
    // Released lines go back to inputs: the board's own pull-ups take over.
    for (gpiod_line* line : outputs_)
      if (line != nullptr) gpiod_line_release(line);
    gpiod_line_release(tdo_);
    gpiod_chip_close(chip_);
  }
  LibgpiodPins(const LibgpiodPins&) = delete;
  LibgpiodPins& operator=(const LibgpiodPins&) = delete;

  bool set(GpioLine line, bool high) override {
    gpiod_line* l = outputs_[static_cast<std::size_t>(line)];
    if (l == nullptr) return true;
    if (gpiod_line_set_value(l, high ? 1 : 0) == 0) return true;
    error_ = std::string("setting a line: ") + std::strerror(errno);
    return false;
  }

  int tdo() override {
    const int value = gpiod_line_get_value(tdo_);
    if (value < 0) error_ = std::string("reading TDO: ") + std::strerror(errno);
    return value;
  }

  const std::string& error() const override { return error_; }

 private:
  gpiod_chip* chip_;
  std::array<gpiod_line*, 4> outputs_;
  gpiod_line* tdo_;
  std::string error_;
};

GpioOpening refused(std::string message) {
  return GpioOpening::refused(Refusal::kRefused, "gpio: " + std::move(message));
}

std::string permission_remedy(const std::string& chip) {
  return "add yourself to the group that owns /dev/" + chip +
         " (gpio on a Raspberry Pi: sudo usermod -aG gpio $USER, then log in again)";
}

}  // namespace

GpioOpening open_gpio_pins(const GpioWiring& wiring) {
  gpiod_chip* chip = gpiod_chip_open_by_name(wiring.chip.c_str());
  if (chip == nullptr) {
    const int error = errno;
    if (error == EACCES || error == EPERM)
      return refused(wiring.chip + ": permission denied; " + permission_remedy(wiring.chip));
    return refused("no GPIO chip " + wiring.chip + " (" + std::strerror(error) +
                   "; gpiodetect lists the chips)");
  }
  std::array<gpiod_line*, 4> outputs{};
  gpiod_line* tdo = nullptr;
  const auto give_up = [&](std::string message) {
    for (gpiod_line* line : outputs)
      if (line != nullptr) gpiod_line_release(line);
    if (tdo != nullptr) gpiod_line_release(tdo);
    gpiod_chip_close(chip);
    return refused(std::move(message));
  };
  struct Wanted {
    const char* name;
    int offset;
    int level;  // -1: the input
    gpiod_line** slot;
  };
  const Wanted wanted[] = {{"tck", wiring.tck, 0, &outputs[0]},
                           {"tms", wiring.tms, 1, &outputs[1]},
                           {"tdi", wiring.tdi, 0, &outputs[2]},
                           {"trst", wiring.trst, 1, &outputs[3]},
                           {"tdo", wiring.tdo, -1, &tdo}};
  for (const Wanted& w : wanted) {
    if (w.offset < 0) continue;
    const std::string which =
        wiring.chip + " line " + std::to_string(w.offset) + " (" + w.name + ")";
    gpiod_line* line = gpiod_chip_get_line(chip, static_cast<unsigned>(w.offset));
    if (line == nullptr)
      return give_up(wiring.chip + " has no line " + std::to_string(w.offset) + " (" + w.name +
                     ")");
    const int rc = w.level < 0 ? gpiod_line_request_input(line, kConsumer)
                               : gpiod_line_request_output(line, kConsumer, w.level);
    if (rc != 0) {
      const int error = errno;
      if (error == EBUSY)
        return give_up(which + " is busy (another program or driver holds it; gpioinfo " +
                       wiring.chip + " shows who)");
      if (error == EACCES || error == EPERM)
        return give_up(which + ": permission denied; " + permission_remedy(wiring.chip));
      return give_up(which + ": " + std::strerror(error));
    }
    *w.slot = line;
  }
  return GpioOpening::ready(std::make_unique<LibgpiodPins>(chip, outputs, tdo));
}

}  // namespace jtagnand

#else  // built without libgpiod

namespace jtagnand {

GpioOpening open_gpio_pins(const GpioWiring&) {
  return GpioOpening::refused(Refusal::kUnavailable,
                              "JTAGNAND_PORT=gpio: this program was built without libgpiod; "
                              "install it (Debian: libgpiod-dev) and build again");
}

}  // namespace jtagnand

#endif
