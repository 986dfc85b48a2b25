// The board description and the pin map derived from it: control cells of
// both polarities, bidir cells, the safe and idle vectors, refusals naming the
// line, and the four data files against the simulator's own board layouts.

#include "bsdl/board.h"

#include <gtest/gtest.h>

#include <string>

#include "sim/board_layouts.h"

namespace jtagnand::bsdl {
namespace {

// D0-D3: BC_7 bidir cells, control disables at 1. D4-D7: output3 + input,
// control disables at 0. nWE and nRE share one control cell. LED and ALWAYS
// are always driven; SH1 and SH2 share a control cell.
constexpr const char* kPins = R"bsdl(entity PINS is
  port (D : inout bit_vector(0 to 7); NCE, CLE, ALE, NWE, NRE : out bit; RB : in bit;
        WP, SH1, SH2, ALWAYS : inout bit; LED : out bit; INONLY : in bit);
  use STD_1149_1_2001.all;
  attribute INSTRUCTION_LENGTH of PINS : entity is 3;
  attribute INSTRUCTION_OPCODE of PINS : entity is
    "EXTEST (000), SAMPLE (010), IDCODE (001), BYPASS (111)";
  attribute IDCODE_REGISTER of PINS : entity is "XXXX0000000100100011000010101011";
  attribute BOUNDARY_LENGTH of PINS : entity is 40;
  attribute BOUNDARY_REGISTER of PINS : entity is
    " 0 (BC_1, *, control, 1),  1 (BC_7, D(0), bidir, X, 0, 1, Z)," &
    " 2 (BC_1, *, control, 1),  3 (BC_7, D(1), bidir, X, 2, 1, Z)," &
    " 4 (BC_1, *, control, 1),  5 (BC_7, D(2), bidir, X, 4, 1, Z)," &
    " 6 (BC_1, *, control, 1),  7 (BC_7, D(3), bidir, X, 6, 1, Z)," &
    " 8 (BC_1, *, control, 0),  9 (BC_1, D(4), output3, X, 8, 0, Z), 10 (BC_4, D(4), input, X)," &
    "11 (BC_1, *, control, 0), 12 (BC_1, D(5), output3, X, 11, 0, Z), 13 (BC_4, D(5), input, X)," &
    "14 (BC_1, *, control, 0), 15 (BC_1, D(6), output3, X, 14, 0, Z), 16 (BC_4, D(6), input, X)," &
    "17 (BC_1, *, control, 0), 18 (BC_1, D(7), output3, X, 17, 0, Z), 19 (BC_4, D(7), input, X)," &
    "20 (BC_1, *, control, 1), 21 (BC_1, NCE, output3, X, 20, 1, Z)," &
    "22 (BC_1, CLE, output2, X), 23 (BC_1, ALE, output2, 1)," &
    "24 (BC_1, *, controlr, 0), 25 (BC_1, NWE, output3, X, 24, 0, Z)," &
    "26 (BC_1, NRE, output3, X, 24, 0, Z), 27 (BC_4, RB, input, X)," &
    "28 (BC_1, *, control, 1), 29 (BC_1, WP, output3, X, 28, 1, Z), 30 (BC_4, WP, input, X)," &
    "31 (BC_1, LED, output2, 1), 32 (BC_1, *, control, 1)," &
    "33 (BC_1, SH1, output3, X, 32, 1, Z), 34 (BC_1, SH2, output3, X, 32, 1, Z)," &
    "35 (BC_4, INONLY, input, X), 36 (BC_1, *, internal, 1)," &
    "37 (BC_1, ALWAYS, output2, X), 38 (BC_4, ALWAYS, input, X), 39 (BC_4, NRE, input, X)";
end PINS;
)bsdl";

constexpr const char* kBoard = R"(# a test board
bsdl = chips/pins.bsd
D0 = D(0)
D1 = D(1)
D2 = D(2)
D3 = D(3)
D4 = D(4)
D5 = D(5)
D6 = D(6)
D7 = D(7)
nCE = NCE
CLE = CLE
ALE = ALE
nWE = NWE
nRE = NRE
RnB = RB
hold WP = 0
)";

// Replaces the line that starts with `key` (1-based line numbers stay).
std::string with_line(std::string text, const std::string& key, const std::string& line) {
  const std::size_t at = text.find("\n" + key) + 1;
  return text.replace(at, text.find('\n', at) - at, line);
}

bool derive(const std::string& bsdl_text, const std::string& board_text, PinMap& map,
            Error& error) {
  Bsdl bsdl;
  BoardDescription board;
  if (!read_bsdl(bsdl_text, "pins.bsd", bsdl, error)) return false;
  if (!read_board_description(board_text, "boards/test.board", board, error)) return false;
  return derive_pin_map(bsdl, board, map, error);
}

TEST(PinMap, ControlCellsOfBothPolaritiesBidirCellsAndTheVectors) {
  PinMap m;
  Error error;
  ASSERT_TRUE(derive(kPins, kBoard, m, error)) << error.text();

  EXPECT_EQ(m.tap.instruction_length, 3);
  EXPECT_EQ(m.tap.extest, 0U);
  EXPECT_EQ(m.tap.preload, 2U);  // no PRELOAD: SAMPLE
  EXPECT_EQ(m.tap.bypass, 7U);
  EXPECT_TRUE(m.tap.has_idcode);
  EXPECT_EQ(m.tap.idcode_instruction, 1U);
  EXPECT_EQ(m.tap.idcode.value, 0x001230ABU);
  EXPECT_EQ(m.tap.idcode.mask, 0x0FFFFFFFU);

  // A BC_7 bidir cell drives and reads; its control disables at 1.
  EXPECT_EQ(m.data[0].output_cell, 1);
  EXPECT_EQ(m.data[0].input_cell, 1);
  EXPECT_EQ(m.data[0].control_cell, 0);
  EXPECT_EQ(m.data[0].enable, 0);
  EXPECT_EQ(m.data[0].disable, 1);
  // Separate output and input cells; the control disables at 0.
  EXPECT_EQ(m.data[7].output_cell, 18);
  EXPECT_EQ(m.data[7].input_cell, 19);
  EXPECT_EQ(m.data[7].control_cell, 17);
  EXPECT_EQ(m.data[7].enable, 1);
  EXPECT_EQ(m.data[7].disable, 0);

  EXPECT_EQ(m.nce.output_cell, 21);
  EXPECT_EQ(m.nce.control_cell, 20);
  EXPECT_EQ(m.nce.enable, 0);
  EXPECT_EQ(m.cle.output_cell, 22);
  EXPECT_EQ(m.cle.control_cell, -1);  // output2: always driven
  EXPECT_EQ(m.nwe.control_cell, 24);
  EXPECT_EQ(m.nre.control_cell, 24);  // shared by two strobes: allowed
  EXPECT_EQ(m.nwe.enable, 1);
  EXPECT_EQ(m.rnb_input_cell, 27);
  ASSERT_EQ(m.hold.size(), 1U);
  EXPECT_EQ(m.hold[0].pin.output_cell, 29);
  EXPECT_EQ(m.hold[0].pin.control_cell, 28);
  EXPECT_EQ(m.hold[0].level, 0);

  // Safe: control cells at their disable values, the rest at the safe value
  // with X as 0. Idle: the strobes driven idle, WP driven low.
  //                    0         1         2         3
  //                    0123456789012345678901234567890123456789
  EXPECT_EQ(m.safe, "1010101000000000000010010000100110001000");
  EXPECT_EQ(m.idle, "1010101000000000000001001110000110001000");
}

struct Refusal {
  const char* what;
  const char* key;   // the board line replaced
  const char* line;  // its new text
  const char* error;
};

const Refusal kRefusals[] = {
    {"a name that is not a port", "D0 ", "D0 = D(9)",
     "boards/test.board:3: D0 = D(9): D(9) is not a port of PINS (chips/pins.bsd)"},
    {"a strobe on an input-only pin", "nWE", "nWE = INONLY",
     "boards/test.board:14: nWE = INONLY: INONLY has no output cell, so the CPU cannot drive it"},
    {"a data line on an output-only pin", "D1 ", "D1 = LED",
     "boards/test.board:4: D1 = LED: LED has no input cell, so the CPU cannot read it"},
    {"a data line that is always driven", "D2 ", "D2 = ALWAYS",
     "boards/test.board:5: D2 = ALWAYS: ALWAYS is always driven (output cell 37 has no control "
     "cell), so the CPU cannot read the flash on it"},
    {"R/nB on a pin the CPU always drives", "RnB", "RnB = ALWAYS",
     "boards/test.board:16: RnB = ALWAYS: ALWAYS is always driven by the CPU and would fight the "
     "flash's R/nB"},
    {"R/nB on a pin without an input cell", "RnB", "RnB = LED",
     "boards/test.board:16: RnB = LED: LED has no input cell, so the CPU cannot read the flash's "
     "R/nB"},
    {"a hold pin without an output cell", "hold", "hold INONLY = 1",
     "boards/test.board:17: hold INONLY = 1: INONLY has no output cell, so the CPU cannot drive "
     "it"},
    {"a strobe sharing its control cell with an unnamed pin", "nCE", "nCE = SH1",
     "boards/test.board:11: nCE = SH1: control cell 32 of SH1 also enables SH2, which the "
     "description does not name"},
    {"a data line sharing its control cell with a strobe", "D7", "D7 = NRE",
     "boards/test.board:14: nWE = NWE: control cell 24 of NWE also switches NRE (line 10)"},
};

TEST(PinMap, RefusalsNameTheLine) {
  for (const Refusal& r : kRefusals) {
    SCOPED_TRACE(r.what);
    std::string board = with_line(kBoard, r.key, r.line);
    if (std::string(r.key) == "D7") board = with_line(board, "nRE", "nRE = D(7)");
    PinMap m;
    Error error;
    EXPECT_FALSE(derive(kPins, board, m, error));
    EXPECT_EQ(error.text(), r.error);
  }
  // A hold pin that shares its control cell with a strobe is driven anyway.
  PinMap m;
  Error error;
  EXPECT_TRUE(derive(
      kPins, with_line(with_line(kBoard, "nCE", "nCE = SH1"), "hold", "hold SH2 = 1"), m, error))
      << error.text();

  std::string no_extest = kPins;
  no_extest.replace(no_extest.find("EXTEST (000), "), 14, "");
  EXPECT_FALSE(derive(no_extest, kBoard, m, error));
  EXPECT_EQ(error.text(),
            "boards/test.board:2: chips/pins.bsd has no EXTEST instruction, which a "
            "boundary-scan NAND programmer needs");
}

// A description without flash pins gives the TAP and the chain, holds its
// hold pins and drives nothing else; one with only some of them is refused.
TEST(PinMap, AChainOnlyDescription) {
  PinMap m;
  Error error;
  ASSERT_TRUE(derive(kPins, "bsdl = chips/pins.bsd\ntdo_side = 4\nhold WP = 1\n", m, error))
      << error.text();
  EXPECT_TRUE(m.chain_only);
  EXPECT_EQ(m.tap.extest, 0u);
  EXPECT_EQ(m.tdo_side, std::vector<int>{4});
  std::string idle = m.safe;
  idle[29] = '1';  // WP's output cell, its control cell 28 enabling at 0
  idle[28] = '0';
  EXPECT_EQ(m.idle, idle);
  EXPECT_EQ(m.nce.output_cell, -1);
  EXPECT_FALSE(derive(kPins, "bsdl = chips/pins.bsd\nD0 = D(0)\n", m, error));
  EXPECT_EQ(error.text(),
            "boards/test.board: missing 'D1 = PIN' (D0 to D7, nCE, CLE, ALE, nWE, nRE and RnB "
            "are all required)");
}

// An open-drain pin (its output cell its own control cell) drives one level:
// refused for a flash line, taken for a hold pin at either level. A vendor's
// title lines and own cell types on the named pins become notes.
TEST(PinMap, OpenDrainPinsAndVendorNotes) {
  std::string pins = kPins;
  pins.replace(pins.find("31 (BC_1, LED, output2, 1)"), 26,
               "31 (BC_1, LED, output2, 1, 31, 1, PULL1)");
  pins.replace(pins.find("20 (BC_1, *, control, 1)"), 24, "20 (CBSC_1, *, control, 1)");
  pins = "PINS Inc. BSDL file \xA9 2020\n" + pins;
  PinMap m;
  Error error;
  EXPECT_FALSE(derive(pins, with_line(kBoard, "CLE", "CLE = LED"), m, error));
  EXPECT_EQ(error.text(),
            "boards/test.board:12: CLE = LED: LED is open drain (output cell 31 is its own "
            "control cell): it drives one level only");
  for (const char* hold : {"hold LED = 0", "hold LED = 1"}) {
    SCOPED_TRACE(hold);
    ASSERT_TRUE(derive(pins, with_line(kBoard, "hold", hold), m, error)) << error.text();
    ASSERT_EQ(m.hold.size(), 1u);
    EXPECT_EQ(m.hold[0].pin.output_cell, 31);
    EXPECT_EQ(m.hold[0].pin.control_cell, -1);
    EXPECT_EQ(m.idle[31], hold[11]);
  }
  ASSERT_EQ(m.notes.size(), 2u);
  EXPECT_EQ(m.notes[0], "chips/pins.bsd: line 1 before 'entity' skipped: not BSDL");
  EXPECT_EQ(m.notes[1],
            "chips/pins.bsd:20: warning: cell 20 has the cell type CBSC_1, which IEEE 1149.1 "
            "does not define; it is used as its function (CONTROL) says");
}

TEST(BoardDescription, AwkwardButLegalAndBrokenLines) {
  const std::string awkward =
      "  # comments, tabs, any case, spaces inside an index\r\n"
      "BSDL\t=\tmy cpu.bsd   # a path with a space\r\n"
      "TDI_SIDE = 4, 5 6\n"
      "tdo_side =\n"
      "d0=D( 0 )\n d1 = d(1)\nD2 = D(2)\nD3 = D(3)\nD4 = D(4)\nD5 = D(5)\nD6 = D(6)\nD7 = D(7)\n"
      "NCE = NCE\nCLE = CLE\nale = ALE\nnwe = NWE\nNRE = NRE\nrnb = RB\n"
      "hold   WP = 1\n"
      "HOLD sh1 = 0";  // no newline at the end
  BoardDescription b;
  Error error;
  ASSERT_TRUE(read_board_description(awkward, "/boards/a.board", b, error)) << error.text();
  EXPECT_EQ(b.bsdl, "my cpu.bsd");
  EXPECT_EQ(b.bsdl_path(), "/boards/my cpu.bsd");
  EXPECT_EQ(b.tdi_side, (std::vector<int>{4, 5, 6}));
  EXPECT_TRUE(b.tdo_side.empty());
  EXPECT_EQ(b.pin(NandSignal::kD0).port, "D(0)");
  EXPECT_EQ(b.pin(NandSignal::kD1).line, 6);
  EXPECT_EQ(b.pin(NandSignal::kRnb).port, "RB");
  ASSERT_EQ(b.hold.size(), 2U);
  EXPECT_EQ(b.hold[1].port, "sh1");
  EXPECT_EQ(b.hold[1].line, 20);

  const struct {
    const char* key;
    const char* line;
    const char* error;
  } broken[] = {
      {"nCE", "nCS = NCE",
       "x.board:11: unknown key 'nCS' (expected bsdl, tdi_side, tdo_side, D0 to D7, nCE, CLE, ALE, "
       "nWE, nRE, RnB or hold PIN)"},
      {"nCE", "nCE NCE", "x.board:11: expected KEY = VALUE, found 'nCE NCE'"},
      {"nCE", "nCE = D(1)", "x.board:11: pin D(1) is used twice: for D1 on line 4 and for nCE"},
      {"hold", "hold d(3) = 1",
       "x.board:17: pin d(3) is used twice: for D3 on line 6 and for hold d(3)"},
      {"hold", "hold WP = high",
       "x.board:17: expected 0 or 1 as the level of hold WP, found 'high'"},
      {"hold", "hold = 1",
       "x.board:17: unknown key 'hold' (expected bsdl, tdi_side, tdo_side, D0 to D7, nCE, CLE, "
       "ALE, "
       "nWE, nRE, RnB or hold PIN)"},
      {"hold", "CLE = ALE", "x.board:17: CLE is given twice (first on line 12)"},
      {"nCE", "nCE = N CE(",
       "x.board:11: expected a port name such as PD14 or D(3) for nCE, found 'N CE('"},
      {"hold", "tdi_side = 4 1",
       "x.board:17: expected IR lengths from 2 to 64 separated by spaces or commas (at most 32 "
       "devices), found '4 1'"},
      {"RnB", "# RnB = RB",
       "x.board: missing 'RnB = PIN' (D0 to D7, nCE, CLE, ALE, nWE, nRE and RnB "
       "are all required)"},
      {"bsdl", "bsdl =", "x.board:2: expected the BSDL file's path after 'bsdl ='"},
  };
  for (const auto& c : broken) {
    SCOPED_TRACE(c.line);
    EXPECT_FALSE(read_board_description(with_line(kBoard, c.key, c.line), "x.board", b, error));
    EXPECT_EQ(error.text(), c.error);
  }
}

// The four data files against the simulator's layouts of the same boards,
// written independently: every cell and polarity the program will use.
TEST(PinMap, TheFourDataFilesGiveTheBuiltInBoardsCells) {
  const char* files[] = {"rq7220.board", "zelt.board", "kelda.board", "tomux.board"};
  for (std::size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(files[i]);
    const sim::BoardLayout& l = sim::kBoardLayouts[i];
    LoadedBoard loaded;
    Error error;
    ASSERT_TRUE(load_board(std::string(JTAGNAND_TEST_DATA) + "/boards/" + files[i], loaded, error))
        << error.text();
    PinMap m;
    ASSERT_TRUE(derive_pin_map(loaded.bsdl, loaded.description, m, error)) << error.text();
    EXPECT_EQ(m.length, l.length);
    EXPECT_EQ(m.tap.instruction_length, 4);
    EXPECT_EQ(m.tap.extest, 0U);
    EXPECT_EQ(m.tap.idcode_instruction, l.idcode_instruction);
    EXPECT_EQ(m.tap.idcode.value, l.idcode);
    const std::pair<const DrivenPin&, int> strobes[] = {
        {m.nce, l.nce}, {m.cle, l.cle}, {m.ale, l.ale}, {m.nwe, l.nwe}, {m.nre, l.nre}};
    for (const auto& [pin, cell] : strobes) {
      EXPECT_EQ(pin.output_cell, cell);
      EXPECT_EQ(pin.control_cell, -1);
    }
    EXPECT_EQ(m.rnb_input_cell, l.rnb);
    for (std::size_t k = 0; k < 8; ++k) {
      EXPECT_EQ(m.data[k].output_cell, l.io_out[k]) << k;
      EXPECT_EQ(m.data[k].input_cell, l.io_in[k]) << k;
      EXPECT_EQ(m.data[k].control_cell, l.io_enable[k]) << k;
      EXPECT_EQ(m.data[k].enable, l.enable_level) << k;
    }
    // Idle: the flash deselected and listening, as the built-in boards start.
    const auto at = [&](int cell) { return m.idle[static_cast<std::size_t>(cell)]; };
    EXPECT_EQ(at(l.nce), '1');
    EXPECT_EQ(at(l.nwe), '1');
    EXPECT_EQ(at(l.nre), '1');
    EXPECT_EQ(at(l.cle), '0');
    EXPECT_EQ(at(l.ale), '0');
    for (std::size_t k = 0; k < 8; ++k) EXPECT_EQ(at(l.io_enable[k]), l.enable_level ? '0' : '1');
  }
}

// Files that are not board descriptions: a directory is refused by name, and
// a device that never ends is read no further than the limit.
TEST(LoadBoard, ADirectoryOrAnEndlessDeviceIsRefused) {
  const struct {
    std::string path;
    std::string message;
  } cases[] = {
    {std::string(JTAGNAND_TEST_DATA) + "/boards", "not a plain file"},
#if !defined(_WIN32)
    {"/dev/zero", "the file is larger than 16 MiB"},
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    LoadedBoard loaded;
    Error error;
    EXPECT_FALSE(load_board(c.path, loaded, error));
    EXPECT_EQ(error.message, c.message);
  }
}

// A refusal quotes what the file says, cut: a 5 MB key makes no 5 MB line.
TEST(BoardDescription, AHugeNameIsCutInTheRefusal) {
  BoardDescription description;
  Error error;
  const std::string key(5'000'000, 'A');
  EXPECT_FALSE(
      read_board_description("bsdl = x.bsd\n" + key + " = 1\n", "big.board", description, error));
  EXPECT_EQ(error.text().rfind("big.board:2: unknown key 'AAAA", 0), 0u) << error.text().size();
  EXPECT_LT(error.text().size(), 500u);
}

}  // namespace
}  // namespace jtagnand::bsdl
