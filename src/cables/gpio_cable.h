#pragma once

// The GPIO cable: JTAG bit-banged on four (or five, with nTRST) lines of a
// Linux GPIO chip, such as a Raspberry Pi's header wired to the board's JTAG
// pins. A clock is TCK low, TMS and TDI where they change, TCK high; TDO is
// read after it. The lines toggle as fast as the chip lets them: there is no
// clock to set.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "jtag/cable.h"
#include "platform/gpio_pins.h"

namespace jtagnand {

class GpioCable final : public Cable {
 public:
  GpioCable(std::unique_ptr<GpioPins> pins, GpioWiring wiring);

  void clock(bool tms, bool tdi) override;
  [[nodiscard]] bool read_tdo() override;
  void trst_pulse() override;
  [[nodiscard]] std::string announcement() const override;

  // Line changes made, for the benchmarks.
  [[nodiscard]] uint64_t line_writes() const { return writes_; }

 private:
  void set(GpioLine line, bool high);
  // The chip refused a line: LinkLost.
  [[noreturn]] void fail() const;

  std::unique_ptr<GpioPins> pins_;
  GpioWiring wiring_;
  // The levels the lines were opened at: TMS high, TDI low.
  bool tms_ = true;
  bool tdi_ = false;
  uint64_t writes_ = 0;
};

// The cable for the text after "gpio:": chip=NAME (default gpiochip0),
// tck=N, tms=N, tdi=N, tdo=N (line offsets on that chip), optionally trst=N.
[[nodiscard]] CableOpening open_gpio_cable(std::string_view options);

}  // namespace jtagnand
