#pragma once

// What JTAGNAND_PORT names, put together: the cable, what it runs on, and for
// the simulated board the board itself. This is the one place that knows both
// the platform's backends and the simulator.

#include <string_view>

#include "jtag/cable.h"

namespace jtagnand {

// Opens the cable that `setting` names and obtains the right to drive it:
//   auto (or empty)        ppdev when a /dev/parport* exists, else direct
//   direct                 in/out instructions on the three standard bases
//   ppdev, ppdev:/dev/parportN   the kernel's parallel-port device interface
//   sim, sim:OPTION,...    the simulated board behind a virtual parallel port
//   rbb:HOST:PORT, rbb:/path     a remote_bitbang JTAG server
//   ftdi, ftdi:OPTION,...  an FTDI MPSSE adapter over USB (FT2232H by default)
//   xvc:HOST[:PORT]        a Xilinx Virtual Cable server (port 2542 by default)
//   cmsis-dap, cmsis-dap:OPTION,...  a CMSIS-DAP v2 probe over USB
//   gpio:chip=NAME,tck=N,tms=N,tdi=N,tdo=N[,trst=N]  JTAG on Linux GPIO lines
// The parallel-port kinds are probed at the three standard bases. `cpu_hint` is
// the name given with -C; the simulated board takes its CPU from it unless told
// otherwise.
[[nodiscard]] CableOpening open_cable(std::string_view setting, std::string_view cpu_hint);

}  // namespace jtagnand
