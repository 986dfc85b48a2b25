#pragma once

#include "driver/run.h"
#include "nand/nand_bus.h"

namespace jtagnand {

// The job of a run, decided once from the options, whatever their order on the
// command line: -j over -t over the rest. Each mode is one function; a new
// mode is a value here, its function, and its line in run_mode.
enum class Mode : uint8_t {
  kCheckIdcode,  // -j: the CPU's IDCODE only
  kToggleTest,   // -t: the profile's pin toggle test
  kEraseAll,     // -e all: the whole chip after a Y/N question, then the image if one was given
  kProgram,      // the image where -o or -b puts it (only the chip identified without one)
};

[[nodiscard]] Mode choose_mode(const RunOptions& options);

// Runs `mode`; the CPU profile is selected.
[[nodiscard]] RunOutcome run_mode(Run& run, Mode mode);

[[nodiscard]] RunOutcome run_check_idcode(Run& run);
[[nodiscard]] RunOutcome run_toggle_test(Run& run);
[[nodiscard]] RunOutcome run_erase_all(Run& run);
[[nodiscard]] RunOutcome run_program(Run& run);

// The first step of every mode that works on the flash: the CPU's IDCODE
// ("Fail, Read JTAG ID\n" when it does not match), the start time, EXTEST, the
// chip released and identified ("Fail, Read Flash ID\n" when it is unknown or
// cannot be driven) and its lines printed. False when the run must stop; the
// chip is then in bus.flash.
[[nodiscard]] bool identify_flash(Run& run, NandBus& bus);

}  // namespace jtagnand
