// The BSDL reader. Two levels of syntax: the VHDL-like statements of the file
// (entity, generic, port, use, attribute, constant, end), read from a token
// list; and the small languages inside the attribute strings (opcode table,
// boundary register, pin map), read from the joined string with the line of
// every character kept, so an error inside a long register names its line.

#include "bsdl/bsdl.h"

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace jtagnand::bsdl {

std::string Error::text() const {
  std::string out = file;
  if (line > 0) out += ":" + std::to_string(line);
  // A message quotes names from the file; a line of megabytes (one endless
  // identifier) is cut so that the message stays a line.
  constexpr std::size_t kShown = 400;
  if (message.size() > kShown) return out + ": " + message.substr(0, kShown) + "...";
  return out + ": " + message;
}

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

uint64_t pattern_value(std::string_view pattern) {
  uint64_t value = 0;
  for (char c : pattern) value = (value << 1) | (c == '1' ? 1U : 0U);
  return value;
}

uint64_t pattern_mask(std::string_view pattern) {
  uint64_t mask = 0;
  for (char c : pattern) mask = (mask << 1) | (c == 'X' ? 0U : 1U);
  return mask;
}

namespace {

struct FunctionName {
  std::string_view name;
  CellFunction function;
};
constexpr FunctionName kFunctions[] = {
    {"INPUT", CellFunction::kInput},
    {"OUTPUT2", CellFunction::kOutput2},
    {"OUTPUT3", CellFunction::kOutput3},
    {"CONTROL", CellFunction::kControl},
    {"CONTROLR", CellFunction::kControlR},
    {"INTERNAL", CellFunction::kInternal},
    {"BIDIR", CellFunction::kBidir},
    {"CLOCK", CellFunction::kClock},
    {"OBSERVE_ONLY", CellFunction::kObserveOnly},
};

// States of a disabled driver that 1149.1 names.
constexpr std::string_view kResults[] = {"Z", "WEAK0", "WEAK1", "PULL0", "PULL1", "KEEPER"};

// Bounds that keep a hostile file from asking for huge tables.
constexpr int kMaxInstructionLength = 64;
constexpr int kMaxBoundaryLength = 1 << 20;
constexpr int64_t kMaxPorts = 1 << 16;

}  // namespace

std::string_view function_name(CellFunction function) {
  for (const auto& f : kFunctions)
    if (f.function == function) return f.name;
  return "?";
}

bool drives(CellFunction function) {
  return function == CellFunction::kOutput2 || function == CellFunction::kOutput3 ||
         function == CellFunction::kBidir;
}

bool senses(CellFunction function) {
  return function == CellFunction::kInput || function == CellFunction::kBidir ||
         function == CellFunction::kClock || function == CellFunction::kObserveOnly;
}

int sensed_port(const Cell& cell) {
  if (cell.input_port >= 0) return cell.input_port;
  return senses(cell.function) ? cell.port : -1;
}

int Bsdl::find_port(std::string_view name) const {
  for (std::size_t i = 0; i < ports.size(); ++i)
    if (same_name(ports[i].name, name)) return static_cast<int>(i);
  return -1;
}

const Instruction* Bsdl::find_instruction(std::string_view name) const {
  for (const auto& instruction : instructions)
    if (same_name(instruction.name, name)) return &instruction;
  return nullptr;
}

std::optional<IdcodePattern> Bsdl::idcode() const {
  if (idcodes.empty()) return std::nullopt;
  return IdcodePattern{static_cast<uint32_t>(pattern_value(idcodes.front())),
                       static_cast<uint32_t>(pattern_mask(idcodes.front()))};
}

namespace {

// --- file level tokens -------------------------------------------------------

enum class Kind : uint8_t { kEnd, kWord, kNumber, kString, kPunct };

struct Token {
  Kind kind = Kind::kEnd;
  std::string_view text;  // a string's contents without the quotes
  int line = 0;
};

[[nodiscard]] bool is_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
[[nodiscard]] bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
[[nodiscard]] bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

[[nodiscard]] std::string shown(char c) {
  if (c > 0x20 && c < 0x7F) return std::string("'") + c + "'";
  static constexpr char kHex[] = "0123456789ABCDEF";
  const auto byte = static_cast<unsigned char>(c);
  return std::string("byte 0x") + kHex[byte >> 4] + kHex[byte & 15];
}

// The string pieces of one attribute or constant, joined, with the line of
// every character.
struct Text {
  std::string chars;
  std::vector<int> lines;
  int first_line = 0;
  void append(const Token& piece) {
    if (chars.empty()) first_line = piece.line;
    chars.append(piece.text);
    lines.insert(lines.end(), piece.text.size(), piece.line);
  }
};

// --- tokens inside an attribute string ---------------------------------------

struct Item {
  Kind kind = Kind::kEnd;  // kWord (letters, digits, _; may start with a digit), kNumber, kPunct
  std::string text;
  int line = 0;
};

class Reader {
 public:
  Reader(std::string_view text, std::string_view file, Bsdl& out, Error& error)
      : text_(text), file_(file), out_(out), error_(error) {}

  [[nodiscard]] bool run() {
    if (!tokenize()) return false;
    if (!entity()) return false;
    return finish();
  }

 private:
  // --- errors --------------------------------------------------------------
  bool fail(int line, std::string message) {
    error_ = Error{std::string(file_), line, std::move(message)};
    return false;
  }

  [[nodiscard]] static std::string describe(const Token& t) {
    switch (t.kind) {
      case Kind::kEnd:
        return "the end of the file";
      case Kind::kString:
        return "a string";
      default:
        return "'" + std::string(t.text) + "'";
    }
  }

  bool expected(std::string_view what) {
    const Token& t = peek();
    return fail(t.line, "expected " + std::string(what) + ", found " + describe(t));
  }

  // --- lexer -----------------------------------------------------------------
  bool tokenize() {
    int line = 1;
    std::size_t i = 0;
    const std::size_t n = text_.size();
    while (i < n) {
      const char c = text_[i];
      if (c == '\n') {
        ++line;
        ++i;
      } else if (is_space(c)) {
        ++i;
      } else if (c == '-' && i + 1 < n && text_[i + 1] == '-') {
        while (i < n && text_[i] != '\n') ++i;  // a comment runs to the end of its line
      } else if (c == '"') {
        const std::size_t start = ++i;
        while (i < n && text_[i] != '"' && text_[i] != '\n') ++i;
        if (i >= n || text_[i] != '"')
          return fail(line, "expected '\"' to close the string before the end of the line");
        tokens_.push_back({Kind::kString, text_.substr(start, i - start), line});
        ++i;
      } else if (is_letter(c)) {
        const std::size_t start = i;
        while (i < n && (is_letter(text_[i]) || is_digit(text_[i]) || text_[i] == '_')) ++i;
        tokens_.push_back({Kind::kWord, text_.substr(start, i - start), line});
      } else if (is_digit(c)) {
        // Integers, and reals such as 10.0e6 or 1.00e+07 (TAP_SCAN_CLOCK).
        const std::size_t start = i;
        while (i < n && (is_digit(text_[i]) || text_[i] == '.' || text_[i] == '_')) ++i;
        if (i < n && (text_[i] == 'e' || text_[i] == 'E')) {
          ++i;
          if (i < n && (text_[i] == '+' || text_[i] == '-')) ++i;
          while (i < n && is_digit(text_[i])) ++i;
        }
        tokens_.push_back({Kind::kNumber, text_.substr(start, i - start), line});
      } else if (c == ':' && i + 1 < n && text_[i + 1] == '=') {
        tokens_.push_back({Kind::kPunct, text_.substr(i, 2), line});
        i += 2;
      } else if (std::string_view("(),;:&.[]*=+-/<>'").find(c) != std::string_view::npos) {
        tokens_.push_back({Kind::kPunct, text_.substr(i, 1), line});
        ++i;
      } else {
        return fail(line, "unexpected " + shown(c));
      }
    }
    tokens_.push_back({Kind::kEnd, {}, line});
    return true;
  }

  [[nodiscard]] const Token& peek() const { return tokens_[pos_]; }
  const Token& next() {
    const Token& t = tokens_[pos_];
    if (t.kind != Kind::kEnd) ++pos_;
    return t;
  }
  [[nodiscard]] bool at_word(std::string_view word) const {
    return peek().kind == Kind::kWord && same_name(peek().text, word);
  }
  [[nodiscard]] bool at_punct(std::string_view p) const {
    return peek().kind == Kind::kPunct && peek().text == p;
  }
  bool word(std::string_view w, std::string_view context) {
    if (!at_word(w)) return expected("'" + std::string(w) + "' " + std::string(context));
    next();
    return true;
  }
  bool punct(std::string_view p, std::string_view context) {
    if (!at_punct(p)) return expected("'" + std::string(p) + "' " + std::string(context));
    next();
    return true;
  }
  bool name(std::string& out, std::string_view what) {
    if (peek().kind != Kind::kWord) return expected(what);
    out = std::string(next().text);
    return true;
  }
  bool integer(int64_t& out, std::string_view what, const Token& t) {
    int64_t value = 0;
    const auto [end, ec] = std::from_chars(t.text.data(), t.text.data() + t.text.size(), value);
    if (t.kind != Kind::kNumber || ec != std::errc() || end != t.text.data() + t.text.size() ||
        value > (int64_t{1} << 30))
      return fail(t.line, "expected " + std::string(what) + ", found " + describe(t));
    out = value;
    return true;
  }

  // --- statements ------------------------------------------------------------
  bool entity() {
    if (!word("entity", "(a BSDL file starts with 'entity NAME is')")) return false;
    if (!name(out_.entity, "the entity name after 'entity'")) return false;
    if (!word("is", "after the entity name")) return false;
    for (;;) {
      if (at_word("generic")) {
        if (!generic()) return false;
      } else if (at_word("port")) {
        if (!port_list()) return false;
      } else if (at_word("use")) {
        if (!use_clause()) return false;
      } else if (at_word("attribute")) {
        if (!attribute()) return false;
      } else if (at_word("constant")) {
        if (!constant()) return false;
      } else if (at_word("end")) {
        end_line_ = next().line;
        if (peek().kind == Kind::kWord) {
          if (!same_name(peek().text, out_.entity)) return expected("'end " + out_.entity + ";'");
          next();
        }
        if (!punct(";", "after 'end " + out_.entity + "'")) return false;
        if (peek().kind != Kind::kEnd) return expected("nothing after 'end " + out_.entity + ";'");
        return true;
      } else if (peek().kind == Kind::kEnd) {
        return expected("'end " + out_.entity + ";'");
      } else {
        return expected("generic, port, use, attribute, constant or end");
      }
    }
  }

  // NAME : TYPE, as a generic and a constant declare themselves; `noun`
  // ("generic", "constant") says whose name and type were expected.
  bool name_and_type(std::string& declared, std::string& type, std::string_view name_what,
                     std::string_view noun) {
    return name(declared, name_what) && punct(":", "after the " + std::string(noun) + "'s name") &&
           name(type, "the " + std::string(noun) + "'s type");
  }

  // generic (PHYSICAL_PIN_MAP : string := "PACKAGE");
  bool generic() {
    next();
    if (!punct("(", "after 'generic'")) return false;
    for (;;) {
      std::string generic_name;
      std::string type;
      if (!name_and_type(generic_name, type, "a generic's name", "generic")) return false;
      if (at_punct(":=")) {
        next();
        if (peek().kind != Kind::kString) return expected("a string as the generic's value");
        if (same_name(generic_name, "PHYSICAL_PIN_MAP"))
          out_.physical_pin_map = next().text;
        else
          next();
      }
      if (at_punct(";")) {
        next();
        continue;
      }
      if (!punct(")", "to close the generic list")) return false;
      return punct(";", "after the generic list");
    }
  }

  // port (NAME, NAME : MODE bit; NAME : MODE bit_vector (A to B); ...);
  bool port_list() {
    next();
    if (!punct("(", "after 'port'")) return false;
    for (;;) {
      std::vector<Token> names;
      for (;;) {
        if (peek().kind != Kind::kWord) return expected("a port name");
        names.push_back(next());
        if (!at_punct(",")) break;
        next();
      }
      if (!punct(":", "after the port name")) return false;
      PortMode mode = PortMode::kIn;
      if (at_word("in")) {
        mode = PortMode::kIn;
      } else if (at_word("out")) {
        mode = PortMode::kOut;
      } else if (at_word("inout")) {
        mode = PortMode::kInout;
      } else if (at_word("buffer")) {
        mode = PortMode::kBuffer;
      } else if (at_word("linkage")) {
        mode = PortMode::kLinkage;
      } else {
        return expected("a port mode (in, out, inout, buffer or linkage)");
      }
      next();
      int64_t from = 0;
      int64_t to = 0;
      bool vector = false;
      if (at_word("bit")) {
        next();
      } else if (at_word("bit_vector")) {
        next();
        vector = true;
        if (!punct("(", "after bit_vector")) return false;
        if (!integer(from, "the first index of the bit_vector", peek())) return false;
        next();
        const bool down = at_word("downto");
        if (!down && !at_word("to")) return expected("'to' or 'downto'");
        next();
        if (!integer(to, "the last index of the bit_vector", peek())) return false;
        next();
        if (!punct(")", "to close the bit_vector range")) return false;
        if (down ? from < to : from > to)
          return fail(names.front().line,
                      std::string("empty range: ") + (down ? "use 'to' for a rising range"
                                                           : "use 'downto' for a falling range"));
      } else {
        return expected("bit or bit_vector");
      }
      for (const Token& t : names) {
        const int64_t count = vector ? (from > to ? from - to : to - from) + 1 : 1;
        if (static_cast<int64_t>(out_.ports.size()) + count > kMaxPorts)
          return fail(t.line, "too many ports (at most " + std::to_string(kMaxPorts) + ")");
        if (!vector) {
          if (!add_port(std::string(t.text), mode, t.line)) return false;
          continue;
        }
        const int64_t step = from <= to ? 1 : -1;
        for (int64_t i = from;; i += step) {
          if (!add_port(std::string(t.text) + "(" + std::to_string(i) + ")", mode, t.line))
            return false;
          if (i == to) break;
        }
      }
      if (at_punct(";")) {
        next();
        if (at_punct(")")) break;  // tolerated: a ';' after the last port
        continue;
      }
      if (at_punct(")")) break;
      return expected("';' or ')' after the port's type");
    }
    next();
    return punct(";", "after the port list");
  }

  bool add_port(std::string port_name, PortMode mode, int line) {
    const std::string key = upper(port_name);
    if (const auto it = port_index_.find(key); it != port_index_.end())
      return fail(line, "port " + port_name + " is declared twice (first on line " +
                            std::to_string(out_.ports[it->second].line) + ")");
    port_index_.emplace(key, out_.ports.size());
    out_.ports.push_back({std::move(port_name), mode, line});
    return true;
  }

  // use STD_1149_1_2001.all;
  bool use_clause() {
    next();
    std::string package;
    if (!name(package, "a package name after 'use'")) return false;
    while (at_punct(".")) {
      next();
      if (peek().kind != Kind::kWord) return expected("a name after '.'");
      next();
    }
    out_.packages.push_back(package);
    return punct(";", "after the use clause");
  }

  // The tokens of a value up to the ';' that ends it (strings are whole
  // tokens, so a ';' inside one does not count).
  bool value_tokens(std::vector<Token>& value, std::string_view statement, int line) {
    int depth = 0;
    for (;;) {
      const Token& t = peek();
      if (t.kind == Kind::kEnd)
        return fail(t.line, "expected ';' to end " + std::string(statement) + " begun on line " +
                                std::to_string(line));
      if (t.kind == Kind::kPunct) {
        if (t.text == "(") ++depth;
        if (t.text == ")") --depth;
        if (t.text == ";" && depth <= 0) {
          next();
          return true;
        }
      }
      value.push_back(next());
    }
  }

  // A value that is a string, or string pieces joined with '&'.
  bool string_value(const std::vector<Token>& value, std::string_view what, int line, Text& out) {
    for (std::size_t i = 0; i < value.size(); ++i) {
      const Token& t = value[i];
      if (i % 2 == 0 ? t.kind != Kind::kString : !(t.kind == Kind::kPunct && t.text == "&"))
        return fail(t.line, "expected " + std::string(i % 2 == 0 ? "a string" : "'&' or ';'") +
                                " in " + std::string(what) + ", found " + describe(t));
      if (i % 2 == 0) out.append(t);
    }
    if (value.empty()) return fail(line, "expected a string for " + std::string(what));
    if (value.size() % 2 == 0)
      return fail(value.back().line, "expected a string after '&' in " + std::string(what));
    return true;
  }

  struct Known {
    bool given = false;
    int line = 0;
    Text text;
    int64_t number = 0;
  };

  // attribute NAME of TARGET : CLASS is VALUE;
  bool attribute() {
    const int line = next().line;
    std::string attribute_name;
    std::string target;
    if (!name(attribute_name, "the attribute's name")) return false;
    if (!word("of", "after the attribute's name")) return false;
    if (!name(target, "the name the attribute belongs to")) return false;
    if (at_punct("(")) {  // an element of a vector port: PORT(3)
      next();
      if (peek().kind != Kind::kNumber) return expected("an index");
      next();
      if (!punct(")", "after the index")) return false;
    }
    if (!punct(":", "after the attribute's target")) return false;
    std::string entity_class;
    if (!name(entity_class, "entity or signal")) return false;
    if (!word("is", "before the attribute's value")) return false;
    std::vector<Token> value;
    const std::string statement = "attribute " + attribute_name;
    if (!value_tokens(value, statement, line)) return false;

    const std::string key = upper(attribute_name);
    if (key == "TAP_SCAN_CLOCK") return scan_clock(value, line);
    Known* known = nullptr;
    bool numeric = false;
    if (key == "INSTRUCTION_LENGTH") {
      known = &instruction_length_;
      numeric = true;
    } else if (key == "BOUNDARY_LENGTH") {
      known = &boundary_length_;
      numeric = true;
    } else if (key == "INSTRUCTION_OPCODE") {
      known = &opcodes_;
    } else if (key == "INSTRUCTION_CAPTURE") {
      known = &capture_;
    } else if (key == "IDCODE_REGISTER") {
      known = &idcode_;
    } else if (key == "BOUNDARY_REGISTER") {
      known = &register_;
    } else {
      return true;  // an attribute this tool has no use for
    }
    if (known->given)
      return fail(line,
                  key + " is given twice (first on line " + std::to_string(known->line) + ")");
    known->given = true;
    known->line = line;
    if (numeric) {
      if (value.size() != 1) {
        const Token& t = value.empty() ? peek() : value.front();
        return fail(t.line, "expected one whole number for " + key);
      }
      return integer(known->number, "a whole number for " + key, value.front());
    }
    return string_value(value, key, line, known->text);
  }

  // attribute TAP_SCAN_CLOCK of TCK : signal is (FREQUENCY, STOP_STATE); the
  // frequency a real number of Hz (20.0e6), the state LOW, BOTH or HIGH.
  bool scan_clock(const std::vector<Token>& value, int line) {
    if (out_.tap_scan_clock_line != 0)
      return fail(line, "TAP_SCAN_CLOCK is given twice (first on line " +
                            std::to_string(out_.tap_scan_clock_line) + ")");
    const auto shape_ok = [&] {
      return value.size() == 5 && value[0].kind == Kind::kPunct && value[0].text == "(" &&
             value[1].kind == Kind::kNumber && value[2].kind == Kind::kPunct &&
             value[2].text == "," && value[3].kind == Kind::kWord &&
             value[4].kind == Kind::kPunct && value[4].text == ")";
    };
    if (!shape_ok()) {
      return fail(line, "expected TAP_SCAN_CLOCK as (FREQUENCY, STOP_STATE), e.g. (20.0e6, BOTH)");
    }
    std::string digits;
    for (const char c : value[1].text)
      if (c != '_') digits += c;
    double hz = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), hz);
    // Up to 100 GHz: anything above is no clock a cable makes.
    if (ec != std::errc() || end != digits.data() + digits.size() || !(hz >= 1.0) || hz > 1e11)
      return fail(value[1].line, "expected a frequency in Hz for TAP_SCAN_CLOCK, found '" +
                                     std::string(value[1].text) + "'");
    out_.tap_scan_clock_hz = hz;
    out_.tap_scan_clock_line = line;
    return true;
  }

  // constant NAME : PIN_MAP_STRING := "PORT : PIN, ..." & ...;
  bool constant() {
    const int line = next().line;
    std::string constant_name;
    std::string type;
    if (!name_and_type(constant_name, type, "the constant's name", "constant")) return false;
    if (!punct(":=", "before the constant's value")) return false;
    std::vector<Token> value;
    if (!value_tokens(value, "constant " + constant_name, line)) return false;
    if (!same_name(type, "PIN_MAP_STRING")) return true;
    Text text;
    if (!string_value(value, "the pin map " + constant_name, line, text)) return false;
    pin_maps_.emplace_back(constant_name, std::move(text));
    return true;
  }

  // --- attribute strings -----------------------------------------------------
  bool split(const Text& text, std::string_view what, std::vector<Item>& items) {
    items.clear();
    const std::string& s = text.chars;
    std::size_t i = 0;
    while (i < s.size()) {
      const char c = s[i];
      const int line = text.lines[i];
      if (is_space(c)) {
        ++i;
      } else if (is_letter(c) || is_digit(c) || c == '_') {
        const std::size_t start = i;
        bool digits = true;
        while (i < s.size() && (is_letter(s[i]) || is_digit(s[i]) || s[i] == '_')) {
          digits = digits && is_digit(s[i]);
          ++i;
        }
        items.push_back({digits ? Kind::kNumber : Kind::kWord, s.substr(start, i - start), line});
      } else if (std::string_view("(),:[]*").find(c) != std::string_view::npos) {
        items.push_back({Kind::kPunct, std::string(1, c), line});
        ++i;
      } else {
        return fail(line, "unexpected " + shown(c) + " in " + std::string(what));
      }
    }
    const int last = text.lines.empty() ? text.first_line : text.lines.back();
    items.push_back({Kind::kEnd, {}, last});
    return true;
  }

  // A cursor over the items of one attribute string.
  struct Items {
    const std::vector<Item>& list;
    std::size_t at = 0;
    [[nodiscard]] const Item& peek() const { return list[at]; }
    const Item& next() {
      const Item& item = list[at];
      if (item.kind != Kind::kEnd) ++at;
      return item;
    }
    [[nodiscard]] bool at_punct(char c) const {
      return peek().kind == Kind::kPunct && peek().text[0] == c;
    }
  };

  bool item_expected(const Item& item, std::string_view what, std::string_view where) {
    const std::string found =
        item.kind == Kind::kEnd ? "the end of the string" : "'" + item.text + "'";
    return fail(item.line,
                "expected " + std::string(what) + " in " + std::string(where) + ", found " + found);
  }

  bool item_number(Items& in, int64_t& value, std::string_view what, std::string_view where) {
    const Item& item = in.peek();
    if (item.kind != Kind::kNumber || item.text.size() > 9) return item_expected(item, what, where);
    value = 0;
    for (char c : item.text) value = value * 10 + (c - '0');
    in.next();
    return true;
  }

  bool item_punct(Items& in, char c, std::string_view where) {
    if (!in.at_punct(c)) return item_expected(in.peek(), std::string("'") + c + "'", where);
    in.next();
    return true;
  }

  // A pattern of 0, 1 and X of `length` characters; spaces inside are allowed.
  bool pattern(Items& in, std::size_t length, std::string_view what, std::string_view where,
               std::string& out) {
    out.clear();
    const int line = in.peek().line;
    while (in.peek().kind == Kind::kNumber || in.peek().kind == Kind::kWord) out += in.next().text;
    if (out.empty()) return item_expected(in.peek(), what, where);
    for (char& c : out) {
      if (c == 'x') c = 'X';
      if (c != '0' && c != '1' && c != 'X')
        return fail(line, std::string(what) + " '" + out + "' in " + std::string(where) +
                              " may hold only 0, 1 and X");
    }
    if (out.size() != length)
      return fail(line, std::string(what) + " '" + out + "' in " + std::string(where) + " has " +
                            std::to_string(out.size()) + " bits; expected " +
                            std::to_string(length));
    return true;
  }

  // "NAME (CODE, CODE), NAME (CODE)"
  bool read_opcodes() {
    std::vector<Item> list;
    if (!split(opcodes_.text, "INSTRUCTION_OPCODE", list)) return false;
    Items in{list};
    const auto length = static_cast<std::size_t>(out_.instruction_length);
    constexpr std::string_view kWhere = "INSTRUCTION_OPCODE";
    for (;;) {
      const Item& item = in.peek();
      if (item.kind != Kind::kWord) return item_expected(item, "an instruction name", kWhere);
      Instruction instruction{upper(item.text), {}, item.line};
      in.next();
      for (const auto& known : out_.instructions)
        if (known.name == instruction.name)
          return fail(item.line, "instruction " + instruction.name +
                                     " is listed twice in INSTRUCTION_OPCODE (first on line " +
                                     std::to_string(known.line) + ")");
      if (!item_punct(in, '(', kWhere)) return false;
      for (;;) {
        std::string code;
        if (!pattern(in, length, "the opcode of " + instruction.name, kWhere, code)) return false;
        instruction.opcodes.push_back(std::move(code));
        if (in.at_punct(')')) break;
        if (!item_punct(in, ',', kWhere)) return false;
      }
      in.next();
      out_.instructions.push_back(std::move(instruction));
      if (in.peek().kind == Kind::kEnd) return extest_stands_alone();
      if (!item_punct(in, ',', kWhere)) return false;
    }
  }

  // EXTEST drives the pins: an opcode it shares with IDCODE or BYPASS (the
  // all-ones one whether listed or not) would make a harmless step drive them.
  bool extest_stands_alone() {
    const Instruction* extest = out_.find_instruction("EXTEST");
    if (extest == nullptr) return true;
    const std::string all_ones(static_cast<std::size_t>(out_.instruction_length), '1');
    for (const std::string& code : extest->opcodes) {
      const std::string* clash = nullptr;
      const Instruction* named = nullptr;
      for (const char* other : {"IDCODE", "BYPASS"}) {
        const Instruction* instruction = out_.find_instruction(other);
        if (instruction == nullptr) continue;
        for (const std::string& their : instruction->opcodes) {
          if (clash == nullptr && their == code) {
            clash = &their;
            named = instruction;
          }
        }
      }
      if (clash != nullptr)
        return fail(extest->line, "EXTEST's opcode " + code + " is also " + named->name +
                                      "'s: the two cannot be told apart");
      if (code == all_ones)
        return fail(extest->line, "EXTEST's opcode " + code +
                                      " is all ones, which IEEE 1149.1 reserves for BYPASS");
    }
    return true;
  }

  bool read_capture() {
    std::vector<Item> list;
    if (!split(capture_.text, "INSTRUCTION_CAPTURE", list)) return false;
    Items in{list};
    std::string value;
    if (!pattern(in, static_cast<std::size_t>(out_.instruction_length), "the capture pattern",
                 "INSTRUCTION_CAPTURE", value))
      return false;
    if (in.peek().kind != Kind::kEnd)
      return item_expected(in.peek(), "the end of the pattern", "INSTRUCTION_CAPTURE");
    // Every 1149.1 TAP captures ...01 in its two low instruction bits: that
    // is how a chain scan tells the devices apart.
    if (value.substr(value.size() - 2) != "01")
      return fail(capture_.line,
                  "INSTRUCTION_CAPTURE '" + value + "' must end in 01 (the two bits nearest TDO)");
    out_.instruction_capture = std::move(value);
    return true;
  }

  bool read_idcodes() {
    std::vector<Item> list;
    if (!split(idcode_.text, "IDCODE_REGISTER", list)) return false;
    Items in{list};
    for (;;) {
      const int line = in.peek().line;
      std::string value;
      if (!pattern(in, 32, "the IDCODE", "IDCODE_REGISTER", value)) return false;
      if (value.back() != '1')
        return fail(line, "the IDCODE '" + value + "' must end in 1 (IEEE 1149.1)");
      out_.idcodes.push_back(std::move(value));
      if (in.peek().kind == Kind::kEnd) return true;
      if (!item_punct(in, ',', "IDCODE_REGISTER")) return false;
    }
  }

  // "NUM (TYPE, PORT, FUNCTION, SAFE[, CCELL, DISVAL, RESULT]), ..."
  bool read_register() {
    std::vector<Item> list;
    if (!split(register_.text, "BOUNDARY_REGISTER", list)) return false;
    Items in{list};
    constexpr std::string_view kWhere = "BOUNDARY_REGISTER";
    const int length = out_.boundary_length;
    std::vector<Cell> cells(static_cast<std::size_t>(length));
    std::vector<bool> seen(static_cast<std::size_t>(length), false);
    std::vector<std::string> ports(static_cast<std::size_t>(length));
    std::vector<std::string> input_ports(static_cast<std::size_t>(length));  // merged inputs
    for (;;) {
      int64_t number = 0;
      const int line = in.peek().line;
      if (!item_number(in, number, "a cell number", kWhere)) return false;
      if (number >= length)
        return fail(line, "cell " + std::to_string(number) + " is outside the register (" +
                              "BOUNDARY_LENGTH is " + std::to_string(length) +
                              ", so cells run from 0 to " + std::to_string(length - 1) + ")");
      const auto index = static_cast<std::size_t>(number);
      Cell cell;
      std::string port_name;
      cell.line = line;
      const std::string where = "cell " + std::to_string(number);
      if (!item_punct(in, '(', where)) return false;
      if (in.peek().kind != Kind::kWord) return item_expected(in.peek(), "the cell type", where);
      cell.type = upper(in.next().text);
      if (!item_punct(in, ',', where)) return false;
      if (in.at_punct('*')) {
        in.next();
      } else if (in.peek().kind == Kind::kWord) {
        port_name = in.next().text;
        if (in.at_punct('(')) {
          in.next();
          int64_t element = 0;
          if (!item_number(in, element, "an index", where)) return false;
          if (!item_punct(in, ')', where)) return false;
          port_name += "(" + std::to_string(element) + ")";
        }
      } else {
        return item_expected(in.peek(), "a port name or *", where);
      }
      if (!item_punct(in, ',', where)) return false;
      if (in.peek().kind != Kind::kWord)
        return item_expected(in.peek(), "the cell's function", where);
      const Item& function = in.next();
      bool found = false;
      for (const auto& f : kFunctions) {
        if (same_name(f.name, function.text)) {
          cell.function = f.function;
          found = true;
        }
      }
      if (!found)
        return fail(function.line,
                    where + ": unknown function '" + function.text +
                        "' (expected input, output2, output3, control, controlr, internal, "
                        "bidir, clock or observe_only)");
      if (!item_punct(in, ',', where)) return false;
      if (!safe_value(in, cell.safe, "the safe value (0, 1 or X)", where)) return false;
      if (in.at_punct(',')) {
        in.next();
        int64_t control = 0;
        const int control_line = in.peek().line;
        if (!item_number(in, control, "the control cell's number", where)) return false;
        if (control >= length)
          return fail(control_line, where + ": control cell " + std::to_string(control) +
                                        " is outside the register");
        cell.control = static_cast<int>(control);
        if (!item_punct(in, ',', where)) return false;
        char disable = 0;
        if (!safe_value(in, disable, "the disable value (0 or 1)", where)) return false;
        if (disable == 'X')
          return fail(control_line, where + ": the disable value must be 0 or 1, not X");
        cell.disable = disable;
        if (!item_punct(in, ',', where)) return false;
        if (in.peek().kind != Kind::kWord)
          return item_expected(in.peek(), "the disabled state (Z, WEAK0, WEAK1, ...)", where);
        const Item& result = in.next();
        cell.result = upper(result.text);
        bool known = false;
        for (std::string_view r : kResults) known = known || r == cell.result;
        if (!known)
          return fail(result.line, where + ": unknown disabled state '" + result.text +
                                       "' (expected Z, WEAK0, WEAK1, PULL0, PULL1 or KEEPER)");
      }
      if (!item_punct(in, ')', where)) return false;
      if (!seen[index]) {
        seen[index] = true;
        cells[index] = std::move(cell);
        ports[index] = std::move(port_name);
      } else if (!merge(cells[index], ports[index], input_ports[index], std::move(cell),
                        std::move(port_name), where)) {
        return false;
      }
      if (in.peek().kind == Kind::kEnd) break;
      if (!item_punct(in, ',', "BOUNDARY_REGISTER after " + where)) return false;
    }
    for (int n = 0; n < length; ++n) {
      if (!seen[static_cast<std::size_t>(n)])
        return fail(register_.line, "cell " + std::to_string(n) +
                                        " is missing from BOUNDARY_REGISTER (BOUNDARY_LENGTH is " +
                                        std::to_string(length) + ")");
    }
    // Ports and control cells, now that every cell is known.
    for (std::size_t n = 0; n < cells.size(); ++n) {
      Cell& cell = cells[n];
      const std::string where = "cell " + std::to_string(n);
      const std::string fname(function_name(cell.function));
      if (!ports[n].empty()) {
        const auto it = port_index_.find(upper(ports[n]));
        if (it == port_index_.end())
          return fail(cell.line, where + ": " + ports[n] + " is not a port of " + out_.entity);
        cell.port = static_cast<int>(it->second);
      } else if (senses(cell.function) || drives(cell.function)) {
        return fail(cell.line, where + ": an " + upper(fname) + " cell needs a port, not *");
      }
      if (!input_ports[n].empty()) {
        const auto it = port_index_.find(upper(input_ports[n]));
        if (it == port_index_.end())
          return fail(cell.line,
                      where + ": " + input_ports[n] + " is not a port of " + out_.entity);
        cell.input_port = static_cast<int>(it->second);
      }
      const bool three_state =
          cell.function == CellFunction::kOutput3 || cell.function == CellFunction::kBidir;
      if (three_state && cell.control < 0)
        return fail(cell.line, where + ": an " + upper(fname) +
                                   " cell needs its control cell, disable value and disabled "
                                   "state");
      // An OUTPUT2 cell that names itself as its control cell is an
      // open-drain pin (NXP's LPC18xx files): it drives one level and lets go
      // at the other.
      const bool open_drain =
          cell.function == CellFunction::kOutput2 && cell.control == static_cast<int>(n);
      if (cell.control >= 0 && !open_drain) {
        const Cell& control = cells[static_cast<std::size_t>(cell.control)];
        if (control.function != CellFunction::kControl &&
            control.function != CellFunction::kControlR)
          return fail(cell.line, where + ": its control cell " + std::to_string(cell.control) +
                                     " is an " + upper(function_name(control.function)) +
                                     " cell, not a control cell");
      }
    }
    out_.cells = std::move(cells);
    return true;
  }

  // IEEE 1149.1 lets one cell serve two functions when they never need the
  // bit at the same time: an input captures its pin, while a control or
  // output cell drives from its update latch. Such a merged cell is listed
  // twice with the same number and type. The control or output entry is kept
  // as the cell; the input's port becomes its `input_port`. Any other pair
  // would need the bit for two captures or two driven values at once.
  bool merge(Cell& kept, std::string& kept_port, std::string& input_port, Cell added,
             std::string added_port, const std::string& where) {
    const auto listed = [&](const std::string& why) {
      return fail(added.line, where + " is listed twice (first on line " +
                                  std::to_string(kept.line) + ")" + why);
    };
    if (!input_port.empty()) return listed(" and is listed a third time");
    const auto updates = [](CellFunction f) {
      return f == CellFunction::kControl || f == CellFunction::kControlR ||
             f == CellFunction::kOutput2 || f == CellFunction::kOutput3;
    };
    const bool kept_input = kept.function == CellFunction::kInput;
    const bool added_input = added.function == CellFunction::kInput;
    if (!(kept_input && updates(added.function)) && !(added_input && updates(kept.function)))
      return listed(" as " + upper(function_name(kept.function)) + " and as " +
                    upper(function_name(added.function)) +
                    ": only an INPUT cell may share its bit, with a CONTROL, CONTROLR, "
                    "OUTPUT2 or OUTPUT3 cell");
    if (kept.type != added.type)
      return listed(" as a " + kept.type + " cell and as a " + added.type +
                    " cell: a merged cell is one cell of one type");
    if (kept_input) {
      if (kept_port.empty()) return fail(kept.line, where + ": an INPUT cell needs a port, not *");
      input_port = std::move(kept_port);
      kept_port = std::move(added_port);
      kept = std::move(added);
    } else {
      if (added_port.empty())
        return fail(added.line, where + ": an INPUT cell needs a port, not *");
      input_port = std::move(added_port);
    }
    return true;
  }

  bool safe_value(Items& in, char& out, std::string_view what, std::string_view where) {
    const Item& item = in.peek();
    if (item.text == "0" || item.text == "1") {
      out = item.text[0];
    } else if (item.kind == Kind::kWord && (item.text == "X" || item.text == "x")) {
      out = 'X';
    } else {
      return item_expected(item, what, where);
    }
    in.next();
    return true;
  }

  // "PORT : PIN, PORT : (PIN, PIN, ...), ..."
  bool read_pin_map(const Text& text, const std::string& constant_name) {
    std::vector<Item> list;
    const std::string where = "the pin map " + constant_name;
    if (!split(text, where, list)) return false;
    Items in{list};
    for (;;) {
      if (in.peek().kind != Kind::kWord) return item_expected(in.peek(), "a port name", where);
      PinMapEntry entry{in.next().text, {}};
      if (!item_punct(in, ':', where)) return false;
      const bool many = in.at_punct('(');
      if (many) in.next();
      for (;;) {
        const Item& pin = in.peek();
        if (pin.kind != Kind::kWord && pin.kind != Kind::kNumber)
          return item_expected(pin, "a pin name", where);
        entry.pins.push_back(in.next().text);
        if (!many || in.at_punct(')')) break;
        if (!item_punct(in, ',', where)) return false;
      }
      if (many) in.next();
      out_.pin_map.push_back(std::move(entry));
      if (in.peek().kind == Kind::kEnd) return true;
      if (!item_punct(in, ',', where)) return false;
    }
  }

  bool missing(std::string_view attribute_name) {
    return fail(end_line_, "the entity has no " + std::string(attribute_name) + " attribute");
  }

  // A register length the entity must give, from `lowest` to `highest`.
  // `article_name` is the attribute's name with its article, as the message
  // says it ("a BOUNDARY_LENGTH").
  bool length(const Known& attribute, std::string_view article_name, int lowest, int highest,
              int& into) {
    const std::string_view name = article_name.substr(article_name.find(' ') + 1);
    if (!attribute.given) return missing(name);
    if (attribute.number < lowest || attribute.number > highest)
      return fail(attribute.line, "expected " + std::string(article_name) + " from " +
                                      std::to_string(lowest) + " to " + std::to_string(highest) +
                                      ", found " + std::to_string(attribute.number));
    into = static_cast<int>(attribute.number);
    return true;
  }

  bool finish() {
    if (!length(instruction_length_, "an INSTRUCTION_LENGTH", 2, kMaxInstructionLength,
                out_.instruction_length))
      return false;
    if (!opcodes_.given) return missing("INSTRUCTION_OPCODE");
    if (!read_opcodes()) return false;
    if (capture_.given && !read_capture()) return false;
    if (idcode_.given && !read_idcodes()) return false;
    if (!length(boundary_length_, "a BOUNDARY_LENGTH", 1, kMaxBoundaryLength, out_.boundary_length))
      return false;
    if (!register_.given) return missing("BOUNDARY_REGISTER");
    if (!read_register()) return false;
    for (const auto& [constant_name, text] : pin_maps_)
      if (same_name(constant_name, out_.physical_pin_map) && !read_pin_map(text, constant_name))
        return false;
    return true;
  }

  std::string_view text_;
  std::string_view file_;
  Bsdl& out_;
  Error& error_;
  std::vector<Token> tokens_;
  std::size_t pos_ = 0;
  int end_line_ = 0;
  std::unordered_map<std::string, std::size_t> port_index_;
  Known instruction_length_;
  Known boundary_length_;
  Known opcodes_;
  Known capture_;
  Known idcode_;
  Known register_;
  std::vector<std::pair<std::string, Text>> pin_maps_;
};

}  // namespace

namespace {

// Vendors put title lines (a company name, a date, bytes outside ASCII)
// above `entity` without comment marks. Such lines are blanked, keeping the
// line numbers, and named in `skipped` ("lines 1-3", "line 2"); blank lines
// and comments stay as they are. A text without an `entity` line is left
// alone, for the reader to refuse.
std::string blank_preamble(std::string_view text, std::string& skipped) {
  std::string out(text);
  int first = 0;
  int last = 0;
  int count = 0;
  std::size_t at = 0;
  for (int line = 1; at < out.size(); ++line) {
    std::size_t end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    std::size_t start = at;
    while (start < end && (out[start] == ' ' || out[start] == '\t' || out[start] == '\r')) ++start;
    const std::string_view rest(out.data() + start, end - start);
    const bool entity_line =
        rest.size() >= 6 && same_name(rest.substr(0, 6), "entity") &&
        (rest.size() == 6 || rest[6] == ' ' || rest[6] == '\t' || rest[6] == '\r');
    if (entity_line) {
      if (count > 0) {
        skipped = first == last ? "line " + std::to_string(first)
                                : "lines " + std::to_string(first) + "-" + std::to_string(last);
      }
      return out;
    }
    if (!rest.empty() && rest.substr(0, 2) != "--") {
      for (std::size_t i = at; i < end; ++i) out[i] = ' ';
      if (count == 0) first = line;
      last = line;
      ++count;
    }
    at = end + 1;
  }
  skipped.clear();
  return std::string(text);
}

}  // namespace

bool standard_cell_type(std::string_view type) {
  static constexpr std::string_view kTypes[] = {
      "BC_0", "BC_1", "BC_2",  "BC_3", "BC_4", "BC_5", "BC_6",    "BC_7",
      "BC_8", "BC_9", "BC_10", "AC_1", "AC_2", "AC_7", "AC_SELU", "AC_SELX"};
  for (std::string_view known : kTypes)
    if (same_name(type, known)) return true;
  return false;
}

bool read_bsdl(std::string_view text, std::string_view file_name, Bsdl& result, Error& error) {
  Bsdl parsed;
  std::string skipped;
  const std::string cleaned = blank_preamble(text, skipped);
  Reader reader(cleaned, file_name, parsed, error);
  if (!reader.run()) return false;
  parsed.skipped_lines = std::move(skipped);
  result = std::move(parsed);
  return true;
}

}  // namespace jtagnand::bsdl
