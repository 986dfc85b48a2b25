#pragma once

#include <cstdint>
#include <memory>

#include "driver/options.h"
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

// The whole image file in memory.
struct ImageBuffer {
  std::unique_ptr<uint8_t[]> data;
  int32_t length = 0;
};

// Everything one run of the program owns.
struct Run {
  Run(Console& console_, Clock& clock_, Cable& cable_)
      : console(console_), clock(clock_), cable(cable_) {}

  Console& console;
  Clock& clock;
  Cable& cable;
  ActiveProfile target;
  RunOptions options;
  BadBlockList bad_blocks;
  ImageBuffer image;
  int32_t status = 0;  // 0 while nothing has failed
  int64_t start_time = 0;
  // The job asked for was done although nothing was written and verified
  // (the whole chip erased without an image, or TOMUX's toggle test).
  bool done_without_write = false;
};

// load_image_file results besides the length.
inline constexpr int32_t kImageNone = -1;      // no path, or the file cannot be opened
inline constexpr int32_t kImageUnusable = -2;  // too large, no memory, or a short read

// Reads the whole file into run.image. Returns its length, 0 for an empty file,
// kImageNone (after "Could not open file" when a path was given), or
// kImageUnusable after a message saying why.
[[nodiscard]] int32_t load_image_file(const char* path, ImageBuffer& image, Console& console);

// The main mode: identify the chip, erase, program and verify. Returns the run
// status (0 when the image was written and verified).
[[nodiscard]] int32_t run_programming(Run& run);

}  // namespace jtagnand
