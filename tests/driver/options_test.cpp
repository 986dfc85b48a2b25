#include "driver/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "numbers/parse_unsigned.h"
#include "scripted_console.h"

namespace jtagnand {
namespace {

using testing::ScriptedConsole;

struct Scan {
  int code;
  std::string value;  // "<none>" for a null value
};

std::vector<Scan> scan_all(std::vector<const char*> args,
                           const char* option_string = kOptionString) {
  args.insert(args.begin(), "jtagnand");
  OptionScanner scanner;
  std::vector<Scan> result;
  for (;;) {
    const char* value = nullptr;
    const int code =
        next_option(scanner, static_cast<int>(args.size()), args.data(), option_string, value);
    result.push_back({code, value == nullptr ? "<none>" : value});
    if (code == 0 || code == -1) return result;
  }
}

void expect_scan(std::vector<const char*> args, std::vector<Scan> expected) {
  const std::vector<Scan> got = scan_all(args);
  ASSERT_EQ(got.size(), expected.size()) << "for first argument " << (args.empty() ? "" : args[0]);
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].code, expected[i].code) << "step " << i;
    EXPECT_EQ(got[i].value, expected[i].value) << "step " << i;
  }
}

TEST(NextOption, ValuesAttachedSeparateAndWithSlash) {
  expect_scan({"-CRQ7220"}, {{'C', "RQ7220"}, {0, "<none>"}});
  expect_scan({"-C", "RQ7220"}, {{'C', "RQ7220"}, {0, "<none>"}});
  expect_scan({"/C", "RQ7220"}, {{'C', "RQ7220"}, {0, "<none>"}});
  expect_scan({"-f/data/image.bin"}, {{'f', "/data/image.bin"}, {0, "<none>"}});
}

TEST(NextOption, ASeparateValueThatLooksLikeAnOptionIsNotTaken) {
  expect_scan({"-f", "/data/image.bin"}, {{'f', "<none>"}, {-1, "/data/image.bin"}});
  expect_scan({"-o", "-4"}, {{'o', "<none>"}, {-1, "-4"}});
  expect_scan({"-o-4"}, {{'o', "-4"}, {0, "<none>"}});
  expect_scan({"-C"}, {{'C', "<none>"}, {0, "<none>"}});
}

TEST(NextOption, FlagsIgnoreTheRestOfTheirWordAndTTakesAValue) {
  expect_scan({"-jx", "-j"}, {{'j', "<none>"}, {'j', "<none>"}, {0, "<none>"}});
  expect_scan({"-t", "image.bin", "-j"}, {{'t', "image.bin"}, {'j', "<none>"}, {0, "<none>"}});
}

TEST(NextOption, WordsAndUnknownLetters) {
  expect_scan({"image.bin", "-j"}, {{1, "image.bin"}, {'j', "<none>"}, {0, "<none>"}});
  expect_scan({"-c", "RQ7220"}, {{-1, "-c"}});
  expect_scan({"-"}, {{-1, "-"}});
  expect_scan({"/"}, {{-1, "/"}});
  expect_scan({"--"}, {{-1, "--"}});
  expect_scan({"- j"}, {{-1, "- j"}});
  expect_scan({"-\x7F"}, {{-1, "-\x7F"}});
  // ':' is found in the option string as a plain character.
  expect_scan({"-:", "-j"}, {{':', "<none>"}, {'j', "<none>"}, {0, "<none>"}});
}

TEST(ParseNumber, AcceptsDecimalAndHex) {
  const struct {
    const char* text;
    uint32_t value;
  } good[] = {
      {"16384", 16384},
      {"0x4000", 0x4000},
      {"0X4000", 0x4000},
      {" 16", 16},
      {"010", 10},
      {"", 0},
      {"   ", 0},
      {"0xffffffff", 0xFFFFFFFF},
      {"4294967295", 4294967295u},
      {"0xAbC", 0xABC},
      {"0", 0},
  };
  for (const auto& c : good) {
    uint32_t value = 12345;
    EXPECT_TRUE(parse_number(c.text, value)) << "'" << c.text << "'";
    EXPECT_EQ(value, c.value) << "'" << c.text << "'";
  }
}

TEST(ParseNumber, RefusesAndLeavesTheNumberAlone) {
  for (const char* text : {"4000h", "0x", "16 ", "1A", "-4", "+4", "0x 1", "0x1g", "4294967296",
                           "0x100000000", "99999999999999999999", "x10", "1 6"}) {
    uint32_t value = 777;
    EXPECT_FALSE(parse_number(text, value)) << "'" << text << "'";
    EXPECT_EQ(value, 777u) << "'" << text << "'";
  }
}

TEST(ParseUnsigned, TheCablesAndTheSimulatorReadTheirNumbersThisWay) {
  const struct {
    const char* text;
    uint64_t max;
    NumberBase base;
    bool good;
    uint64_t value;
  } cases[] = {
      {"0403", 0xFFFF, NumberBase::kHex, true, 0x403},
      {"0x6010", 0xFFFF, NumberBase::kHex, true, 0x6010},
      {"10000", 0xFFFF, NumberBase::kHex, false, 0},
      {"0x", 0xFFFF, NumberBase::kHex, false, 0},
      {"0x378", 0xFFFF, NumberBase::kDecimalOrHex, true, 0x378},
      {"1000000", 1'000'000, NumberBase::kDecimalOrHex, true, 1'000'000},
      {"1000001", 1'000'000, NumberBase::kDecimalOrHex, false, 0},
      {"18446744073709551615", UINT64_MAX, NumberBase::kDecimalOrHex, true, UINT64_MAX},
      {"18446744073709551616", UINT64_MAX, NumberBase::kDecimalOrHex, false, 0},
      {"", 0xFF, NumberBase::kDecimalOrHex, false, 0},
      {" 1", 0xFF, NumberBase::kDecimalOrHex, false, 0},
      {"-1", 0xFF, NumberBase::kDecimalOrHex, false, 0},
      {"+1", 0xFF, NumberBase::kDecimalOrHex, false, 0},
      {"1a", 0xFF, NumberBase::kDecimalOrHex, false, 0},
  };
  for (const auto& c : cases) {
    uint64_t value = 99;
    EXPECT_EQ(parse_unsigned(c.text, c.max, value, c.base), c.good) << "'" << c.text << "'";
    EXPECT_EQ(value, c.good ? c.value : 99) << "'" << c.text << "'";
  }
}

enum class OptionLoopEnd { kScanned, kStopped };

struct LoopResult {
  OptionLoopEnd end;
  RunOptions options;
  std::string output;
  CommandLine line;
};

LoopResult read_all(std::vector<const char*> args) {
  args.insert(args.begin(), "jtagnand");
  LoopResult result{};
  result.line = read_command_line(static_cast<int>(args.size()), args.data());
  result.options = result.line.options;
  result.end = result.line.error ? OptionLoopEnd::kStopped : OptionLoopEnd::kScanned;
  ScriptedConsole console;
  if (result.line.error) print_option_error(*result.line.error, console);
  result.output = console.output();
  return result;
}

std::string usage() {
  ScriptedConsole console;
  print_usage(console);
  return console.output();
}

TEST(OptionLoop, FillsRunOptions) {
  const LoopResult r = read_all(
      {"-C", "ZELT", "-fimg.bin", "-o", "0x4000", "-b", "3", "-e", "all", "-j", "-t", "x"});
  EXPECT_EQ(r.end, OptionLoopEnd::kScanned);
  EXPECT_STREQ(r.options.cpu_name, "ZELT");
  EXPECT_STREQ(r.options.image_path, "img.bin");
  EXPECT_EQ(r.options.write_offset, 0x4000u);
  EXPECT_EQ(r.options.block_count, 3u);
  EXPECT_TRUE(r.options.erase_all);
  EXPECT_TRUE(r.options.idcode_only);
  EXPECT_EQ(r.options.toggle_type, 2);
  EXPECT_EQ(r.output, "");
}

TEST(OptionLoop, TheLaterOptions) {
  const LoopResult r = read_all({"-m", "-r", "dump.bin", "/l0x4000", "-v", "-k"});
  EXPECT_EQ(r.end, OptionLoopEnd::kScanned);
  EXPECT_TRUE(r.options.honour_markers);
  EXPECT_STREQ(r.options.dump_path, "dump.bin");
  EXPECT_TRUE(r.options.length_given);
  EXPECT_EQ(r.options.length, 0x4000u);
  EXPECT_TRUE(r.options.verify_only);
  EXPECT_TRUE(r.options.skip_erased_pages);
  EXPECT_EQ(r.output, "");
  // Without them nothing is set.
  const LoopResult old = read_all({"-C", "ZELT", "-fimg.bin"});
  EXPECT_FALSE(old.options.honour_markers || old.options.length_given || old.options.verify_only ||
               old.options.skip_erased_pages || old.line.help);
  EXPECT_EQ(old.options.dump_path, nullptr);

  EXPECT_EQ(read_all({"-r"}).output, "Invalid Option\n" + usage());
  EXPECT_EQ(read_all({"-l", "-4"}).output, "Invalid Option\n" + usage());
  EXPECT_EQ(read_all({"-l", "4000h"}).output, "** Error: invalid number '4000h'\n");
}

TEST(OptionLoop, BoardDescription) {
  EXPECT_STREQ(read_all({"-T", "boards/my.board", "-j"}).options.board_path, "boards/my.board");
  EXPECT_STREQ(read_all({"/T/abs/my.board"}).options.board_path, "/abs/my.board");
  EXPECT_EQ(read_all({"-C", "ZELT"}).options.board_path, nullptr);
  // An absolute path as a word of its own would start another option.
  const LoopResult separate = read_all({"-T", "/abs/my.board"});
  EXPECT_EQ(separate.end, OptionLoopEnd::kStopped);
  EXPECT_EQ(separate.output, "Invalid Option\n" + usage());
}

TEST(OptionLoop, HelpIsFoundWhereverItStandsBeforeAnUnknownOption) {
  const auto asked = [](std::vector<const char*> args) { return read_all(args).line.help; };
  EXPECT_TRUE(asked({"-h"}));
  EXPECT_TRUE(asked({"-C", "ZELT", "-f", "/h"}));  // -f takes no value starting with '/'
  EXPECT_FALSE(asked({"-C", "-x", "-h"}));
  EXPECT_FALSE(asked({"-C", "ZELT"}));
  EXPECT_TRUE(asked({"-r", "-h.bin"}));       // nor one starting with '-': this is -h
  EXPECT_TRUE(asked({"-o", "4000h", "-h"}));  // an option error does not hide it
}

TEST(OptionLoop, TheCpuAndTheBoardAreKnownBeforeThePortEvenPastAnError) {
  const LoopResult r = read_all({"-C", "ZELT", "-o", "4000h", "-CABCDEFGHIJKLMNOP", "-T",
                                 "my.board", "-C", "-x", "-C", "KELDA"});
  EXPECT_EQ(r.output, "** Error: invalid number '4000h'\n");
  EXPECT_EQ(r.line.cpu, "ABCDEFGHIJKLMNOP");  // -C without a value changes nothing
  EXPECT_STREQ(r.line.board_path, "my.board");
  EXPECT_STREQ(r.line.unknown_option, "-x");
  EXPECT_STREQ(r.options.cpu_name, "ZELT");  // nothing is taken after the error
}

TEST(OptionLoop, RepeatedOptionKeepsTheLastValue) {
  const LoopResult r = read_all({"-C", "RQ7220", "-C", "KELDA"});
  EXPECT_STREQ(r.options.cpu_name, "KELDA");
}

TEST(OptionLoop, StopsAtAnUnknownOptionAndSkipsWords) {
  const LoopResult r = read_all({"-C", "RQ7220", "image.bin", "-x", "-j"});
  EXPECT_EQ(r.end, OptionLoopEnd::kScanned);
  EXPECT_STREQ(r.options.cpu_name, "RQ7220");
  EXPECT_EQ(r.options.image_path, nullptr);
  EXPECT_FALSE(r.options.idcode_only);
  EXPECT_STREQ(r.line.unknown_option, "-x");
}

TEST(OptionLoop, ErrorsStopWithTheirMessages) {
  const struct {
    std::vector<const char*> args;
    std::string output;
  } cases[] = {
      {{"-C"}, "Invalid Option\n" + usage()},
      {{"-f", "/data/image.bin"}, "Invalid Option\n" + usage()},
      {{"-o", "-4"}, "Invalid Option\n" + usage()},
      {{"-e"}, "Invalid Option\n" + usage()},
      {{"-b"}, "Invalid Option\n" + usage()},
      {{"-o-4"}, "** Error: invalid number '-4'\n"},
      {{"-o", "4000h"}, "** Error: invalid number '4000h'\n"},
      {{"-b", "1A"}, "** Error: invalid number '1A'\n"},
      {{"-b", "0x100000000"}, "** Error: invalid number '0x100000000'\n"},
      {{"-e", "ALL"}, usage()},
      {{"-C", "ABCDEFGHIJKLMNOP"},
       "** Error: CPU name 'ABCDEFGHIJKLMNOP' is longer than 15 characters\n"},
  };
  for (const auto& c : cases) {
    const LoopResult r = read_all(c.args);
    EXPECT_EQ(r.end, OptionLoopEnd::kStopped) << c.args[0];
    EXPECT_EQ(r.output, c.output) << c.args[0];
  }
}

TEST(OptionLoop, AFifteenCharacterCpuNameFits) {
  const LoopResult r = read_all({"-CABCDEFGHIJKLMNO"});
  EXPECT_EQ(r.end, OptionLoopEnd::kScanned);
  EXPECT_STREQ(r.options.cpu_name, "ABCDEFGHIJKLMNO");
}

TEST(PrintUsage, ListsTheOptions) {
  EXPECT_EQ(usage(),
            "\nJTAG NAND Flash Writer, VER 1.04\nOPTIONS:\n"
            " -C[CPU NAME] : RQ7220, ZELT, KELDA, ... \n"
            " -f[filename] : binary file name\n"
            " -o[offset] or -b[number of blocks]  : writing address of flash\n"
            " -t           : Output to all pin with toggled level, without nCS pins\n\n");
}

}  // namespace
}  // namespace jtagnand
