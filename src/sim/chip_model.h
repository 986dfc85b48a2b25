#pragma once

// The chip the simulated board carries: what it answers to Read ID and Read
// Parameter Page, and the organisation that follows from it, taken from the
// chips' datasheets in the simulator's own words (never from the program's
// tables).

#include <cstdint>
#include <string>
#include <vector>

#include "sim/sim_board.h"

namespace jtagnand::sim {

struct ChipModel {
  ChipGeometry geometry;
  std::vector<uint8_t> id;    // Read ID at address 0x00, in order
  std::vector<uint8_t> onfi;  // Read Parameter Page, copies back to back; empty: not ONFI
};

// The chip for `options`. Its ID bytes come from id= (else maker= and nand=,
// with the organisation byte of a large-page chip); its organisation from the
// ONFI parameter page of onfi= (the first copy whose CRC holds, else the
// first), else from the fourth ID byte of a large-page code whose size the
// code fixes, else from the device code (unknown codes: a 128 MiB chip of
// 2 KiB pages). False + error when the onfi= file cannot be used.
[[nodiscard]] bool make_chip_model(const SimOptions& options, ChipModel& model, std::string& error);

}  // namespace jtagnand::sim
