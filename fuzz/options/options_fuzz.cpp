// Fuzz target: the option scanner, the command line reader and parse_number, over an
// argument vector made from the input (its words separated by NUL bytes).

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "../fuzz_check.h"
#include "driver/modes.h"
#include "driver/options.h"
#include "platform/console.h"

namespace {

using jtagnand::Console;

// Output goes nowhere; no key ever comes.
class SilentConsole final : public Console {
 public:
  void write(std::string_view /*text*/) override {}
  [[nodiscard]] bool key_waiting() override { return false; }
  [[nodiscard]] int read_key() override { return -1; }
  [[nodiscard]] bool input_ended() override { return true; }
};

bool points_into(const char* value, const std::vector<std::string>& words) {
  return std::any_of(words.begin(), words.end(), [&](const std::string& word) {
    return value >= word.c_str() && value <= word.c_str() + word.size();
  });
}

bool is_digit_of(char c, int base) {
  if (c >= '0' && c <= '9') return true;
  return base == 16 && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'));
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// parse_number's contract stated another way: after the blanks and an optional
// 0x, the text is digits of the base whose value has at most 32 bits (at most
// "4294967295" or "ffffffff" once leading zeros are dropped); then the number
// printed back in that base is those digits. Otherwise it fails and stores
// nothing.
void check_parse_number(const std::string& text) {
  constexpr uint32_t kUntouched = 0xDEADBEEF;
  uint32_t number = kUntouched;
  const bool parsed = jtagnand::parse_number(text.c_str(), number);

  std::string_view rest(text);
  while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  int base = 10;
  if (rest.size() >= 2 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X')) {
    base = 16;
    rest.remove_prefix(2);
    if (rest.empty()) {  // "0x" alone
      FUZZ_CHECK(!parsed && number == kUntouched);
      return;
    }
  }
  const bool digits =
      std::all_of(rest.begin(), rest.end(), [&](char c) { return is_digit_of(c, base); });
  std::string significant = lower(rest);
  significant.erase(0, std::min(significant.find_first_not_of('0'), significant.size()));
  const std::string_view largest = base == 10 ? "4294967295" : "ffffffff";
  const bool fits = significant.size() < largest.size() ||
                    (significant.size() == largest.size() && significant <= largest);
  FUZZ_CHECK(parsed == (digits && fits));
  if (!parsed) {
    FUZZ_CHECK(number == kUntouched);
    return;
  }
  char printed[16];
  const auto [end, error] = std::to_chars(printed, printed + sizeof printed, number, base);
  FUZZ_CHECK(error == std::errc());
  FUZZ_CHECK(std::string_view(printed, static_cast<size_t>(end - printed)) ==
             (significant.empty() ? std::string("0") : significant));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> words{"jtagnand"};
  words.emplace_back();
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      words.emplace_back();
    } else {
      words.back().push_back(static_cast<char>(data[i]));
    }
  }
  if (size == 0) words.pop_back();
  std::vector<const char*> argv;
  for (const std::string& word : words) argv.push_back(word.c_str());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(words.size());

  // The scanner alone: every call moves on, every value is a piece of an
  // argument, and it ends by the end of the arguments.
  jtagnand::OptionScanner scanner;
  for (int calls = 0;; ++calls) {
    FUZZ_CHECK(calls <= argc);
    const char* value = nullptr;
    const int at = scanner.next_index;
    const int code =
        jtagnand::next_option(scanner, argc, argv.data(), jtagnand::kOptionString, value);
    FUZZ_CHECK(scanner.next_index > at);
    FUZZ_CHECK(value == nullptr || points_into(value, words));
    if (code == 0 || code == -1) break;
    FUZZ_CHECK(code == 1 || std::strchr(jtagnand::kOptionString, code) != nullptr);
  }

  // The command line read whole: the CPU name stays within its room.
  const jtagnand::CommandLine line = jtagnand::read_command_line(argc, argv.data());
  const jtagnand::RunOptions& options = line.options;
  SilentConsole console;
  if (line.error) jtagnand::print_option_error(*line.error, console);
  FUZZ_CHECK(std::memchr(options.cpu_name, '\0', sizeof options.cpu_name) != nullptr);
  FUZZ_CHECK(options.image_path == nullptr || points_into(options.image_path, words));
  FUZZ_CHECK(options.dump_path == nullptr || points_into(options.dump_path, words));
  FUZZ_CHECK(options.board_path == nullptr || points_into(options.board_path, words));
  FUZZ_CHECK(options.length_given || options.length == 0);
  FUZZ_CHECK(line.board_path == nullptr || points_into(line.board_path, words));
  FUZZ_CHECK(line.unknown_option == nullptr || points_into(line.unknown_option, words));
  // The later options' checks read what the loop stored, whatever it is.
  static_cast<void>(jtagnand::options_combine(options, console));

  for (const std::string& word : words) check_parse_number(word);
  return 0;
}
