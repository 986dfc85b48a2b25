#pragma once

#include <cstddef>
#include <sstream>
#include <string>
#include <vector>

#include "run_program.h"
#include "test_files.h"

namespace jtagnand::testing {

inline const std::string kBanner =
    "\n  *********** ORVA JTAG NAND  ***********\n  ***********  VERSION: 1.04  **********\n";

inline const std::string kUsage =
    "\nJTAG NAND Flash Writer, VER 1.04\nOPTIONS:\n"
    " -C[CPU NAME] : RQ7220, ZELT, KELDA, ... \n"
    " -f[filename] : binary file name\n"
    " -o[offset] or -b[number of blocks]  : writing address of flash\n"
    " -t           : Output to all pin with toggled level, without nCS pins\n\n";

// The simulated board's stats line ends so when no bus rule was broken, and
// holds this when the run scanned nothing at all.
inline const std::string kCleanRun = "violations=0\n";
inline const std::string kUntouched = "ir_scans=0 dr_scans=0 ";

// The 8 MiB chip (0xE6): 512-byte pages, 8 KiB blocks.
constexpr size_t kChipSize = size_t{8} << 20;

// The program's console text without its elapsed-time lines, which differ
// from run to run.
inline std::string without_times(const std::string& text) {
  std::istringstream in(text);
  std::string out;
  for (std::string line; std::getline(in, line);)
    if (line.find("elapsed time") == std::string::npos) out += line + "\n";
  return out;
}

// Runs the built program with JTAGNAND_PORT=`port`.
inline ProgramResult jtagnand(const std::string& port, const std::vector<std::string>& args,
                              const std::string& input = {}) {
  return run_program(JTAGNAND_BINARY, args, {"JTAGNAND_PORT=" + port}, input);
}

}  // namespace jtagnand::testing
