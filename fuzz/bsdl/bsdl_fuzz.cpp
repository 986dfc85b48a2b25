// Fuzz target: the BSDL reader, the board description reader and the pin map
// derived from both. The input is a BSDL text, optionally followed by a NUL
// byte and a board description.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "../fuzz_check.h"
#include "bsdl/board.h"
#include "bsdl/bsdl.h"

namespace {

using namespace jtagnand::bsdl;

bool in_register(int cell, const PinMap& map) {
  return cell >= 0 && cell < map.length;
}

// A pin map names only cells of the register, and its vectors cover it whole.
void check_pin_map(const Bsdl& bsdl, const PinMap& map) {
  FUZZ_CHECK(map.length == bsdl.boundary_length);
  FUZZ_CHECK(static_cast<int>(map.safe.size()) == map.length);
  FUZZ_CHECK(static_cast<int>(map.idle.size()) == map.length);
  for (const char c : map.idle) FUZZ_CHECK(c == '0' || c == '1');
  for (const DrivenPin* pin : {&map.nce, &map.cle, &map.ale, &map.nwe, &map.nre}) {
    FUZZ_CHECK(in_register(pin->output_cell, map));
    FUZZ_CHECK(pin->control_cell == -1 || in_register(pin->control_cell, map));
  }
  for (const DataPin& pin : map.data) {
    FUZZ_CHECK(in_register(pin.output_cell, map) && in_register(pin.input_cell, map));
    FUZZ_CHECK(in_register(pin.control_cell, map));
    FUZZ_CHECK(pin.enable != pin.disable);
  }
  FUZZ_CHECK(in_register(map.rnb_input_cell, map));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\0');
  const std::string_view bsdl_text = input.substr(0, split);

  Bsdl bsdl;
  Error error;
  if (!read_bsdl(bsdl_text, "fuzz.bsd", bsdl, error)) {
    FUZZ_CHECK(!error.message.empty() && error.line >= 0);
    return 0;
  }
  // An accepted register numbers its cells 0..length-1, each control reference
  // a cell of it.
  FUZZ_CHECK(static_cast<int>(bsdl.cells.size()) == bsdl.boundary_length);
  for (const Cell& cell : bsdl.cells) {
    FUZZ_CHECK(cell.control < bsdl.boundary_length);
    FUZZ_CHECK(cell.port < static_cast<int>(bsdl.ports.size()));
  }
  if (split == std::string_view::npos) return 0;

  BoardDescription board;
  if (!read_board_description(input.substr(split + 1), "fuzz.board", board, error)) {
    FUZZ_CHECK(!error.message.empty());
    return 0;
  }
  PinMap map;
  if (derive_pin_map(bsdl, board, map, error)) check_pin_map(bsdl, map);
  return 0;
}
