#include "targets/described_profile.h"

#include <utility>

#include "jtag/chain.h"

namespace jtagnand {

namespace {

// An opcode as scan_ir shifts it: character i is bit i, the bit nearest TDO first.
[[nodiscard]] std::string instruction_bits(uint64_t code, int length) {
  std::string bits(static_cast<std::size_t>(length), '0');
  for (int i = 0; i < length; ++i)
    if (((code >> i) & 1U) != 0) bits[static_cast<std::size_t>(i)] = '1';
  return bits;
}

// The IDCODE pattern as check_idcode compares it: bit 31 first, X where the
// BSDL file does not fix the bit (typically the version).
[[nodiscard]] std::string idcode_pattern(const bsdl::IdcodePattern& pattern) {
  std::string text(kIdcodeLength, 'X');
  for (uint32_t bit = 0; bit < kIdcodeLength; ++bit) {
    if (((pattern.mask >> bit) & 1U) == 0) continue;
    text[kIdcodeLength - 1 - bit] = ((pattern.value >> bit) & 1U) != 0 ? '1' : '0';
  }
  return text;
}

[[nodiscard]] uint32_t cell(int index) {
  return static_cast<uint32_t>(index);
}

[[nodiscard]] char level(uint8_t bit) {
  return bit != 0 ? '1' : '0';
}

}  // namespace

void select_described_profile(ActiveProfile& active, const bsdl::PinMap& map,
                              std::string_view name) {
  ActiveProfile described;
  described.name = std::string(name);
  const bsdl::TapFacts& tap = map.tap;
  // The reader takes instruction registers of 2 to 64 bits.
  described.instruction_length = static_cast<uint8_t>(tap.instruction_length);
  described.extest_instruction = instruction_bits(tap.extest, tap.instruction_length);
  described.preload_instruction = instruction_bits(tap.preload, tap.instruction_length);
  if (tap.has_idcode) {
    described.idcode_instruction = instruction_bits(tap.idcode_instruction, tap.instruction_length);
    described.expected_idcode = idcode_pattern(tap.idcode);
  }
  described.chain_only = map.chain_only;
  if (!map.chain_only) {
    described.cells = NandCells{ControlCells{.nce = cell(map.nce.output_cell),
                                             .nwe = cell(map.nwe.output_cell),
                                             .nre = cell(map.nre.output_cell),
                                             .rnb = cell(map.rnb_input_cell),
                                             .cle = cell(map.cle.output_cell),
                                             .ale = cell(map.ale.output_cell)}};
    for (std::size_t bit = 0; bit < 8; ++bit) {
      const bsdl::DataPin& pin = map.data[bit];
      described.cells.data[bit] = DataLine{.output = cell(pin.output_cell),
                                           .input = cell(pin.input_cell),
                                           .control = cell(pin.control_cell),
                                           .drive = level(pin.enable),
                                           .listen = level(pin.disable)};
    }
  }
  described.vector.cells = map.idle;
  described.vector.length = static_cast<uint32_t>(map.length);
  described.safe_vector = map.safe;
  described.tdi_side = map.tdi_side;
  described.tdo_side = map.tdo_side;
  described.chain = chain_position(map.tdi_side, map.tdo_side);
  described.chain_described = true;
  active = std::move(described);
}

bool load_described_profile(ActiveProfile& active, const std::string& path, std::string& error) {
  std::vector<std::string> notes;
  return load_described_profile(active, path, error, notes);
}

bool load_described_profile(ActiveProfile& active, const std::string& path, std::string& error,
                            std::vector<std::string>& notes) {
  bsdl::LoadedBoard loaded;
  bsdl::PinMap map;
  bsdl::Error failure;
  if (!bsdl::load_board(path, loaded, failure) ||
      !bsdl::derive_pin_map(loaded.bsdl, loaded.description, map, failure)) {
    error = failure.text();
    return false;
  }
  select_described_profile(active, map, loaded.bsdl.entity);
  notes.insert(notes.end(), map.notes.begin(), map.notes.end());
  if (loaded.bsdl.tap_scan_clock_hz > 0)
    active.tck_limit = TckLimit{loaded.bsdl.tap_scan_clock_hz, loaded.description.bsdl_path()};
  return true;
}

}  // namespace jtagnand
