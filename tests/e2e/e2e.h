#pragma once

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

// Runs the built program with JTAGNAND_PORT=`port`.
inline ProgramResult jtagnand(const std::string& port, const std::vector<std::string>& args,
                              const std::string& input = {}) {
  return run_program(JTAGNAND_BINARY, args, {"JTAGNAND_PORT=" + port}, input);
}

}  // namespace jtagnand::testing
