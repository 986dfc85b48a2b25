// The board description: its reader, the pin map derived from it and the BSDL
// data, and the loader that reads both files.

#include "bsdl/board.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <tuple>
#include <utility>

namespace jtagnand::bsdl {
namespace {

constexpr std::string_view kSignalNames[kNandSignals] = {
    "D0", "D1", "D2", "D3", "D4", "D5", "D6", "D7", "nCE", "CLE", "ALE", "nWE", "nRE", "RnB"};

constexpr auto kRnb = static_cast<std::size_t>(NandSignal::kRnb);
constexpr int kMaxChainIr = 64;  // the longest IR a bypassed device may have
constexpr std::size_t kMaxChainDevices = 32;
constexpr std::size_t kMaxFileSize = 16 << 20;

[[nodiscard]] std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

[[nodiscard]] bool name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// A port name: NAME or NAME(INDEX), spaces around the index allowed. Returns
// the name without spaces, or empty when the text is not one.
[[nodiscard]] std::string port_name(std::string_view text) {
  std::string out;
  for (char c : text)
    if (c != ' ' && c != '\t') out += c;
  std::size_t i = 0;
  if (out.empty() || !((out[0] >= 'a' && out[0] <= 'z') || (out[0] >= 'A' && out[0] <= 'Z')))
    return {};
  while (i < out.size() && name_char(out[i])) ++i;
  if (i == out.size()) return out;
  if (out[i] != '(' || out.back() != ')' || i + 2 >= out.size()) return {};
  for (std::size_t k = i + 1; k + 1 < out.size(); ++k)
    if (out[k] < '0' || out[k] > '9') return {};
  return out;
}

[[nodiscard]] bool read_lengths(std::string_view value, std::vector<int>& out) {
  out.clear();
  std::size_t i = 0;
  while (i < value.size()) {
    if (value[i] == ' ' || value[i] == '\t' || value[i] == ',') {
      ++i;
      continue;
    }
    int length = 0;
    const auto [end, ec] = std::from_chars(value.data() + i, value.data() + value.size(), length);
    if (ec != std::errc() || end == value.data() + i) return false;
    i = static_cast<std::size_t>(end - value.data());
    if (i < value.size() && value[i] != ' ' && value[i] != '\t' && value[i] != ',') return false;
    if (length < 2 || length > kMaxChainIr) return false;
    out.push_back(length);
  }
  return out.size() <= kMaxChainDevices;
}

}  // namespace

std::string_view signal_name(NandSignal signal) {
  return kSignalNames[static_cast<std::size_t>(signal)];
}

std::string BoardDescription::bsdl_path() const {
  const bool absolute =
      (!bsdl.empty() && (bsdl[0] == '/' || bsdl[0] == '\\')) || (bsdl.size() > 1 && bsdl[1] == ':');
  if (absolute) return bsdl;
  const std::size_t slash = file.find_last_of("/\\");
  if (slash == std::string::npos) return bsdl;
  return file.substr(0, slash + 1) + bsdl;
}

bool read_board_description(std::string_view text, std::string_view file_name,
                            BoardDescription& result, Error& error) {
  BoardDescription board;
  board.file = std::string(file_name);
  const auto fail = [&](int line, std::string message) {
    error = Error{board.file, line, std::move(message)};
    return false;
  };
  bool have_tdi = false;
  bool have_tdo = false;
  int tdi_line = 0;
  int tdo_line = 0;
  // Every pin named so far, upper case -> what it carries and where.
  std::map<std::string, std::pair<std::string, int>> used;
  const auto use_pin = [&](const std::string& port, std::string_view what, int line) {
    const auto [it, fresh] = used.emplace(upper(port), std::make_pair(std::string(what), line));
    if (fresh) return true;
    return fail(line, "pin " + port + " is used twice: for " + it->second.first + " on line " +
                          std::to_string(it->second.second) + " and for " + std::string(what));
  };

  int line_number = 0;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++line_number;
    if (const std::size_t hash = line.find('#'); hash != std::string_view::npos)
      line = line.substr(0, hash);
    line = trim(line);
    if (line.empty()) continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos)
      return fail(line_number, "expected KEY = VALUE, found '" + std::string(line) + "'");
    const std::string_view key = trim(line.substr(0, equals));
    const std::string_view value = trim(line.substr(equals + 1));

    if (key.size() > 4 && same_name(key.substr(0, 4), "hold") &&
        (key[4] == ' ' || key[4] == '\t')) {
      const std::string port = port_name(key.substr(5));
      if (port.empty())
        return fail(line_number,
                    "expected 'hold PIN = 0' or 'hold PIN = 1' with a port name "
                    "such as PG9 or A(3)");
      if (value != "0" && value != "1")
        return fail(line_number, "expected 0 or 1 as the level of hold " + port + ", found '" +
                                     std::string(value) + "'");
      if (!use_pin(port, "hold " + port, line_number)) return false;
      board.hold.push_back({port, static_cast<uint8_t>(value[0] - '0'), line_number});
      continue;
    }
    if (same_name(key, "bsdl")) {
      if (!board.bsdl.empty())
        return fail(line_number,
                    "bsdl is given twice (first on line " + std::to_string(board.bsdl_line) + ")");
      if (value.empty()) return fail(line_number, "expected the BSDL file's path after 'bsdl ='");
      board.bsdl = std::string(value);
      board.bsdl_line = line_number;
      continue;
    }
    if (same_name(key, "tdi_side") || same_name(key, "tdo_side")) {
      const bool tdi = same_name(key, "tdi_side");
      bool& have = tdi ? have_tdi : have_tdo;
      int& first = tdi ? tdi_line : tdo_line;
      if (have)
        return fail(line_number, std::string(tdi ? "tdi_side" : "tdo_side") +
                                     " is given twice (first on line " + std::to_string(first) +
                                     ")");
      have = true;
      first = line_number;
      if (!read_lengths(value, tdi ? board.tdi_side : board.tdo_side))
        return fail(line_number, "expected IR lengths from 2 to " + std::to_string(kMaxChainIr) +
                                     " separated by spaces or commas (at most " +
                                     std::to_string(kMaxChainDevices) + " devices), found '" +
                                     std::string(value) + "'");
      continue;
    }
    std::size_t signal = kNandSignals;
    for (std::size_t s = 0; s < kNandSignals; ++s)
      if (same_name(key, kSignalNames[s])) signal = s;
    if (signal == kNandSignals)
      return fail(line_number, "unknown key '" + std::string(key) +
                                   "' (expected bsdl, tdi_side, tdo_side, D0 to D7, nCE, CLE, "
                                   "ALE, nWE, nRE, RnB or hold PIN)");
    PinRef& pin = board.nand[signal];
    const std::string_view what = kSignalNames[signal];
    if (pin.line != 0)
      return fail(line_number, std::string(what) + " is given twice (first on line " +
                                   std::to_string(pin.line) + ")");
    const std::string port = port_name(value);
    if (port.empty())
      return fail(line_number, "expected a port name such as PD14 or D(3) for " +
                                   std::string(what) + ", found '" + std::string(value) + "'");
    if (!use_pin(port, what, line_number)) return false;
    pin = PinRef{port, line_number};
  }
  if (board.bsdl.empty()) return fail(0, "missing 'bsdl = FILE' (the CPU's BSDL file)");
  // Without any flash pin the description still gives the chain; with some,
  // a missing one is a mistake.
  for (std::size_t s = 0; s < kNandSignals && !board.chain_only(); ++s)
    if (board.nand[s].line == 0)
      return fail(0, "missing '" + std::string(kSignalNames[s]) +
                         " = PIN' (D0 to D7, nCE, CLE, ALE, nWE, nRE and RnB are all required)");
  result = std::move(board);
  return true;
}

namespace {

// What a control cell switches; one control cell must not switch pins of two kinds.
enum class Role : uint8_t { kStrobe, kData, kOff };

struct Deriver {
  const Bsdl& bsdl;
  const BoardDescription& board;
  Error& error;
  std::vector<int> output;  // per port: its output cell, or -1
  std::vector<int> input;   // per port: its input cell, or -1
  // control cell -> role, the port that gave it, the description line (0: unnamed)
  std::map<int, std::tuple<Role, int, int>> roles;

  bool fail(int line, std::string message) {
    error = Error{board.file, line, std::move(message)};
    return false;
  }

  void index_cells() {
    output.assign(bsdl.ports.size(), -1);
    input.assign(bsdl.ports.size(), -1);
    for (std::size_t n = 0; n < bsdl.cells.size(); ++n) {
      const Cell& cell = bsdl.cells[n];
      if (cell.port >= 0 && drives(cell.function) &&
          output[static_cast<std::size_t>(cell.port)] < 0)
        output[static_cast<std::size_t>(cell.port)] = static_cast<int>(n);
      // A merged cell captures its input's port whatever its update latch
      // drives, so it reads that pin like a dedicated input cell.
      const int sensed = sensed_port(cell);
      if (sensed < 0) continue;
      const auto p = static_cast<std::size_t>(sensed);
      // A dedicated input cell wins over a bidir cell that also senses.
      if (input[p] < 0 ||
          (cell.function != CellFunction::kBidir &&
           bsdl.cells[static_cast<std::size_t>(input[p])].function == CellFunction::kBidir))
        input[p] = static_cast<int>(n);
    }
  }

  // `label` is the description's line as the messages quote it: "D0 = PD14".
  bool port(const PinRef& pin, const std::string& label, int& index) {
    index = bsdl.find_port(pin.port);
    if (index < 0)
      return fail(pin.line, label + ": " + pin.port + " is not a port of " + bsdl.entity + " (" +
                                board.bsdl + ")");
    return true;
  }

  bool claim(int control, Role role, int port_index, int line, std::string_view what) {
    const auto [it, fresh] = roles.emplace(control, std::make_tuple(role, port_index, line));
    if (fresh || std::get<0>(it->second) == role) return true;
    const std::string& other = bsdl.ports[static_cast<std::size_t>(std::get<1>(it->second))].name;
    const std::string& mine = bsdl.ports[static_cast<std::size_t>(port_index)].name;
    const int other_line = std::get<2>(it->second);
    if (line == 0) {
      return fail(other_line, std::string(what) + ": control cell " + std::to_string(control) +
                                  " of " + other + " also enables " + mine +
                                  ", which the description does not name");
    }
    return fail(line, std::string(what) + ": control cell " + std::to_string(control) + " of " +
                          mine + " also switches " + other +
                          (other_line > 0 ? " (line " + std::to_string(other_line) + ")"
                                          : ", which the description does not name"));
  }

  // An open-drain pin: its output cell is its own control cell.
  [[nodiscard]] static bool open_drain(const Cell& cell, int number) {
    return cell.control == number;
  }

  // `hold_level`: for a hold pin, the level it is held at (an open-drain pin
  // can be held at the level it drives, or at the one its pull gives); -1
  // for a flash line, which must be driven both ways.
  bool driven(const PinRef& pin, const std::string& label, DrivenPin& out, int hold_level = -1) {
    if (!port(pin, label, out.port)) return false;
    const auto p = static_cast<std::size_t>(out.port);
    out.output_cell = output[p];
    if (out.output_cell < 0)
      return fail(pin.line,
                  label + ": " + pin.port + " has no output cell, so the CPU cannot drive it");
    const Cell& cell = bsdl.cells[static_cast<std::size_t>(out.output_cell)];
    if (open_drain(cell, out.output_cell)) {
      const int released = cell.disable == '1' ? 1 : 0;
      const bool pulled = cell.result == (released == 1 ? "PULL1" : "PULL0") ||
                          cell.result == (released == 1 ? "WEAK1" : "WEAK0");
      if (hold_level < 0 || (hold_level == released && !pulled))
        return fail(pin.line, label + ": " + pin.port + " is open drain (output cell " +
                                  std::to_string(out.output_cell) +
                                  " is its own control cell): it drives one level only");
      // The cell's own value drives the level or lets the pull give it.
      out.control_cell = -1;
      return true;
    }
    out.control_cell = cell.control;
    out.disable = static_cast<uint8_t>(cell.disable == '1' ? 1 : 0);
    out.enable = static_cast<uint8_t>(out.disable ^ 1U);
    if (out.control_cell >= 0)
      return claim(out.control_cell, Role::kStrobe, out.port, pin.line, label);
    return true;
  }

  bool data(const PinRef& pin, const std::string& label, DataPin& out) {
    if (!port(pin, label, out.port)) return false;
    const auto p = static_cast<std::size_t>(out.port);
    const std::string head = label + ": " + pin.port;
    out.output_cell = output[p];
    out.input_cell = input[p];
    if (out.output_cell < 0)
      return fail(pin.line, head + " has no output cell, so the CPU cannot drive it");
    if (out.input_cell < 0)
      return fail(pin.line, head + " has no input cell, so the CPU cannot read it");
    const Cell& cell = bsdl.cells[static_cast<std::size_t>(out.output_cell)];
    if (open_drain(cell, out.output_cell))
      return fail(pin.line, head + " is open drain (output cell " +
                                std::to_string(out.output_cell) +
                                " is its own control cell): it drives one level only");
    if (cell.control < 0)
      return fail(pin.line, head + " is always driven (output cell " +
                                std::to_string(out.output_cell) +
                                " has no control cell), so the CPU cannot read the flash on it");
    out.control_cell = cell.control;
    out.disable = static_cast<uint8_t>(cell.disable == '1' ? 1 : 0);
    out.enable = static_cast<uint8_t>(out.disable ^ 1U);
    return claim(out.control_cell, Role::kData, out.port, pin.line, label);
  }

  bool jtag(TapFacts& tap) {
    const auto code = [](const Instruction& i) { return pattern_value(i.opcodes.front()); };
    const auto missing = [&](std::string_view what) {
      return fail(board.bsdl_line, board.bsdl + " has no " + std::string(what) +
                                       " instruction, which a boundary-scan "
                                       "NAND programmer needs");
    };
    tap.instruction_length = bsdl.instruction_length;
    const Instruction* extest = bsdl.find_instruction("EXTEST");
    if (extest == nullptr) return missing("EXTEST");
    tap.extest = code(*extest);
    const Instruction* preload = bsdl.find_instruction("PRELOAD");
    if (preload == nullptr) preload = bsdl.find_instruction("SAMPLE");
    if (preload == nullptr) return missing("SAMPLE/PRELOAD");
    tap.preload = code(*preload);
    const Instruction* bypass = bsdl.find_instruction("BYPASS");
    // 1149.1 makes the all-ones opcode BYPASS whether or not the file lists it.
    tap.bypass = bypass != nullptr ? code(*bypass)
                                   : (bsdl.instruction_length >= 64
                                          ? ~uint64_t{0}
                                          : (uint64_t{1} << bsdl.instruction_length) - 1);
    const Instruction* idcode = bsdl.find_instruction("IDCODE");
    const auto pattern = bsdl.idcode();
    tap.has_idcode = idcode != nullptr && pattern.has_value();
    if (tap.has_idcode) {
      tap.idcode_instruction = code(*idcode);
      tap.idcode = *pattern;
    }
    return true;
  }

  bool run(PinMap& map) {
    index_cells();
    if (!jtag(map.tap)) return false;
    map.length = bsdl.boundary_length;
    map.tdi_side = board.tdi_side;
    map.tdo_side = board.tdo_side;
    const auto label = [&](std::size_t s) {
      return std::string(kSignalNames[s]) + " = " + board.nand[s].port;
    };
    const auto hold_label = [](const HoldRef& hold) {
      return "hold " + hold.port + " = " + std::to_string(hold.level);
    };
    map.chain_only = board.chain_only();
    for (std::size_t k = 0; k < 8 && !map.chain_only; ++k)
      if (!data(board.nand[k], label(k), map.data[k])) return false;
    const std::pair<NandSignal, DrivenPin*> strobes[] = {{NandSignal::kNce, &map.nce},
                                                         {NandSignal::kCle, &map.cle},
                                                         {NandSignal::kAle, &map.ale},
                                                         {NandSignal::kNwe, &map.nwe},
                                                         {NandSignal::kNre, &map.nre}};
    for (const auto& [signal, pin] : strobes)
      if (!map.chain_only &&
          !driven(board.pin(signal), label(static_cast<std::size_t>(signal)), *pin))
        return false;
    for (const HoldRef& hold : board.hold) {
      HoldPin pin;
      pin.level = hold.level;
      if (!driven(PinRef{hold.port, hold.line}, hold_label(hold), pin.pin, hold.level))
        return false;
      map.hold.push_back(pin);
    }

    if (!map.chain_only) {
      const PinRef& rnb = board.pin(NandSignal::kRnb);
      if (!port(rnb, label(kRnb), map.rnb_port)) return false;
      const auto rp = static_cast<std::size_t>(map.rnb_port);
      map.rnb_input_cell = input[rp];
      if (map.rnb_input_cell < 0)
        return fail(rnb.line, label(kRnb) + ": " + rnb.port +
                                  " has no input cell, so the CPU cannot read the flash's R/nB");
      if (output[rp] >= 0) {
        const Cell& cell = bsdl.cells[static_cast<std::size_t>(output[rp])];
        if (cell.control < 0)
          return fail(rnb.line,
                      label(kRnb) + ": " + rnb.port +
                          " is always driven by the CPU and would fight the flash's R/nB");
        if (!claim(cell.control, Role::kOff, map.rnb_port, rnb.line, label(kRnb))) return false;
      }
    }
    // Pins the description does not name stay undriven: their control cells
    // must not be among those the program turns on.
    for (std::size_t p = 0; p < bsdl.ports.size(); ++p) {
      if (output[p] < 0) continue;
      const Cell& cell = bsdl.cells[static_cast<std::size_t>(output[p])];
      if (cell.control < 0) continue;
      const auto it = roles.find(cell.control);
      if (it != roles.end() && std::get<1>(it->second) == static_cast<int>(p)) continue;
      bool named = false;
      for (const PinRef& pin : board.nand) named = named || same_name(pin.port, bsdl.ports[p].name);
      for (const HoldRef& hold : board.hold)
        named = named || same_name(hold.port, bsdl.ports[p].name);
      if (named) continue;
      const std::string& owner =
          it == roles.end() ? std::string()
                            : bsdl.ports[static_cast<std::size_t>(std::get<1>(it->second))].name;
      std::string what;
      if (it != roles.end()) {
        for (std::size_t s = 0; s < kNandSignals; ++s)
          if (same_name(board.nand[s].port, owner)) what = label(s);
        for (const HoldRef& hold : board.hold)
          if (same_name(hold.port, owner)) what = hold_label(hold);
      }
      if (!claim(cell.control, Role::kOff, static_cast<int>(p), 0, what)) return false;
    }

    // The safe vector: safe values, X as 0; control cells at the level that
    // disables the outputs they serve.
    map.safe.assign(static_cast<std::size_t>(map.length), '0');
    for (std::size_t n = 0; n < bsdl.cells.size(); ++n)
      if (bsdl.cells[n].safe == '1') map.safe[n] = '1';
    for (const Cell& cell : bsdl.cells)
      if (cell.control >= 0) map.safe[static_cast<std::size_t>(cell.control)] = cell.disable;
    map.idle = map.safe;
    const auto set = [&](int cell, unsigned level) {
      map.idle[static_cast<std::size_t>(cell)] = level != 0 ? '1' : '0';
    };
    const auto drive = [&](const DrivenPin& pin, unsigned level) {
      set(pin.output_cell, level);
      if (pin.control_cell >= 0) set(pin.control_cell, pin.enable);
    };
    if (!map.chain_only) {
      drive(map.nce, 1);
      drive(map.cle, 0);
      drive(map.ale, 0);
      drive(map.nwe, 1);
      drive(map.nre, 1);
    }
    for (const HoldPin& hold : map.hold) drive(hold.pin, hold.level);
    add_notes(map);
    return true;
  }

  // The cell types of the named pins' cells: a vendor's own type (CBSC_1)
  // works as its function says, but nothing here knows it for sure.
  void add_notes(PinMap& map) const {
    if (!bsdl.skipped_lines.empty()) {
      map.notes.push_back(board.bsdl + ": " + bsdl.skipped_lines +
                          " before 'entity' skipped: not BSDL");
    }
    std::vector<int> used;
    const auto use = [&](int cell) {
      if (cell >= 0) used.push_back(cell);
    };
    for (const DataPin& pin : map.data) {
      use(pin.output_cell);
      use(pin.input_cell);
      use(pin.control_cell);
    }
    for (const DrivenPin* pin : {&map.nce, &map.cle, &map.ale, &map.nwe, &map.nre}) {
      use(pin->output_cell);
      use(pin->control_cell);
    }
    for (const HoldPin& hold : map.hold) {
      use(hold.pin.output_cell);
      use(hold.pin.control_cell);
    }
    use(map.rnb_input_cell);
    std::sort(used.begin(), used.end());
    used.erase(std::unique(used.begin(), used.end()), used.end());
    for (const int n : used) {
      const Cell& cell = bsdl.cells[static_cast<std::size_t>(n)];
      if (standard_cell_type(cell.type)) continue;
      const std::string port =
          cell.port >= 0 ? " (" + bsdl.ports[static_cast<std::size_t>(cell.port)].name + ")" : "";
      map.notes.push_back(board.bsdl + ":" + std::to_string(cell.line) + ": warning: cell " +
                          std::to_string(n) + port + " has the cell type " + cell.type +
                          ", which IEEE 1149.1 does not define; it is used as its function (" +
                          std::string(function_name(cell.function)) + ") says");
    }
  }
};

[[nodiscard]] bool read_file(const std::string& path, std::string& text, std::string& problem) {
  // A directory opens as a stream on some systems and fails only when read,
  // by an exception; a device such as /dev/zero never ends: the reading stops
  // one byte past the limit.
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    problem = "not a plain file";
    return false;
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    problem = "cannot open the file";
    return false;
  }
  text.clear();
  char chunk[65536];
  while (text.size() <= kMaxFileSize && file) {
    file.read(chunk, sizeof chunk);
    text.append(chunk, static_cast<std::size_t>(file.gcount()));
  }
  if (file.bad()) {
    problem = "cannot read the file";
    return false;
  }
  if (text.size() > kMaxFileSize) {
    problem = "the file is larger than 16 MiB";
    return false;
  }
  return true;
}

}  // namespace

bool derive_pin_map(const Bsdl& bsdl, const BoardDescription& board, PinMap& result, Error& error) {
  PinMap map;
  Deriver deriver{bsdl, board, error, {}, {}, {}};
  if (!deriver.run(map)) return false;
  result = std::move(map);
  return true;
}

bool load_board(const std::string& path, LoadedBoard& result, Error& error) {
  std::string text;
  std::string problem;
  if (!read_file(path, text, problem)) {
    error = Error{path, 0, problem};
    return false;
  }
  LoadedBoard loaded;
  if (!read_board_description(text, path, loaded.description, error)) return false;
  const std::string bsdl_path = loaded.description.bsdl_path();
  if (!read_file(bsdl_path, text, problem)) {
    error = Error{path, loaded.description.bsdl_line, "BSDL file " + bsdl_path + ": " + problem};
    return false;
  }
  if (!read_bsdl(text, bsdl_path, loaded.bsdl, error)) return false;
  result = std::move(loaded);
  return true;
}

}  // namespace jtagnand::bsdl
