#pragma once

#include <string>
#include <vector>

#include "test_files.h"

namespace jtagnand::testing {

struct ProgramResult {
  int exit_status = -1;  // the process's exit status, or 128 + signal
  std::string out;       // standard output
  std::string err;       // standard error
};

// POSIX only (fork, pipes, poll): the Windows build of the tests leaves it out,
// and with it the tests that start programs.

// Runs `binary` with `args` (argument 0 excluded), the current environment plus
// `env` ("NAME=value" entries, replacing any of the same name), and `input` as
// its standard input (closed after it). Waits for the process to end.
ProgramResult run_program(const std::string& binary, const std::vector<std::string>& args,
                          const std::vector<std::string>& env = {}, const std::string& input = {});

}  // namespace jtagnand::testing
