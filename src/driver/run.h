#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "driver/console_observer.h"
#include "driver/image.h"
#include "driver/options.h"
#include "ecc/ecc.h"
#include "jtag/cable.h"
#include "jtag/tap.h"
#include "nand/nand_program.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "targets/profile.h"

namespace jtagnand {

// Process exit statuses.
inline constexpr int kExitDone = 0;     // the requested job was done
inline constexpr int kExitStartup = 1;  // no port access, no port, no arguments, bad JTAGNAND_PORT
inline constexpr int kExitFailed = 2;   // the run failed or was abandoned

// How a mode ended. Only the driver turns it into the closing text and the
// exit status.
enum class RunOutcome : uint8_t {
  kVerified,  // an image was written and read back equal: the elapsed time is shown; status 0
  kDone,      // the job asked for was done without a write (IDCODE matched, chip erased or
              // identified with nothing to write, a toggle test that returned, marks
              // listed); status 0
  kRead,      // the flash was read into a file (-r): the elapsed time is shown; status 0
  kCompared,  // the flash matched the image (-v): the elapsed time is shown; status 0
  kFailed,    // failed or abandoned, the reason already printed; status 2
  kEndNow,    // the toggle test was left with ESC: status 0 at once, no shutdown, so the
              // pins keep their last levels
};

// Everything one run of the program owns.
struct Run {
  Run(Console& console_, Clock& clock_, Cable& cable_)
      : console(console_), observer(console_), clock(clock_), cable(cable_) {}

  Console& console;
  ConsoleObserver observer;  // what the passes and the toggle test report, on the console
  Clock& clock;
  Cable& cable;
  ActiveProfile target;
  RunOptions options;
  BadBlockList bad_blocks;
  ImageFile image;
  std::optional<EccCodec> ecc;  // -E, made once the chip is known
  int64_t start_time = 0;       // taken once the CPU's IDCODE matched
};

}  // namespace jtagnand
