#pragma once

// OpenOCD as a peer: one run on a configuration written for it, and the checks
// every Read ID case makes of what it printed, over every adapter.

#include <fstream>
#include <string>
#include <vector>

#include "read_id_scans.h"
#include "run_program.h"
#include "sim_server.h"
#include "test_files.h"

namespace jtagnand::testing {

// The one TAP of a built-in board, with `options` (-expected-id ...).
inline std::string cpu_tap(const std::string& options) {
  return "jtag newtap board cpu -irlen 4 " + options + "\n";
}

// Runs `openocd` on `adapter` (its driver lines), `taps` and then `commands`,
// with `env` added; a run that hangs ends after 60 s. Returns "exit status N"
// and everything it printed, the simulated board's stats line included.
inline std::string run_openocd(const std::string& openocd, const std::string& adapter,
                               const std::string& taps, const std::string& commands,
                               const std::vector<std::string>& env = {}) {
  TempDir dir;
  const std::string config = dir.file("board.cfg");
  std::ofstream(config) << adapter << taps
                        << "gdb_port disabled\ntelnet_port disabled\ntcl_port disabled\n"
                        << commands;
  const std::string timeout = find_in_path("timeout");
  const ProgramResult r = timeout.empty()
                              ? run_program(openocd, {"-f", config}, env)
                              : run_program(timeout, {"60", openocd, "-f", config}, env);
  return "exit status " + std::to_string(r.exit_status) + "\n" + r.out + r.err;
}

// OpenOCD found exactly the CPU's IDCODE with the IR capture check passed
// (it reports either failure as an error), and its DR scans read the chip's
// ID through the CPU's cells.
inline void expect_openocd_read_id(const std::string& out, const CpuCells& cpu,
                                   const ReadIdScans& read_id) {
  const ReadIdChip chip = read_id_chip(cpu);
  EXPECT_TRUE(contains(out, "exit status 0\n")) << out;
  EXPECT_TRUE(contains(out, "tap/device found: " + hex32(cpu.idcode))) << out;
  EXPECT_FALSE(contains(out, "UNEXPECTED")) << out;
  EXPECT_FALSE(contains(out, "Error")) << out;
  expect_read_id_seen(out, cpu, read_id, chip.maker, chip.device);
}

}  // namespace jtagnand::testing
