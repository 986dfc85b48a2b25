#include "driver/jtagnand.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "driver/modes.h"
#include "driver/options.h"
#include "driver/run.h"
#include "platform/file_facts.h"
#include "targets/described_profile.h"

namespace jtagnand {

namespace {

// The CPU of a board description (-T) as the run's profile, or the reason why
// not printed. Nothing but the two files is touched.
bool load_board_profile(const CommandLine& line, Console& console, ActiveProfile& described) {
  if (!line.cpu.empty()) {
    console.write(
        "** Error: -C and -T do not go together: the board description of -T names the CPU "
        "through its BSDL file\n");
    return false;
  }
  std::string error;
  std::vector<std::string> notes;
  if (!load_described_profile(described, line.board_path, error, notes)) {
    print(console, "** Error: board description not usable: %s\n", error.c_str());
    return false;
  }
  // Without flash pins the description serves the chain check alone; any
  // other mode is refused here, before a port is opened. An option error is
  // left to be reported as it always is.
  if (described.chain_only && choose_mode(line.options) != Mode::kCheckIdcode &&
      !line.error.has_value()) {
    print(console,
          "** Error: board description not usable: %s: no flash pins (D0 to D7, nCE, CLE, ALE, "
          "nWE, nRE and RnB are missing); without them it serves -j only\n",
          line.board_path);
    return false;
  }
  for (const std::string& note : notes) std::fprintf(stderr, "jtagnand: %s\n", note.c_str());
  return true;
}

// The common way out of every run that did not end itself: the elapsed time
// after a verified write, the image released, TAP reset and TRST pulse.
void shutdown(Run& run, RunOutcome outcome) {
  const char* timed = outcome == RunOutcome::kVerified   ? "Write"
                      : outcome == RunOutcome::kRead     ? "Read"
                      : outcome == RunOutcome::kCompared ? "Verify"
                                                         : nullptr;
  if (timed != nullptr) {
    const int64_t seconds = run.clock.now_seconds() - run.start_time;
    print(run.console, "\n%s elapsed time:  %d[min] %d[sec]\n\n", timed,
          static_cast<int>(seconds / 60), static_cast<int>(seconds % 60));
  }
  run.image = ImageFile{};
  tap_reset(run.cable);
  run.cable.trst_pulse();
  run.cable.flush();
}

// The CPU named with -C: its profile selected, or the reason why not printed.
// With -T the described CPU, loaded before the port was opened, is taken.
bool select_cpu(Run& run, ActiveProfile& described) {
  Console& console = run.console;
  const RunOptions& options = run.options;
  if (options.board_path != nullptr) {
    run.target = std::move(described);
    return true;
  }
  if (options.cpu_name[0] == '\0') {
    console.write("Invalid Option\n");
    console.write("Type your CPU name with '-C' option\n\n");
    console.write("   ex: -C RQ7220, -C ZELT, -C KELDA\n\n");
    print_usage(console);
    return false;
  }
  if (select_cpu_profile(run.target, options.cpu_name) != 0) {
    print(console, "Not or Yet support for %s\n", options.cpu_name);
    return false;
  }
  return true;
}

// Everything after the start-up checks, on an open cable.
int run_on_cable(int argc, const CommandLine& line, Environment& environment, Cable& cable,
                 ActiveProfile& described) {
  Console& console = environment.console;
  console.write(cable.announcement());

  if (argc < 2) {
    print_usage(console);
    return kExitStartup;
  }

  Run run(console, environment.clock, cable);
  cable.trst_pulse();
  tap_reset(cable);

  RunOutcome outcome = RunOutcome::kFailed;
  if (line.error) {
    print_option_error(*line.error, console);
  } else {
    if (line.unknown_option != nullptr) {
      // Standard output stays as it always was; the reason goes to standard error.
      std::fprintf(stderr,
                   "jtagnand: unknown option %s: it and the options after it were not read\n",
                   line.unknown_option);
    }
    run.options = line.options;
    if (select_cpu(run, described) && options_combine(run.options, console)) {
      outcome = run_mode(run, choose_mode(run.options));
    }
  }
  if (outcome == RunOutcome::kEndNow) return kExitDone;
  shutdown(run, outcome);
  return outcome == RunOutcome::kFailed ? kExitFailed : kExitDone;
}

// The cable, opened, and the run on it; a refusal or a lost link said.
int open_and_run(int argc, const CommandLine& line, Environment& environment,
                 ActiveProfile& described) {
  Console& console = environment.console;
  CableOpening opening = environment.open_cable(line.cpu);
  if (!opening.ok()) {
    switch (opening.kind()) {
      case Refusal::kRefused:
        console.write("Couldn't access giveio device");
        // The refusal has no line end; on a terminal, start the hint on a line of its own.
        if (output_on_terminal()) std::fputc('\n', stderr);
        break;
      case Refusal::kNoPort:  // standard output keeps only the banner
      case Refusal::kBadSetting:
      case Refusal::kUnavailable:
        break;
    }
    std::fprintf(stderr, "jtagnand: %s\n", opening.message().c_str());
    return kExitStartup;
  }
  Cable& cable = *opening.value();
  // The CPU's own TCK limit sets a clocked cable's speed before it says it.
  if (const std::string refusal = cable.limit_tck(described.tck_limit); !refusal.empty()) {
    std::fprintf(stderr, "jtagnand: %s\n", refusal.c_str());
    cable.close();
    return kExitStartup;
  }
  const int status = run_on_cable(argc, line, environment, cable, described);
  cable.close();
  return status;
}

}  // namespace

int jtagnand_main(int argc, const char* const* argv, Environment& environment) {
  Console& console = environment.console;
  console.write("\n  *********** ORVA JTAG NAND  ***********\n");
  console.write("  ***********  VERSION: 1.04  **********\n");

  const CommandLine line = read_command_line(argc, argv);
  // The help needs no port: it is shown before one is opened.
  if (line.help) {
    print_help(console);
    return kExitDone;
  }

  ActiveProfile described;
  if (line.board_path != nullptr && !load_board_profile(line, console, described)) {
    return kExitFailed;
  }

  try {
    return open_and_run(argc, line, environment, described);
  } catch (const LinkLost& lost) {
    // Nothing more can reach the board. The run's files were closed on the way
    // here (a dump's new file removed); the terminal is restored on the way out.
    std::fflush(stdout);
    std::fprintf(stderr, "\njtagnand: %s; run stopped\n", lost.what());
    return kExitFailed;
  }
}

}  // namespace jtagnand
