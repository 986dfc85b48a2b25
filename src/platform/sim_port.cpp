#include <string>

#include "platform/backends.h"
#include "sim/sim_board.h"

namespace jtagnand {

PortOpening open_sim_port(std::string_view options, std::string_view cpu_hint) {
  sim::SimOptions sim_options;
  std::string error;
  if (!sim::parse_sim_options(options, cpu_hint, sim_options, error)) {
    return PortOpening::bad_setting("JTAGNAND_PORT=sim: " + error);
  }
  std::unique_ptr<sim::SimPort> port = sim::make_sim_port(sim_options, error);
  if (!port) {
    return PortOpening::bad_setting("simulated board: " + error);
  }
  return PortOpening::ready(std::move(port));
}

}  // namespace jtagnand
