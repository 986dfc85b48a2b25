// Parsing of the simulated board's options: "cpu=KELDA,nand=0x75,bad=3,stats".

#include <cstdint>
#include <iterator>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "numbers/parse_unsigned.h"
#include "sim/option_list.h"
#include "sim/sim_board.h"

namespace jtagnand::sim {
namespace {

struct CpuName {
  std::string_view name;
  Cpu cpu;
};
constexpr CpuName kCpuNames[] = {
    {"RQ7220", Cpu::kRq7220}, {"ZELT", Cpu::kZelt}, {"KELDA", Cpu::kKelda}, {"TOMUX", Cpu::kTomux}};

[[nodiscard]] char upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

[[nodiscard]] bool same_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (upper(a[i]) != upper(b[i])) return false;
  return true;
}

// User text as it goes into a one-line message: control characters (a line
// end, ESC starting a terminal sequence) are shown as \xNN.
[[nodiscard]] std::string shown(std::string_view text) {
  constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

[[nodiscard]] std::string bad_value(std::string_view key, std::string_view value,
                                    std::string_view expected) {
  return "bad value '" + shown(value) + "' for sim option " + std::string(key) + " (expected " +
         std::string(expected) + ")";
}

[[nodiscard]] bool apply_option(std::string_view key, std::string_view value, bool has_value,
                                SimOptions& options, std::string& error) {
  uint64_t number = 0;
  auto need_value = [&](std::string_view expected) {
    if (has_value && !value.empty()) return true;
    error = "sim option " + std::string(key) + " needs a value (" + std::string(expected) + ")";
    return false;
  };
  auto flag = [&](bool& target) {
    if (has_value) {
      error = "sim option " + std::string(key) + " takes no value";
      return false;
    }
    target = true;
    return true;
  };

  if (key == "stats") return flag(options.stats);
  if (key == "strict") return flag(options.strict);
  if (key == "cpu") {
    if (!need_value("RQ7220, ZELT, KELDA or TOMUX")) return false;
    for (const auto& entry : kCpuNames) {
      if (same_ignoring_case(value, entry.name)) {
        options.cpu = entry.cpu;
        return true;
      }
    }
    error = bad_value(key, value, "RQ7220, ZELT, KELDA or TOMUX");
    return false;
  }
  if (key == "nand" || key == "maker") {
    if (!need_value("a byte, e.g. 0xDA")) return false;
    if (!parse_unsigned(value, 0xFF, number)) {
      error = bad_value(key, value, "a byte, decimal or 0x hex");
      return false;
    }
    (key == "nand" ? options.nand_code : options.maker_code) = static_cast<uint8_t>(number);
    return true;
  }
  if (key == "id") {
    // Hexadecimal bytes separated by colons, as a datasheet lists them.
    constexpr std::string_view kExpected = "2 to 8 hex bytes separated by ':', e.g. 2C:DA:90:95:06";
    if (!need_value(kExpected)) return false;
    std::vector<uint8_t> bytes;
    for (std::string_view rest = value; bytes.size() <= 8;) {
      const std::size_t colon = rest.find(':');
      const std::string_view part = rest.substr(0, colon);
      if (!parse_unsigned(part, 0xFF, number, NumberBase::kHex)) break;
      bytes.push_back(static_cast<uint8_t>(number));
      if (colon == std::string_view::npos) {
        if (bytes.size() < 2 || bytes.size() > 8) break;
        options.id_bytes = std::move(bytes);
        return true;
      }
      rest.remove_prefix(colon + 1);
    }
    error = bad_value(key, value, kExpected);
    return false;
  }
  if (key == "onfi") {
    if (!need_value("a file with the ONFI parameter page")) return false;
    options.onfi_path = std::string(value);
    return true;
  }
  if (key == "board") {
    if (!need_value("a board description file")) return false;
    options.board_path = std::string(value);
    return true;
  }
  if (key == "flash") {
    if (!need_value("a file path")) return false;
    // One chip, one file: a second flash= would silently leave the first
    // file out of the run.
    if (!options.flash_path.empty()) {
      error = "sim option flash given twice ('" + shown(options.flash_path) + "' and '" +
              shown(value) + "'); the chip has one file";
      return false;
    }
    options.flash_path = std::string(value);
    return true;
  }
  if (key == "bad" || key == "progfail" || key == "marked") {
    const bool marked = key == "marked";
    if (!need_value(marked ? "a block number" : "a number")) return false;
    if (!parse_unsigned(value, std::numeric_limits<uint32_t>::max(), number)) {
      error = bad_value(key, value, key == "progfail" ? "a page number" : "a block number");
      return false;
    }
    (marked              ? options.marked_blocks
     : key == "progfail" ? options.progfail_pages
                         : options.bad_blocks)
        .push_back(static_cast<uint32_t>(number));
    return true;
  }
  if (key == "flip") {
    const char* expected = "OFFSET[:BIT] or spare:PAGE:BYTE[:BIT]";
    if (!need_value(expected)) return false;
    // The fields after "spare:" or the offset, split at the colons.
    BitFlip flip;
    std::string_view rest = value;
    if (rest.starts_with("spare:")) {
      flip.spare = true;
      rest.remove_prefix(6);
    }
    std::vector<uint64_t> fields;
    for (;;) {
      const std::size_t colon = rest.find(':');
      if (!parse_unsigned(rest.substr(0, colon), std::numeric_limits<uint64_t>::max(), number)) {
        error = bad_value(key, value, expected);
        return false;
      }
      fields.push_back(number);
      if (colon == std::string_view::npos) break;
      rest.remove_prefix(colon + 1);
    }
    const std::size_t needed = flip.spare ? 2 : 1;
    if (fields.size() < needed || fields.size() > needed + 1 ||
        (fields.size() > needed && fields.back() > 7) ||
        (flip.spare && fields[1] > std::numeric_limits<uint32_t>::max())) {
      error = bad_value(key, value, expected);
      return false;
    }
    flip.where = fields[0];
    if (flip.spare) flip.spare_byte = static_cast<uint32_t>(fields[1]);
    if (fields.size() > needed) flip.bit = static_cast<uint8_t>(fields.back());
    options.flips.push_back(flip);
    return true;
  }
  if (key == "busy") {
    if (!need_value("a number of scans or never")) return false;
    if (value == "never") {
      options.busy_never = true;
      return true;
    }
    if (!parse_unsigned(value, 1'000'000, number)) {
      error = bad_value(key, value, "a number of scans up to 1000000, or never");
      return false;
    }
    options.busy_never = false;
    options.busy_scans = static_cast<uint32_t>(number);
    return true;
  }
  if (key == "hang") {
    if (!need_value("reset, read, program or erase")) return false;
    constexpr std::string_view kOps[kNandOps] = {"reset", "read", "program", "erase"};
    for (std::size_t i = 0; i < kNandOps; ++i) {
      if (value == kOps[i]) {
        options.hang[i] = true;
        return true;
      }
    }
    error = bad_value(key, value, "reset, read, program or erase");
    return false;
  }
  if (key == "target") {
    if (!need_value("on or off")) return false;
    if (value == "off" || value == "on") {
      options.target_off = value == "off";
      return true;
    }
    error = bad_value(key, value, "on or off");
    return false;
  }
  if (key == "port") {
    if (!need_value("0x378, 0x278, 0x3BC or none")) return false;
    if (value == "none") {
      options.port_base = 0;
      return true;
    }
    if (parse_unsigned(value, 0xFFFF, number) &&
        (number == 0x378 || number == 0x278 || number == 0x3BC)) {
      options.port_base = static_cast<uint16_t>(number);
      return true;
    }
    error = bad_value(key, value, "0x378, 0x278, 0x3BC or none");
    return false;
  }
  error = "unknown sim option '" + shown(key) +
          "' (known: cpu, board, nand, maker, id, onfi, flash, bad, marked, progfail, flip, busy, "
          "hang, target, port, stats, strict)";
  return false;
}

}  // namespace

bool parse_sim_options(std::string_view text, std::string_view cpu_hint, SimOptions& options,
                       std::string& error) {
  SimOptions parsed;
  bool explicit_cpu = false;
  for (const auto& entry : kCpuNames)
    if (cpu_hint == entry.name) parsed.cpu = entry.cpu;

  for (OptionItem item; next_option(text, item);) {
    if (item.text.empty()) continue;
    if (!apply_option(item.key, item.value, item.has_value, parsed, error)) return false;
    explicit_cpu = explicit_cpu || item.key == "cpu";
  }
  if (explicit_cpu && !parsed.board_path.empty()) {
    error = "sim options cpu= and board= exclude each other (board= describes the CPU)";
    return false;
  }
  options = std::move(parsed);
  return true;
}

std::string_view violation_name(Violation kind) {
  // In the order of Violation.
  static constexpr std::string_view kNames[] = {
      "bus conflict on the data lines",
      "data, CLE or ALE changed with the rising nWE",
      "CLE and ALE both high at a latch",
      "command while the chip is busy",
      "nWE and nRE low together",
      "confirm without the address cycles",
      "a flash input floating at a latch",
      "a second driver on R/nB",
      "a byte read from the capture before nRE fell",
      "nRE fell with CLE or ALE high or falling",
  };
  static_assert(std::size(kNames) == kViolationKinds);
  const auto index = static_cast<std::size_t>(kind);
  return index < kViolationKinds ? kNames[index] : "unknown";
}

}  // namespace jtagnand::sim
