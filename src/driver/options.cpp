#include "driver/options.h"

#include <cstring>

#include "numbers/parse_unsigned.h"

namespace jtagnand {

namespace {

bool starts_like_option(const char* word) {
  return word[0] == '-' || word[0] == '/';
}

// The option letter counts when it is a printable character other than the
// blank and appears in the option string (':' included, as a plain character).
const char* find_letter(const char* option_string, char letter) {
  if (letter < 0x21 || letter > 0x7E) return nullptr;
  return std::strchr(option_string, letter);
}

}  // namespace

int next_option(OptionScanner& scanner, int argc, const char* const* argv,
                const char* option_string, const char*& value) {
  value = nullptr;
  if (scanner.next_index >= argc) {
    ++scanner.next_index;
    return 0;
  }
  const char* word = argv[scanner.next_index];
  ++scanner.next_index;
  if (!starts_like_option(word)) {
    value = word;
    return 1;
  }
  const char letter = word[1];
  const char* found = find_letter(option_string, letter);
  if (found == nullptr) {
    value = word;
    return -1;
  }
  if (found[1] == ':') {
    if (word[2] != '\0') {
      value = word + 2;
    } else if (scanner.next_index < argc && !starts_like_option(argv[scanner.next_index])) {
      value = argv[scanner.next_index];
      ++scanner.next_index;
    }
  }
  return static_cast<unsigned char>(letter);
}

bool parse_number(const char* text, uint32_t& number) {
  while (*text == ' ') ++text;
  if (*text == '\0') {
    number = 0;
    return true;
  }
  uint64_t value = 0;
  if (!parse_unsigned(text, UINT32_MAX, value)) return false;
  number = static_cast<uint32_t>(value);
  return true;
}

void print_usage(Console& console) {
  console.write(
      "\n"
      "JTAG NAND Flash Writer, VER " JTAGNAND_VERSION
      "\n"
      "OPTIONS:\n"
      " -C[CPU NAME] : RQ7220, ZELT, KELDA, ... \n"
      " -f[filename] : binary file name\n"
      " -o[offset] or -b[number of blocks]  : writing address of flash\n"
      " -t           : Output to all pin with toggled level, without nCS pins\n"
      "\n");
}

void print_help(Console& console) {
  print_usage(console);
  console.write(
      " -e all       : erase the whole chip (after a Y/N question), then write the\n"
      "                image of -f if one is given\n"
      " -j           : check the CPU's JTAG IDCODE only\n"
      " -m           : honour factory bad-block marks: a marked block is never erased\n"
      "                or programmed, and is stepped over; with nothing to write and\n"
      "                no -e, list the marked blocks (of -o/-b and -l, or the chip)\n"
      " -r[filename] : read the flash into a file, from -o/-b on, -l bytes (default:\n"
      "                to the chip's end); with -m, marked blocks are stepped over\n"
      " -l[length]   : bytes to read with -r, or to check with -m alone\n"
      " -v           : verify only: compare the flash with the image of -f at -o/-b,\n"
      "                erase and write nothing\n"
      " -k           : do not program the pages of the image that are all 0xFF (the\n"
      "                erase left them so); they are still verified\n"
      " -T[filename] : a board description (a BSDL file and the NAND's pins) in\n"
      "                place of -C, for a CPU that is not built in\n"
      " -h           : this help\n"
      "\n"
      "Options start with - or /; a value may be attached (-fimage.bin) or follow as\n"
      "the next argument. Numbers are decimal, or hexadecimal with 0x.\n"
      "-r goes with neither -f, -e, -v nor -k; -v needs -f and goes with neither -e\n"
      "nor -k; -k needs -f; -l goes with -r or with -m alone.\n"
      "\n"
      "JTAGNAND_PORT chooses the cable:\n"
      "  auto (default)          ppdev when a /dev/parport* exists, else direct\n"
      "  direct                  parallel port at 0x378, 0x278 or 0x3BC, direct I/O\n"
      "  ppdev, ppdev:DEVICE     parallel port through Linux's ppdev driver\n"
      "  rbb:HOST:PORT, rbb:PATH a remote_bitbang JTAG server (TCP or Unix socket)\n"
      "  ftdi, ftdi:OPTION,...   an FTDI MPSSE USB adapter\n"
      "  sim, sim:OPTION,...     the simulated board\n"
      "  A parallel-port value with fast (auto:fast, direct:fast, ppdev:fast,\n"
      "  ppdev:DEVICE,fast, sim:fast,...) drives the flash with two scans per bus\n"
      "  cycle: faster, but not the cable's classic traffic. With -T, ftdi runs at\n"
      "  the BSDL file's TAP_SCAN_CLOCK at most; ftdi:tck=HZ,overclock goes above.\n"
      "\n"
      "Exit status:\n"
      "  0  the job was done\n"
      "  1  start-up failed: no port access, no port, no arguments, or JTAGNAND_PORT\n"
      "     not understood\n"
      "  2  the run failed or was abandoned\n"
      "\n");
}

namespace {

// User text goes into a message cut to its first 64 characters, so that a
// huge argument does not make a huge line: "..." says it was cut.
std::string cut(const char* value) {
  const std::string text(value);
  return text.size() > 64 ? text.substr(0, 64) + "..." : text;
}

// One option into `options`; an option the run cannot go on with is returned.
std::optional<OptionError> take_option(int code, const char* value, RunOptions& options) {
  const bool needs_value = code == 'C' || code == 'f' || code == 'o' || code == 'b' ||
                           code == 'e' || code == 'r' || code == 'l' || code == 'T' || code == 'E';
  if (needs_value && value == nullptr) return OptionError{"Invalid Option\n", true};
  // A second image, dump file or length would silently replace the first.
  if ((code == 'f' && options.image_path != nullptr) ||
      (code == 'r' && options.dump_path != nullptr) || (code == 'l' && options.length_given)) {
    return OptionError{std::string("** Error: -") + static_cast<char>(code) +
                           " is given more than once\n",
                       false};
  }
  const auto invalid_number = [&] {
    return OptionError{"** Error: invalid number '" + cut(value) + "'\n", false};
  };
  switch (code) {
    case 'C':
      if (std::strlen(value) > static_cast<size_t>(kCpuNameRoom)) {
        return OptionError{"** Error: CPU name '" + cut(value) + "' is longer than " +
                               std::to_string(kCpuNameRoom) + " characters\n",
                           false};
      }
      std::strcpy(options.cpu_name, value);
      break;
    case 'f':
      options.image_path = value;
      break;
    case 'o':
    case 'b':
      if (!parse_number(value, code == 'o' ? options.write_offset : options.block_count)) {
        return invalid_number();
      }
      break;
    case 'e':
      if (std::strcmp(value, "all") != 0) return OptionError{"", true};
      options.erase_all = true;
      break;
    case 'j':
      options.idcode_only = true;
      break;
    case 't':
      options.toggle_type = 2;
      break;
    case 'm':
      options.honour_markers = true;
      break;
    case 'r':
      options.dump_path = value;
      break;
    case 'l':
      if (!parse_number(value, options.length)) return invalid_number();
      options.length_given = true;
      break;
    case 'v':
      options.verify_only = true;
      break;
    case 'k':
      options.skip_erased_pages = true;
      break;
    case 'T':
      options.board_path = value;
      break;
    case 'O':
      options.with_spare = true;
      break;
    case 'E':
      if (const std::optional<EccScheme> scheme = parse_ecc_scheme(value)) {
        options.ecc = *scheme;
        break;
      }
      return OptionError{
          "** Error: -E takes hamming, bch4 or bch8, not '" + std::string(value) + "'\n", false};
    default:  // -h, a plain word, or ':'
      break;
  }
  return std::nullopt;
}

}  // namespace

CommandLine read_command_line(int argc, const char* const* argv) {
  CommandLine line;
  OptionScanner scanner;
  for (;;) {
    const char* value = nullptr;
    const int code = next_option(scanner, argc, argv, kOptionString, value);
    if (code == -1) line.unknown_option = value;
    if (code == 0 || code == -1) return line;
    if (code == 'h') line.help = true;
    if (code == 'C' && value != nullptr) line.cpu = value;
    if (code == 'T' && value != nullptr) line.board_path = value;
    // The options after an error are not taken: the run stops at it.
    if (!line.error) line.error = take_option(code, value, line.options);
  }
}

void print_option_error(const OptionError& error, Console& console) {
  if (!error.text.empty()) console.write(error.text);
  if (error.usage) print_usage(console);
}

}  // namespace jtagnand
