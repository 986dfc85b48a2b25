#pragma once

#include <functional>
#include <string_view>

#include "jtag/cable.h"
#include "platform/clock.h"
#include "platform/console.h"

namespace jtagnand {

// What the program needs from the machine it runs on.
struct Environment {
  Console& console;
  Clock& clock;
  // Chooses the cable and obtains the right to drive it; `cpu_hint` is the name
  // given with -C, if any.
  std::function<CableOpening(std::string_view cpu_hint)> open_cable;
};

// The whole program: start-up, options, one mode, shutdown. Returns the process
// exit status.
[[nodiscard]] int jtagnand_main(int argc, const char* const* argv, Environment& environment);

}  // namespace jtagnand
