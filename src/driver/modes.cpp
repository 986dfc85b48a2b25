#include "driver/modes.h"

#include "nand/nand_identify.h"

namespace jtagnand {

Mode choose_mode(const RunOptions& options) {
  if (options.idcode_only) return Mode::kCheckIdcode;
  if (options.toggle_type != 0) return Mode::kToggleTest;
  if (options.erase_all) return Mode::kEraseAll;
  return Mode::kProgram;
}

RunOutcome run_mode(Run& run, Mode mode) {
  switch (mode) {
    case Mode::kCheckIdcode:
      return run_check_idcode(run);
    case Mode::kToggleTest:
      return run_toggle_test(run);
    case Mode::kEraseAll:
      return run_erase_all(run);
    case Mode::kProgram:
      return run_program(run);
  }
  return RunOutcome::kFailed;
}

// EXTEST is not loaded and the flash is not touched.
RunOutcome run_check_idcode(Run& run) {
  const int32_t result = check_idcode(run.cable, run.console, run.target.idcode_instruction,
                                      run.target.profile->expected_idcode.data());
  if (result == 0) return RunOutcome::kDone;
  run.console.write("Invalid JTAG ID\n");
  return RunOutcome::kFailed;
}

RunOutcome run_toggle_test(Run& run) {
  ToggleContext context{run.cable, run.console, run.target.boundary_length()};
  const ToggleOutcome outcome =
      run.target.accessors().toggle_test(context, run.target.vector, run.options.toggle_type);
  return outcome == ToggleOutcome::kEscPressed ? RunOutcome::kEndNow : RunOutcome::kDone;
}

bool identify_flash(Run& run, NandBus& bus) {
  Console& console = run.console;
  if (check_idcode(run.cable, console, run.target.idcode_instruction,
                   run.target.profile->expected_idcode.data()) != 0) {
    console.write("Fail, Read JTAG ID\n");
    return false;
  }
  run.start_time = run.clock.now_seconds();

  scan_ir(run.cable, kInstructionLength, kInstructionCodes.extest.data());
  nand_chip_select(bus, '1');
  if (nand_identify(bus, console) != 0) {
    console.write("Fail, Read Flash ID\n");
    return false;
  }
  nand_print_chip(console, bus.flash);
  return true;
}

}  // namespace jtagnand
