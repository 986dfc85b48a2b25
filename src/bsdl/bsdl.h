#pragma once

// The BSDL reader: the subset of IEEE 1149.1-2001's Boundary-Scan Description
// Language that vendor files use. It turns the text of one file into the facts
// a boundary-scan tool needs (ports, instruction register, opcodes, IDCODE,
// boundary cells) and refuses anything it cannot read with the file name, the
// line and what it expected there.
//
// read_bsdl is pure: text in, result or error out. It opens no file, so a
// fuzzer can call it directly.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace jtagnand::bsdl {

// Where a file was refused: "FILE:LINE: MESSAGE" (LINE 0 when no line applies).
struct Error {
  std::string file;
  int line = 0;
  std::string message;
  [[nodiscard]] std::string text() const;
};

enum class PortMode : uint8_t { kIn, kOut, kInout, kBuffer, kLinkage };

// One pin of the entity. A bit_vector port is expanded into one Port per
// element, named "NAME(i)".
struct Port {
  std::string name;  // as the file writes it; compared without regard to case
  PortMode mode = PortMode::kIn;
  int line = 0;
};

enum class CellFunction : uint8_t {
  kInput,
  kOutput2,  // two-state output (or open-drain with a control cell)
  kOutput3,  // three-state output, enabled by a control cell
  kControl,
  kControlR,  // control cell that Test-Logic-Reset forces to its disable value
  kInternal,
  kBidir,  // one cell that drives the pin and captures it
  kClock,
  kObserveOnly,
};

// One boundary-register cell. Cell 0 is the cell nearest TDO: the first bit a
// data scan shifts out.
struct Cell {
  std::string type;  // BC_1, BC_2, BC_4, BC_7, ... in upper case
  int port = -1;     // index into Bsdl::ports; -1 for "*"
  CellFunction function = CellFunction::kInternal;
  char safe = 'X';     // '0', '1' or 'X'
  int control = -1;    // the control cell enabling this output; -1: none
  char disable = 0;    // the control cell's level that turns the driver off ('0'/'1')
  std::string result;  // the disabled driver's state: Z, WEAK0, WEAK1, PULL0, PULL1, KEEPER
  // A merged cell (listed twice, as an input and as a control or output
  // cell): the port whose level it captures, while the fields above describe
  // what its update latch drives. -1: not merged.
  int input_port = -1;
  int line = 0;
};

struct Instruction {
  std::string name;                  // upper case
  std::vector<std::string> opcodes;  // each of instruction_length characters 0/1/X, MSB first
  int line = 0;
};

// A 32-bit IDCODE pattern: `value` has 0 where the file writes X, `mask` has 1
// for every bit that counts.
struct IdcodePattern {
  uint32_t value = 0;
  uint32_t mask = 0;
  [[nodiscard]] bool matches(uint32_t idcode) const { return (idcode & mask) == value; }
};

struct PinMapEntry {
  std::string port;
  std::vector<std::string> pins;  // package pins, one per element of a vector port
};

struct Bsdl {
  std::string entity;
  std::string physical_pin_map;       // the generic's default: the package in use
  std::vector<std::string> packages;  // `use` clauses, e.g. STD_1149_1_2001
  std::vector<Port> ports;
  std::vector<PinMapEntry> pin_map;  // the package named by physical_pin_map, if given
  int instruction_length = 0;
  std::vector<Instruction> instructions;
  std::string instruction_capture;   // MSB first; empty when the file gives none
  std::vector<std::string> idcodes;  // IDCODE_REGISTER patterns, 32 characters MSB first
  int boundary_length = 0;
  std::vector<Cell> cells;  // cells[n] is cell n
  // Lines before the first `entity` that are not BSDL (a vendor's title
  // lines, bytes outside ASCII), skipped; "lines 1-3" when there are any.
  std::string skipped_lines;
  // TAP_SCAN_CLOCK: the device's highest TCK in Hz; 0 when the file gives none.
  double tap_scan_clock_hz = 0;
  int tap_scan_clock_line = 0;

  // Index of the port named `name` ("PD14", "D(3)"; case does not matter), or -1.
  [[nodiscard]] int find_port(std::string_view name) const;
  [[nodiscard]] const Instruction* find_instruction(std::string_view name) const;
  // The first IDCODE_REGISTER pattern, if the file has one.
  [[nodiscard]] std::optional<IdcodePattern> idcode() const;
};

// Reads the text of one BSDL file; `file_name` only names the file in errors.
// Returns false with `error` set when the text is not a BSDL file it can use:
// a syntax error, a missing or inconsistent attribute, or a boundary register
// whose cells do not number 0 to BOUNDARY_LENGTH-1 exactly once (a cell
// listed twice is accepted only as a merged input and control/output cell).
[[nodiscard]] bool read_bsdl(std::string_view text, std::string_view file_name, Bsdl& result,
                             Error& error);

// True for the cell types IEEE 1149.1 defines (BC_0 ... BC_10, AC_1, AC_2,
// AC_7, AC_SELU, AC_SELX); `type` in upper case.
[[nodiscard]] bool standard_cell_type(std::string_view type);

// An opcode or capture pattern as a number: the last character (the bit
// nearest TDO, shifted first) is bit 0; X counts as 0.
[[nodiscard]] uint64_t pattern_value(std::string_view pattern);
// The same pattern's mask: 1 for every 0/1 character, 0 for X.
[[nodiscard]] uint64_t pattern_mask(std::string_view pattern);

[[nodiscard]] std::string_view function_name(CellFunction function);
// The cell can drive its pin (output2, output3, bidir).
[[nodiscard]] bool drives(CellFunction function);
// The cell captures its pin's level (input, bidir, clock, observe_only).
[[nodiscard]] bool senses(CellFunction function);
// The port whose level the cell captures: its own for a sensing cell, the
// merged input's for a merged cell; -1 when it captures no pin.
[[nodiscard]] int sensed_port(const Cell& cell);

// Upper-case copy (ASCII), and case-blind comparison.
[[nodiscard]] std::string upper(std::string_view text);
[[nodiscard]] bool same_name(std::string_view a, std::string_view b);

}  // namespace jtagnand::bsdl
