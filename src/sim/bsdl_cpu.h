#pragma once

// A CPU built from a BSDL file and a board description (sim:board=FILE): its
// TAP with the file's IR length, opcodes, capture pattern and IDCODE, its whole
// boundary register cell by cell, and the flash wired to the pins the
// description names. Output drivers follow their control cells, so a pin whose
// driver is off floats; a floating line reads high (the board's pull-ups).

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/nand_chip.h"
#include "sim/tap_device.h"

namespace jtagnand::sim {

// Where the pins take their levels from while an instruction is in force.
enum class PinsFrom : uint8_t {
  kSystem,   // the CPU's own logic: the flash idle (SAMPLE/PRELOAD, IDCODE, BYPASS, ...)
  kLatches,  // the boundary register's update latches (EXTEST, INTEST, CLAMP)
  kOff,      // every output driver off (HIGHZ)
};

// The board as the simulator needs it, worked out once from the two files.
struct BsdlWiring {
  struct Opcode {
    uint64_t value = 0;
    uint64_t mask = 0;  // X bits of the pattern match anything
    DataRegister selects = DataRegister::kBypass;
    PinsFrom pins = PinsFrom::kSystem;
  };
  struct CellWiring {
    int senses = -1;    // port whose pin level Capture-DR loads; -1: the update latch
    uint8_t reset = 0;  // update latch after Test-Logic-Reset
  };
  struct PortWiring {
    int output = -1;   // output cell, -1: none
    int control = -1;  // its control cell, -1: always driven
    uint8_t disable = 1;
    int net = -1;  // the flash's net (a Net) wired to this pin, -1: none
  };

  std::string entity;
  int ir_length = 0;
  uint64_t ir_capture = 1;
  std::vector<Opcode> opcodes;
  uint64_t reset_instruction = 0;  // IDCODE, or all ones (BYPASS) without one
  bool has_idcode = false;
  uint32_t idcode = 0;  // X bits as 0
  std::vector<CellWiring> cells;
  std::vector<PortWiring> ports;
  std::array<int, 14> net_port{};  // per NAND signal: the port it is wired to, -1: none
  std::vector<int> tdi_side;       // IR lengths of the other chain devices
  std::vector<int> tdo_side;
};

// Reads the board description at `path` and its BSDL file. Null with `error`
// ("FILE:LINE: ...") when either cannot be read or names a pin the BSDL file
// does not have.
[[nodiscard]] std::shared_ptr<const BsdlWiring> wire_bsdl_board(const std::string& path,
                                                                std::string& error);

[[nodiscard]] std::unique_ptr<CpuTap> make_bsdl_cpu(std::shared_ptr<const BsdlWiring> wiring,
                                                    NandChip& chip, Checker& checker);

}  // namespace jtagnand::sim
