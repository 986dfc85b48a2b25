#pragma once

#include <cstdint>

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
  bool help = false;                 // -h
  const char* board_path = nullptr;  // -T: a board description instead of -C
  bool with_spare = false;           // -O: image and dump hold each page's spare bytes after it
  EccScheme ecc = EccScheme::kNone;  // -E: the software ECC written and read through
  // The word that ended option scanning because it is not an option; the
  // words after it were not read.
  const char* unknown_option = nullptr;
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
// the digits. Returns false (and leaves `number` alone) for anything else,
// including a number that does not fit in 32 bits.
[[nodiscard]] bool parse_number(const char* text, uint32_t& number);

void print_usage(Console& console);

// -h: the usage text as print_usage shows it, then the later options, the
// JTAGNAND_PORT setting and the exit statuses.
void print_help(Console& console);

// True when -h comes among the options (before an unknown one), so that the
// help is shown before any port is opened.
[[nodiscard]] bool help_asked(int argc, const char* const* argv);

enum class OptionLoopEnd {
  kScanned,  // the arguments were read; go on with the CPU name
  kStopped,  // an option error was reported; the run has failed
};

// Reads the options into `options`, printing the error messages itself.
[[nodiscard]] OptionLoopEnd read_options(OptionScanner& scanner, int argc, const char* const* argv,
                                         RunOptions& options, Console& console);

}  // namespace jtagnand
