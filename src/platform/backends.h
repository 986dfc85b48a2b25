#pragma once

// The individual port backends, each opened with its access step done.
// open_port() picks one of them.

#include <string_view>

#include "platform/port_select.h"

namespace jtagnand {

[[nodiscard]] PortOpening open_direct_port();
// `device` empty: every /dev/parport* of the machine, each at its own base.
[[nodiscard]] PortOpening open_ppdev_port(std::string_view device);
[[nodiscard]] PortOpening open_sim_port(std::string_view options, std::string_view cpu_hint);
// `target` is HOST:PORT or a Unix socket path.
[[nodiscard]] PortOpening open_rbb_port(std::string_view target);

[[nodiscard]] bool any_ppdev_device();

}  // namespace jtagnand
