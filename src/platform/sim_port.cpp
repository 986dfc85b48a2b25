#include <string>

#include "platform/backends.h"
#include "sim/sim_board.h"

namespace jtagnand {

PortOpening open_sim_port(std::string_view options, std::string_view cpu_hint) {
  PortOpening opening;
  sim::SimOptions sim_options;
  std::string error;
  if (!sim::parse_sim_options(options, cpu_hint, sim_options, error)) {
    opening.outcome = PortOpening::Outcome::kBadSetting;
    opening.message = "JTAGNAND_PORT=sim: " + error;
    return opening;
  }
  std::unique_ptr<sim::SimPort> port = sim::make_sim_port(sim_options, error);
  if (!port) {
    opening.outcome = PortOpening::Outcome::kBadSetting;
    opening.message = "simulated board: " + error;
    return opening;
  }
  opening.outcome = PortOpening::Outcome::kReady;
  opening.port = std::move(port);
  return opening;
}

}  // namespace jtagnand
