#pragma once

// JTAG lines on a Linux GPIO chip's lines, through the GPIO character device
// (libgpiod v1, as Debian 12 and Raspberry Pi OS ship it).

#include <cstdint>
#include <memory>
#include <string>

#include "platform/opened.h"

namespace jtagnand {

// Which lines of which chip carry JTAG; -1: not wired (TRST only).
struct GpioWiring {
  std::string chip = "gpiochip0";
  int tck = -1, tms = -1, tdi = -1, tdo = -1, trst = -1;
};

enum class GpioLine : uint8_t { kTck, kTms, kTdi, kTrst };

class GpioPins {
 public:
  virtual ~GpioPins() = default;
  // Drives an output line; false when the chip refused (`error()` says why).
  [[nodiscard]] virtual bool set(GpioLine line, bool high) = 0;
  // The TDO line's level: 1 or 0, -1 when the chip refused.
  [[nodiscard]] virtual int tdo() = 0;
  [[nodiscard]] virtual const std::string& error() const = 0;
};

// Ready: the pins hold every line, the outputs at TCK low, TMS high, TDI low,
// nTRST high. kRefused: no such chip or line, a line busy, no permission, the
// message naming which. kUnavailable: built without libgpiod.
using GpioOpening = Opened<std::unique_ptr<GpioPins>>;

[[nodiscard]] GpioOpening open_gpio_pins(const GpioWiring& wiring);

}  // namespace jtagnand
