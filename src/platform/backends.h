#pragma once

// The parallel-port backends of this machine, each opened with its access step
// done. The choice among them (JTAGNAND_PORT) is made above platform/.

#include <memory>
#include <string_view>

#include "platform/opened.h"
#include "platform/port_io.h"

namespace jtagnand {

using PortOpening = Opened<std::unique_ptr<PortIo>>;

[[nodiscard]] PortOpening open_direct_port();
// `device` empty: every /dev/parport* of the machine, each at its own base.
[[nodiscard]] PortOpening open_ppdev_port(std::string_view device);

[[nodiscard]] bool any_ppdev_device();

}  // namespace jtagnand
