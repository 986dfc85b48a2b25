#pragma once

// The board description: which pins of a CPU (by their BSDL port names) carry
// the NAND flash's signals, which other pins must be held at a level, where the
// CPU's BSDL file is and which other devices share its JTAG chain. Plain
// `key = value` lines with `#` comments:
//
//   bsdl = cpu.bsd       # path relative to this file
//   tdi_side = 4         # IR lengths of the devices between TDI and the CPU, TDI first
//   tdo_side =           # ... between the CPU and TDO, the one next to the CPU first
//   D0 = PD14            # D0..D7, nCE, CLE, ALE, nWE, nRE, RnB: all required
//   hold PG9 = 1         # optional: a pin driven to a fixed level for the whole run
//
// From it and the BSDL data, derive_pin_map works out every cell the program
// drives or reads. Both functions are pure; load_board reads the two files.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bsdl/bsdl.h"

namespace jtagnand::bsdl {

// The flash's signals in the order the description lists them.
enum class NandSignal : uint8_t {
  kD0,
  kD1,
  kD2,
  kD3,
  kD4,
  kD5,
  kD6,
  kD7,
  kNce,
  kCle,
  kAle,
  kNwe,
  kNre,
  kRnb,
};
inline constexpr std::size_t kNandSignals = 14;
[[nodiscard]] std::string_view signal_name(NandSignal signal);  // "D0", "nCE", "RnB", ...

// A port name as the description writes it, and its line.
struct PinRef {
  std::string port;
  int line = 0;
};

struct HoldRef {
  std::string port;
  uint8_t level = 0;
  int line = 0;
};

struct BoardDescription {
  std::string file;  // the description's own path, as given
  std::string bsdl;  // the BSDL path as written
  int bsdl_line = 0;
  // IR lengths of the other devices on the chain, each list in chain order
  // (from TDI towards TDO).
  std::vector<int> tdi_side;
  std::vector<int> tdo_side;
  std::array<PinRef, kNandSignals> nand{};
  std::vector<HoldRef> hold;

  [[nodiscard]] const PinRef& pin(NandSignal signal) const {
    return nand[static_cast<std::size_t>(signal)];
  }
  // No flash pin given: only `bsdl =` (and the chain sides, holds). Such a
  // description describes the chain, enough to check it (-j) before the pin
  // map is worked out.
  [[nodiscard]] bool chain_only() const {
    for (const PinRef& pin : nand)
      if (pin.line != 0) return false;
    return true;
  }
  // The BSDL file's path: relative paths are taken from the description's folder.
  [[nodiscard]] std::string bsdl_path() const;
};

// Reads a description's text; `file_name` names it in errors and anchors the
// BSDL path. Refuses unknown keys, keys given twice, missing required keys
// (the flash pins are all given or none is), bad levels or IR lengths, and a
// pin named twice.
[[nodiscard]] bool read_board_description(std::string_view text, std::string_view file_name,
                                          BoardDescription& result, Error& error);

// An output the CPU drives: its output cell and, when it has one, the control
// cell with the levels that turn the driver on and off.
struct DrivenPin {
  int port = -1;  // index into Bsdl::ports
  int output_cell = -1;
  int control_cell = -1;  // -1: the output is always driven
  uint8_t enable = 0;     // control-cell level that turns the driver on
  uint8_t disable = 1;    // ... and off
};

// A NAND data line: driven or listened to, switched through its control cell.
struct DataPin {
  int port = -1;
  int output_cell = -1;
  int input_cell = -1;  // the same cell as output_cell for a bidir cell
  int control_cell = -1;
  uint8_t enable = 0;
  uint8_t disable = 1;
};

struct HoldPin {
  DrivenPin pin;
  uint8_t level = 0;
};

// The JTAG facts of the CPU's TAP that the program needs.
struct TapFacts {
  int instruction_length = 0;
  uint64_t extest = 0;   // opcode values, bit 0 nearest TDO (shifted first)
  uint64_t preload = 0;  // PRELOAD, or SAMPLE where the file has no PRELOAD
  uint64_t bypass = 0;
  bool has_idcode = false;
  uint64_t idcode_instruction = 0;
  IdcodePattern idcode;  // from IDCODE_REGISTER (X bits masked)
};

// Everything the program needs to drive the flash through the boundary register.
struct PinMap {
  TapFacts tap;
  int length = 0;             // boundary-register cells
  std::vector<int> tdi_side;  // IR lengths of the other chain devices, chain order
  std::vector<int> tdo_side;
  DrivenPin nce, cle, ale, nwe, nre;
  std::array<DataPin, 8> data{};
  int rnb_port = -1;
  int rnb_input_cell = -1;
  std::vector<HoldPin> hold;
  // The description names no flash pin: the cells above are -1, the TAP facts
  // and the chain are all there is.
  bool chain_only = false;
  // One '0'/'1' per cell, index = cell number. `safe`: every cell at its BSDL
  // safe value (X as 0) and every control cell at its disable value, so no pin
  // is driven. `idle`: the same with the flash's pins driven idle (nCE, nWE and
  // nRE high, CLE and ALE low, D0-D7 listening) and the hold pins at their levels.
  std::string safe;
  std::string idle;
  // What the user should know but that does not stop the run: "FILE: ..."
  // lines for standard error (skipped title lines, a vendor's own cell type on
  // a named pin).
  std::vector<std::string> notes;
};

// Works out the pin map. Refuses, naming the description's line: a name that
// is not a port of the BSDL file, a pin with no output cell where one is
// needed (or no input cell for D0-D7 and RnB), a data pin whose driver cannot
// be turned off, and a control cell that would switch a named pin together
// with a pin of another kind (e.g. D0 with nWE, or nCE with a pin the
// description does not name). Also refuses a BSDL file without EXTEST or
// SAMPLE/PRELOAD.
[[nodiscard]] bool derive_pin_map(const Bsdl& bsdl, const BoardDescription& board, PinMap& result,
                                  Error& error);

struct LoadedBoard {
  BoardDescription description;
  Bsdl bsdl;
};

// Reads the description at `path` and the BSDL file it names.
[[nodiscard]] bool load_board(const std::string& path, LoadedBoard& result, Error& error);

}  // namespace jtagnand::bsdl
