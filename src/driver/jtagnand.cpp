#include "driver/jtagnand.h"

#include <unistd.h>

#include <cstdio>
#include <string>

#include "driver/options.h"
#include "driver/run.h"

namespace jtagnand {

namespace {

// The name given with -C, found by a scan of its own so that the port can be
// opened (the simulated board takes its CPU from it) before the options are read.
std::string cpu_hint(int argc, const char* const* argv) {
  OptionScanner scanner;
  std::string name;
  for (;;) {
    const char* value = nullptr;
    const int code = next_option(scanner, argc, argv, kOptionString, value);
    if (code == 0 || code == -1) return name;
    if (code == 'C' && value != nullptr) name = value;
  }
}

void shutdown(Run& run) {
  if (run.status == 0) {
    const int64_t seconds = run.clock.now_seconds() - run.start_time;
    print(run.console, "\nWrite elapsed time:  %d[min] %d[sec]\n\n", static_cast<int>(seconds / 60),
          static_cast<int>(seconds % 60));
  }
  run.image = ImageBuffer{};
  tap_reset(run.cable);
  run.cable.trst_pulse();
  run.cable.flush();
}

// Runs the chosen mode. Returns the exit status, or -1 when the process must end
// at once with status 0 (the toggle test was left with ESC: no shutdown, the
// pins keep their last levels).
int run_mode(Run& run) {
  Console& console = run.console;
  RunOptions& options = run.options;

  if (options.cpu_name[0] == '\0') {
    console.write("Invalid Option\n");
    console.write("Type your CPU name with '-C' option\n\n");
    console.write("   ex: -C RQ7220, -C ZELT, -C KELDA\n\n");
    print_usage(console);
    return kExitFailed;
  }
  if (select_cpu_profile(run.target, options.cpu_name) != 0) {
    print(console, "Not or Yet support for %s\n", options.cpu_name);
    return kExitFailed;
  }

  if (options.idcode_only) {
    const int32_t result = check_idcode(run.cable, console, run.target.idcode_instruction,
                                        run.target.profile->expected_idcode.data());
    if (result != 0) console.write("Invalid JTAG ID\n");
    run.status = -1;  // never an elapsed time in this mode
    return result == 0 ? kExitDone : kExitFailed;
  }

  if (options.toggle_type != 0) {
    ToggleContext context{run.cable, console, run.target.boundary_length()};
    const ToggleOutcome outcome =
        run.target.accessors().toggle_test(context, run.target.vector, options.toggle_type);
    if (outcome == ToggleOutcome::kEscPressed) return -1;
    run.status = -1;
    return kExitDone;
  }

  run.status = run_programming(run);
  if (run.status == 0 || run.done_without_write) return kExitDone;
  return kExitFailed;
}

}  // namespace

int jtagnand_main(int argc, const char* const* argv, Environment& environment) {
  Console& console = environment.console;
  console.write("\n  *********** ORVA JTAG NAND  ***********\n");
  console.write("  ***********  VERSION: 1.04  **********\n");

  CableOpening opening = environment.open_cable(cpu_hint(argc, argv));
  switch (opening.outcome) {
    case CableOpening::Outcome::kReady:
      break;
    case CableOpening::Outcome::kBadSetting:
      std::fprintf(stderr, "jtagnand: %s\n", opening.message.c_str());
      return kExitStartup;
    case CableOpening::Outcome::kRefused:
      console.write("Couldn't access giveio device");
      // The refusal has no line end; on a terminal, start the hint on a line of its own.
      if (isatty(fileno(stdout)) && isatty(fileno(stderr))) std::fputc('\n', stderr);
      std::fprintf(stderr, "jtagnand: %s\n", opening.message.c_str());
      return kExitStartup;
    case CableOpening::Outcome::kNoPort:
      // Standard output keeps only the banner; the reason goes to standard error.
      std::fprintf(stderr, "jtagnand: %s\n", opening.message.c_str());
      return kExitStartup;
  }

  Cable& cable = *opening.cable;
  console.write(cable.announcement());

  if (argc < 2) {
    print_usage(console);
    return kExitStartup;
  }

  Run run(console, environment.clock, cable);
  cable.trst_pulse();
  tap_reset(cable);

  OptionScanner scanner;
  int exit_status = kExitFailed;
  if (read_options(scanner, argc, argv, run.options, console) == OptionLoopEnd::kStopped) {
    run.status = -1;
  } else {
    exit_status = run_mode(run);
    if (exit_status < 0) return kExitDone;
  }
  if (exit_status != kExitDone && run.status == 0) run.status = -1;
  shutdown(run);
  return exit_status;
}

}  // namespace jtagnand
