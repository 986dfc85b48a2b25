#include <cstdlib>

#include "driver/jtagnand.h"
#include "platform/clock.h"
#include "platform/terminal_console.h"
#include "setup/open_cable.h"

int main(int argc, char** argv) {
  jtagnand::TerminalConsole console;
  jtagnand::SystemClock clock;
  const char* setting = std::getenv("JTAGNAND_PORT");
  jtagnand::Environment environment{console, clock, [setting](std::string_view cpu_hint) {
                                      return jtagnand::open_cable(
                                          setting == nullptr ? "auto" : setting, cpu_hint);
                                    }};
  return jtagnand::jtagnand_main(argc, argv, environment);
}
