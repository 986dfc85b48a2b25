#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/port_io.h"

namespace jtagnand {

// The outcome of choosing and opening the port named by JTAGNAND_PORT.
struct PortOpening {
  enum class Outcome {
    kReady,       // `port` is open and this process may drive it
    kRefused,     // the platform refused access; `message` names the remedy
    kBadSetting,  // JTAGNAND_PORT is not understood; `message` says why
  };
  Outcome outcome = Outcome::kBadSetting;
  std::unique_ptr<PortIo> port;
  std::string message;

  [[nodiscard]] static PortOpening ready(std::unique_ptr<PortIo> port) {
    return {Outcome::kReady, std::move(port), {}};
  }
  [[nodiscard]] static PortOpening refused(std::string remedy) {
    return {Outcome::kRefused, nullptr, std::move(remedy)};
  }
  [[nodiscard]] static PortOpening bad_setting(std::string why) {
    return {Outcome::kBadSetting, nullptr, std::move(why)};
  }
};

// Opens the port backend that `setting` names and obtains the right to drive it:
//   auto (or empty)        ppdev when a /dev/parport* exists, else direct
//   direct                 in/out instructions on the three standard bases
//   ppdev, ppdev:/dev/parportN   the kernel's parallel-port device interface
//   sim, sim:OPTION,...    the simulated board
//   rbb:HOST:PORT, rbb:/path     a remote_bitbang JTAG server
// `cpu_hint` is the name given with -C; the simulated board takes its CPU from
// it unless told otherwise.
[[nodiscard]] PortOpening open_port(std::string_view setting, std::string_view cpu_hint);

}  // namespace jtagnand
