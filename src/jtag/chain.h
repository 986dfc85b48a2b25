#pragma once

// The devices on a JTAG chain as a reset leaves them: every device that has an
// IDCODE register selects it, every other one its one-bit BYPASS register,
// which captures 0. An IDCODE always ends in a 1 bit (IEEE 1149.1), so one data
// scan of the whole chain tells the two kinds apart and reads every IDCODE.

#include <cstdint>
#include <string>
#include <vector>

#include "jtag/cable.h"

namespace jtagnand {

// Where the CPU sits on its JTAG chain. The other devices are all held in
// BYPASS while the CPU is worked on: their instruction register bits (all
// ones) and their one-bit bypass registers travel around every scan of the
// CPU's own registers (see scan_ir, scan_dr). The default is a CPU alone on
// the chain, scanned exactly as it is.
struct Chain {
  uint32_t tdo_side_ir_bits = 0;  // instruction bits of the devices between the CPU and TDO
  uint32_t tdo_side_devices = 0;
  uint32_t tdi_side_ir_bits = 0;  // and between TDI and the CPU
  uint32_t tdi_side_devices = 0;

  [[nodiscard]] bool alone() const {
    return tdo_side_ir_bits == 0 && tdo_side_devices == 0 && tdi_side_ir_bits == 0 &&
           tdi_side_devices == 0;
  }
};

struct ChainDevice {
  bool has_idcode = false;  // false: it showed its bypass bit, 0
  uint32_t idcode = 0;
};

struct ChainReading {
  // In the order they came out: the device nearest TDO first.
  std::vector<ChainDevice> devices;
  // The ones shifted in at TDI came back out after the last device. False: the
  // scan ran out of bits first (TDO held low, or more devices than it covers).
  bool ended = false;
};

// Resets the TAPs and shifts the whole chain's data registers with TDI high,
// room for `expected_devices` IDCODEs and a few devices more. The other devices
// get no bypass bits here: the scan is of the chain as it is.
[[nodiscard]] ChainReading read_chain_idcodes(Cable& cable, uint32_t expected_devices);

// Shifts ones through every instruction register of the chain and checks
// what came out against `lengths` (each device's IR length, the device
// nearest TDO first): each register's Capture-IR pattern starts with 1, 0
// (IEEE 1149.1) where that register starts, and the ones shifted in come out
// right after the last. False when they do not. Every device is left in
// BYPASS.
[[nodiscard]] bool chain_ir_matches(Cable& cable, const std::vector<int>& lengths);

// Where a CPU sits on a chain, from the instruction-register lengths of the
// other devices, each list in chain order (from TDI towards TDO).
[[nodiscard]] Chain chain_position(const std::vector<int>& tdi_side,
                                   const std::vector<int>& tdo_side);

}  // namespace jtagnand
