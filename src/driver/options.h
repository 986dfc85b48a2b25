#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "ecc/ecc.h"
#include "platform/console.h"

namespace jtagnand {

// The first seven are the program's original options; m, r, l, v, k, h, T, O
// and E came later and change nothing where they are not used.
inline constexpr char kOptionString[] = "C:f:o:t:je:b:mr:l:vkhT:OE:";
inline constexpr int kCpuNameRoom = 15;

// The settings read from the command line.
struct RunOptions {
  char cpu_name[kCpuNameRoom + 1]{};
  const char* image_path = nullptr;  // the argument's own text
  uint32_t write_offset = 0;
  uint32_t block_count = 0;
  bool erase_all = false;
  bool idcode_only = false;
  int toggle_type = 0;               // 0: no toggle test
  bool honour_markers = false;       // -m: factory bad-block marks read and respected
  const char* dump_path = nullptr;   // -r: the file the flash is read into
  uint32_t length = 0;               // -l: bytes to read, or to scan for marks
  bool length_given = false;         // -l was given
  bool verify_only = false;          // -v: the image compared, nothing written
  bool skip_erased_pages = false;    // -k: pages of the image that are all 0xFF not programmed
  const char* board_path = nullptr;  // -T: a board description instead of -C
  bool with_spare = false;           // -O: image and dump hold each page's spare bytes after it
  EccScheme ecc = EccScheme::kNone;  // -E: the software ECC written and read through
};

// The option scanner's position: the next argument to look at. Argument 0,
// the program's name, is never scanned.
struct OptionScanner {
  int next_index = 1;
};

// One step of the scan. Returns 0 when no arguments are left; 1 for a word
// that is not an option (value: the word); -1 for a '-' or '/' word whose
// letter is not an option (value: the word); otherwise the option letter, with
// `value` set to its value or null.
[[nodiscard]] int next_option(OptionScanner& scanner, int argc, const char* const* argv,
                              const char* option_string, const char*& value);

// Decimal, or hexadecimal after 0x/0X; leading blanks allowed, nothing after
// the digits, and blanks alone (or nothing) read as 0. Returns false (and
// leaves `number` alone) for anything else, including a number that does not
// fit in 32 bits.
[[nodiscard]] bool parse_number(const char* text, uint32_t& number);

void print_usage(Console& console);

// -h: the usage text as print_usage shows it, then the later options, the
// JTAGNAND_PORT setting and the exit statuses.
void print_help(Console& console);

// An option the run cannot go on with: its text, then the usage text or not.
struct OptionError {
  std::string text;
  bool usage = false;
};

// What the command line asks, read once before anything is opened; the
// driver prints what it finds at the point of the run where it belongs.
struct CommandLine {
  // -h among the options (before an unknown one): the help is shown before
  // any port is opened, whatever else the options hold.
  bool help = false;
  // Needed before the port is opened: the last -C value (the simulated board
  // takes its CPU from it) and the last -T value (a board description is
  // refused before any port is touched). Both are taken from every option
  // before an unknown one, even after an option error.
  std::string cpu;
  const char* board_path = nullptr;
  // The options up to the first error, and that error; printed after the
  // port is set up.
  RunOptions options;
  std::optional<OptionError> error;
  // The word that ended option scanning because it is not an option; the
  // words after it were not read.
  const char* unknown_option = nullptr;
};

[[nodiscard]] CommandLine read_command_line(int argc, const char* const* argv);

// The option error as the run shows it.
void print_option_error(const OptionError& error, Console& console);

}  // namespace jtagnand
