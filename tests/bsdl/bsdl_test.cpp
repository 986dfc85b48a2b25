// The BSDL reader on awkward but legal files, and on broken ones: each error
// names the file, the line and what was expected.

#include "bsdl/bsdl.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace jtagnand::bsdl {
namespace {

// Legal, but in every awkward way vendor files are: keywords in any case,
// tabs, comments between string pieces and inside the port list, several
// names in one port declaration, vectors both ways, reals, unknown
// attributes with nested parentheses, opcodes with spaces and several codes,
// attributes out of order, cells out of order, CRLF line ends on some lines
// and no newline after the last one.
const std::vector<std::string> kAwkward = {
    /*  1 */ "-- Awkward Corp. AWK100, generated 2001 \"quoted\" -- twice",
    /*  2 */ "ENTITY awk100 IS\r",
    /*  3 */ "\tGeneric (PHYSICAL_PIN_MAP : STRING := \"TQ48\");",
    /*  4 */ "\tPORT (A, B\t: InOut bit;  -- two names",
    /*  5 */ "\t\tBUS : inout BIT_VECTOR (0 TO 3);",
    /*  6 */ "\t\tWIDE : out bit_vector(2 downto 1);\r",
    /*  7 */ "\t\tCK : in bit; RDY : in bit; TCK, TMS, TDI : in bit; TDO : out bit;",
    /*  8 */ "\t\tGND : linkage bit);",
    /*  9 */ "use STD_1149_1_2001.all;  use work.vendor_cells.all ;",
    /* 10 */ "attribute PIN_MAP of awk100 : entity is PHYSICAL_PIN_MAP;",
    /* 11 */ "constant TQ48 : PIN_MAP_STRING := \"A:1, B:2, BUS:(3,4,5,6),\" &  -- the bus",
    /* 12 */ "   \"WIDE:(7,8), CK:9, RDY:10, TCK:11, TMS:12, TDI:13, TDO:14, GND:(15, 16)\";",
    /* 13 */ "attribute TAP_SCAN_CLOCK of TCK : signal is (1.0e+07, BOTH);",
    /* 14 */ "attribute VENDOR_TIMING of awk100 : entity is (1, (2, \"a;b\"), 3);",
    /* 15 */ "attribute BOUNDARY_LENGTH of awk100 : entity is 16;",
    /* 16 */ "attribute instruction_opcode OF awk100 : ENTITY IS",
    /* 17 */ "  \"extest ( 000), SAMPLE (0 10, 110),\" & -- two codes",
    /* 18 */ "  -- a comment between the pieces",
    /* 19 */ "  \"IDCODE(001),BYPASS (111), PRIV (1X0)\";",
    /* 20 */ "attribute INSTRUCTION_LENGTH of awk100 : entity is 3;",
    /* 21 */ "attribute INSTRUCTION_CAPTURE of awk100 : entity is \"x01\";",
    /* 22 */ "attribute IDCODE_REGISTER of awk100 : entity is \"XXXX\" & -- version",
    /* 23 */ "\t\"0000000100100011\" &\t-- part",
    /* 24 */ "\t\"00001010101\" & \"1,\" & \"0001\" & \"0000000100100011\" & \"000010101011\";",
    /* 25 */ "attribute BOUNDARY_REGISTER of awk100 : entity is",
    /* 26 */ "  \"15 (BC_1, *, internal, x), 14 (BC_4, CK, clock, X),\" &",
    /* 27 */ "  \"0 (BC_1, *, control, 1), 1 (BC_7, BUS(0), bidir, X, 0, 1, Z),\" &",
    /* 28 */ "  \"2 (BC_2, *, controlr, 0), 3 (bc_7, BUS(3), BIDIR, X, 2, 0, Z), \" &",
    /* 29 */ "  \"4 (BC_1, A, output3, 0, 0, 1, Z), 5 (BC_1, A, input, X),\" &",
    /* 30 */
    "  \"6 (BC_1, WIDE ( 2 ), output2, 1), 7 (BC_1, WIDE(1), output2, 1, 8, 1, WEAK1),\" &",
    /* 31 */ "  \"8 (BC_1, *, control, 1), 9 (BC_4, RDY, observe_only, X),\" &",
    /* 32 */ "  \"10 (BC_1, B, output3, X, 11, 1, PULL1), 11 (BC_1, *, control, 1),\" &",
    /* 33 */ "  \"12 (BC_4, B, input, X), 13 (BC_0, BUS(1), input, X)\";",
    /* 34 */ "attribute DESIGN_WARNING of awk100 : entity is \"none\";",
    /* 35 */ "end awk100;",
};

std::string join(const std::vector<std::string>& lines) {
  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    text += lines[i];
    if (i + 1 < lines.size()) text += '\n';  // none after the last line
  }
  return text;
}

TEST(BsdlReader, AwkwardButLegalFormatting) {
  Bsdl b;
  Error error;
  ASSERT_TRUE(read_bsdl(join(kAwkward), "awk.bsd", b, error)) << error.text();
  EXPECT_EQ(b.entity, "awk100");
  EXPECT_EQ(b.physical_pin_map, "TQ48");
  EXPECT_EQ(b.packages, (std::vector<std::string>{"STD_1149_1_2001", "work"}));

  std::vector<std::string> ports;
  for (const Port& p : b.ports) ports.push_back(p.name);
  EXPECT_EQ(ports,
            (std::vector<std::string>{"A", "B", "BUS(0)", "BUS(1)", "BUS(2)", "BUS(3)", "WIDE(2)",
                                      "WIDE(1)", "CK", "RDY", "TCK", "TMS", "TDI", "TDO", "GND"}));
  EXPECT_EQ(b.ports[static_cast<std::size_t>(b.find_port("wide(1)"))].mode, PortMode::kOut);
  EXPECT_EQ(b.ports[static_cast<std::size_t>(b.find_port("bus(3)"))].line, 5);

  EXPECT_EQ(b.tap_scan_clock_hz, 10e6);  // (1.0e+07, BOTH)

  EXPECT_EQ(b.instruction_length, 3);
  ASSERT_NE(b.find_instruction("sample"), nullptr);
  EXPECT_EQ(b.find_instruction("SAMPLE")->opcodes, (std::vector<std::string>{"010", "110"}));
  EXPECT_EQ(b.find_instruction("EXTEST")->opcodes, (std::vector<std::string>{"000"}));
  EXPECT_EQ(b.find_instruction("PRIV")->opcodes, (std::vector<std::string>{"1X0"}));
  EXPECT_EQ(b.find_instruction("EXTEST")->line, 17);
  EXPECT_EQ(b.instruction_capture, "X01");
  EXPECT_EQ(pattern_value("1X0"), 4U);
  EXPECT_EQ(pattern_mask("1X0"), 5U);

  ASSERT_EQ(b.idcodes.size(), 2U);
  const auto id = b.idcode();
  ASSERT_TRUE(id.has_value());
  EXPECT_EQ(id->value, 0x001230ABU);
  EXPECT_EQ(id->mask, 0x0FFFFFFFU);
  EXPECT_TRUE(id->matches(0x701230ABU));
  EXPECT_FALSE(id->matches(0x701230A9U));

  ASSERT_EQ(b.boundary_length, 16);
  ASSERT_EQ(b.cells.size(), 16U);
  const Cell& bidir = b.cells[3];
  EXPECT_EQ(bidir.type, "BC_7");
  EXPECT_EQ(b.ports[static_cast<std::size_t>(bidir.port)].name, "BUS(3)");
  EXPECT_EQ(bidir.function, CellFunction::kBidir);
  EXPECT_EQ(bidir.control, 2);
  EXPECT_EQ(bidir.disable, '0');
  EXPECT_EQ(bidir.line, 28);
  EXPECT_EQ(b.cells[2].function, CellFunction::kControlR);
  EXPECT_EQ(b.cells[7].function, CellFunction::kOutput2);
  EXPECT_EQ(b.cells[7].result, "WEAK1");
  EXPECT_EQ(b.cells[6].control, -1);
  EXPECT_EQ(b.ports[static_cast<std::size_t>(b.cells[6].port)].name, "WIDE(2)");
  EXPECT_EQ(b.cells[9].function, CellFunction::kObserveOnly);
  EXPECT_EQ(b.cells[14].function, CellFunction::kClock);
  EXPECT_EQ(b.cells[15].safe, 'X');
  EXPECT_EQ(b.cells[4].safe, '0');
  EXPECT_EQ(b.cells[10].result, "PULL1");
  EXPECT_EQ(b.cells[13].type, "BC_0");

  ASSERT_EQ(b.pin_map.size(), 11U);
  EXPECT_EQ(b.pin_map[2].port, "BUS");
  EXPECT_EQ(b.pin_map[2].pins, (std::vector<std::string>{"3", "4", "5", "6"}));
}

struct Broken {
  const char* what;
  std::size_t line;  // the line of kAwkward replaced (1-based)
  const char* text;
  int error_line;
  const char* message;
};

const Broken kBroken[] = {
    {"a cell missing", 33, "  \"12 (BC_4, B, input, X)\";", 25,
     "cell 13 is missing from BOUNDARY_REGISTER (BOUNDARY_LENGTH is 16)"},
    {"a cell twice", 33, "  \"12 (BC_4, B, input, X), 5 (BC_0, BUS(1), input, X)\";", 33,
     "cell 5 is listed twice (first on line 29) as INPUT and as INPUT: only an INPUT cell may "
     "share its bit, with a CONTROL, CONTROLR, OUTPUT2 or OUTPUT3 cell"},
    {"two outputs on one cell", 33,
     "  \"12 (BC_4, B, input, X), 13 (BC_0, BUS(1), input, X), "
     "4 (BC_1, B, output2, X)\";",
     33,
     "cell 4 is listed twice (first on line 29) as OUTPUT3 and as OUTPUT2: only an INPUT cell may "
     "share its bit, with a CONTROL, CONTROLR, OUTPUT2 or OUTPUT3 cell"},
    {"a merged cell of two types", 33,
     "  \"12 (BC_4, B, input, X), 13 (BC_0, BUS(1), input, X), "
     "11 (BC_4, A, input, X)\";",
     33,
     "cell 11 is listed twice (first on line 32) as a BC_1 cell and as a BC_4 cell: a merged "
     "cell is one cell of one type"},
    {"a cell past the end", 33, "  \"12 (BC_4, B, input, X), 16 (BC_0, BUS(1), input, X)\";", 33,
     "cell 16 is outside the register (BOUNDARY_LENGTH is 16, so cells run from 0 to 15)"},
    {"a short register", 15, "attribute BOUNDARY_LENGTH of awk100 : entity is 17;", 25,
     "cell 16 is missing from BOUNDARY_REGISTER (BOUNDARY_LENGTH is 17)"},
    {"an unknown function", 31, "  \"8 (BC_1, *, control, 1), 9 (BC_4, RDY, observe, X),\" &", 31,
     "cell 9: unknown function 'observe' (expected input, output2, output3, control, controlr, "
     "internal, bidir, clock or observe_only)"},
    {"a cell of an unknown port", 29,
     "  \"4 (BC_1, A, output3, 0, 0, 1, Z), 5 (BC_1, AA, input, X),\" &", 29,
     "cell 5: AA is not a port of awk100"},
    {"a vector element out of range", 33,
     "  \"12 (BC_4, B, input, X), 13 (BC_0, BUS(4), input, X)\";", 33,
     "cell 13: BUS(4) is not a port of awk100"},
    {"a control cell that is not one", 29,
     "  \"4 (BC_1, A, output3, 0, 5, 1, Z), 5 (BC_1, A, input, X),\" &", 29,
     "cell 4: its control cell 5 is an INPUT cell, not a control cell"},
    {"an output3 cell without its control cell", 29,
     "  \"4 (BC_1, A, output3, 0), 5 (BC_1, A, input, X),\" &", 29,
     "cell 4: an OUTPUT3 cell needs its control cell, disable value and disabled state"},
    {"a disable value of X", 32,
     "  \"10 (BC_1, B, output3, X, 11, X, Z), 11 (BC_1, *, control, 1),\" &", 32,
     "cell 10: the disable value must be 0 or 1, not X"},
    {"a missing ')'", 31, "  \"8 (BC_1, *, control, 1), 9 (BC_4, RDY, observe_only, X,\" &", 32,
     "expected ',' in cell 9, found '('"},
    {"an opcode of the wrong length", 17, "  \"extest ( 0000), SAMPLE (0 10, 110),\" &", 17,
     "the opcode of EXTEST '0000' in INSTRUCTION_OPCODE has 4 bits; expected 3"},
    {"an opcode with a 2", 19, "  \"IDCODE(021),BYPASS (111), PRIV (1X0)\";", 19,
     "the opcode of IDCODE '021' in INSTRUCTION_OPCODE may hold only 0, 1 and X"},
    {"an instruction twice", 19, "  \"IDCODE(001),BYPASS (111), EXTEST (1X0)\";", 19,
     "instruction EXTEST is listed twice in INSTRUCTION_OPCODE (first on line 17)"},
    {"a capture not ending in 01", 21,
     "attribute INSTRUCTION_CAPTURE of awk100 : entity is \"x10\";", 21,
     "INSTRUCTION_CAPTURE 'X10' must end in 01 (the two bits nearest TDO)"},
    {"an IDCODE of 31 bits", 23, "\t\"000000010010001\" &\t-- part", 22,
     "the IDCODE 'XXXX000000010010001000010101011' in IDCODE_REGISTER has 31 bits; expected 32"},
    {"an IDCODE ending in 0", 24,
     "\t\"00001010101\" & \"0,\" & \"0001\" & \"0000000100100011\" & \"000010101011\";", 22,
     "the IDCODE 'XXXX0000000100100011000010101010' must end in 1 (IEEE 1149.1)"},
    {"an unterminated string", 12, "   \"WIDE:(7,8), CK:9, RDY:10", 12,
     "expected '\"' to close the string before the end of the line"},
    {"a missing '&'", 23, "\t\"0000000100100011\" \t-- part", 24,
     "expected '&' or ';' in IDCODE_REGISTER, found a string"},
    {"a missing ';' after the ports", 8, "\t\tGND : linkage bit)", 9,
     "expected ';' after the port list, found 'use'"},
    {"a bad port mode", 7,
     "\t\tCK : input bit; RDY : in bit; TCK, TMS, TDI : in bit; TDO : out bit;", 7,
     "expected a port mode (in, out, inout, buffer or linkage), found 'input'"},
    {"a port twice", 7, "\t\tCK : in bit; RDY : in bit; TCK, TMS, TDI : in bit; A : out bit;", 7,
     "port A is declared twice (first on line 4)"},
    {"a stray character", 14, "attribute VENDOR_TIMING of awk100 : entity is (1, {2});", 14,
     "unexpected '{'"},
    {"an attribute given twice", 34, "attribute BOUNDARY_LENGTH of awk100 : entity is 16;", 34,
     "BOUNDARY_LENGTH is given twice (first on line 15)"},
    {"a TCK limit that is no frequency", 13,
     "attribute TAP_SCAN_CLOCK of TCK : signal is (fast, BOTH);", 13,
     "expected TAP_SCAN_CLOCK as (FREQUENCY, STOP_STATE), e.g. (20.0e6, BOTH)"},
    {"a TCK limit of zero", 13, "attribute TAP_SCAN_CLOCK of TCK : signal is (0.0e6, BOTH);", 13,
     "expected a frequency in Hz for TAP_SCAN_CLOCK, found '0.0e6'"},
    {"a TCK limit twice", 34, "attribute TAP_SCAN_CLOCK of TCK : signal is (2.0e7, LOW);", 34,
     "TAP_SCAN_CLOCK is given twice (first on line 13)"},
    {"a length that is not a number", 20,
     "attribute INSTRUCTION_LENGTH of awk100 : entity is three;", 20,
     "expected a whole number for INSTRUCTION_LENGTH, found 'three'"},
    {"no INSTRUCTION_LENGTH", 20, "", 35, "the entity has no INSTRUCTION_LENGTH attribute"},
    {"text after the end", 35, "end awk100; end awk100;", 35,
     "expected nothing after 'end awk100;', found 'end'"},
    {"the wrong name at the end", 35, "end awk200;", 35, "expected 'end awk100;', found 'awk200'"},
    {"no end", 35, "", 35, "expected 'end awk100;', found the end of the file"},
    {"EXTEST with IDCODE's opcode", 19, "  \"IDCODE(000),BYPASS (111), PRIV (1X0)\";", 17,
     "EXTEST's opcode 000 is also IDCODE's: the two cannot be told apart"},
    {"EXTEST with the all-ones opcode", 17, "  \"extest ( 111), SAMPLE (0 10, 110),\" &", 17,
     "EXTEST's opcode 111 is also BYPASS's: the two cannot be told apart"},
    {"not an entity", 2, "architecture awk100 IS\r", 2,
     "expected 'entity' (a BSDL file starts with 'entity NAME is'), found 'architecture'"},
};

TEST(BsdlReader, BrokenFilesNameTheLineAndWhatWasExpected) {
  for (const Broken& c : kBroken) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> lines = kAwkward;
    lines[c.line - 1] = c.text;
    Bsdl b;
    Error error;
    ASSERT_FALSE(read_bsdl(join(lines), "broken.bsd", b, error));
    EXPECT_EQ(error.text(), "broken.bsd:" + std::to_string(c.error_line) + ": " + c.message);
  }
}

// What vendors write that is legal, or harmless: title lines above the
// entity (not BSDL comments, bytes outside ASCII), an open-drain output that
// names itself as its control cell (NXP's LPC18xx files), a vendor's own cell
// type (CBSC_1).
TEST(BsdlReader, VendorStylesAreRead) {
  std::vector<std::string> lines = kAwkward;
  lines[0] = "Awkward Corp. \xA9 2019 \xE2\x80\x94 BSDL for the AWK100";
  lines.insert(lines.begin() + 1, "Rev. B   (c) all rights reserved");
  // Line numbers below count the inserted line.
  lines[32] = "  \"10 (BC_1, B, output2, 1, 10, 1, PULL1), 11 (CBSC_1, *, control, 1),\" &";
  // Merged cells (TI's scan-test parts): an input listed before and after
  // the control cell it shares a bit with.
  lines[26] = "  \"15 (BC_1, *, internal, x), 8 (BC_1, A, input, X), 14 (BC_4, CK, clock, X),\" &";
  lines[33] = "  \"12 (BC_4, B, input, X), 13 (BC_0, BUS(1), input, X), 0 (BC_1, RDY, input, X)\";";
  Bsdl b;
  Error error;
  ASSERT_TRUE(read_bsdl(join(lines), "vendor.bsd", b, error)) << error.text();
  EXPECT_EQ(b.skipped_lines, "lines 1-2");
  EXPECT_EQ(b.cells[10].control, 10);
  EXPECT_EQ(b.cells[10].result, "PULL1");
  EXPECT_EQ(b.cells[11].type, "CBSC_1");
  EXPECT_FALSE(standard_cell_type(b.cells[11].type));
  EXPECT_TRUE(standard_cell_type(b.cells[3].type));
  for (const auto& [n, port] : {std::pair{8, "A"}, std::pair{0, "RDY"}}) {
    const Cell& merged = b.cells[static_cast<std::size_t>(n)];
    EXPECT_EQ(merged.function, CellFunction::kControl) << n;
    EXPECT_EQ(merged.port, -1) << n;
    EXPECT_EQ(merged.safe, '1') << n;
    EXPECT_EQ(sensed_port(merged), b.find_port(port)) << n;
  }
  EXPECT_EQ(sensed_port(b.cells[3]), b.find_port("BUS(3)"));
  EXPECT_EQ(sensed_port(b.cells[4]), -1);

  // A clean file skips nothing.
  ASSERT_TRUE(read_bsdl(join(kAwkward), "awk.bsd", b, error)) << error.text();
  EXPECT_EQ(b.skipped_lines, "");
}

TEST(BsdlReader, HostileSizesAreRefusedNotAllocated) {
  const struct {
    std::size_t line;
    const char* text;
    const char* message;
  } cases[] = {
      {15, "attribute BOUNDARY_LENGTH of awk100 : entity is 999999999;",
       "broken.bsd:15: expected a BOUNDARY_LENGTH from 1 to 1048576, found 999999999"},
      {20, "attribute INSTRUCTION_LENGTH of awk100 : entity is 65;",
       "broken.bsd:20: expected an INSTRUCTION_LENGTH from 2 to 64, found 65"},
      {5, "\t\tBUS : inout BIT_VECTOR (0 TO 999999);",
       "broken.bsd:5: too many ports (at most 65536)"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> lines = kAwkward;
    lines[c.line - 1] = c.text;
    Bsdl b;
    Error error;
    EXPECT_FALSE(read_bsdl(join(lines), "broken.bsd", b, error));
    EXPECT_EQ(error.text(), c.message);
  }
  // Every shorter prefix of a good file is refused cleanly, never read past its end.
  const std::string text = join(kAwkward);
  for (std::size_t n = 0; n < text.size(); n += 7) {
    Bsdl b;
    Error error;
    EXPECT_FALSE(read_bsdl(text.substr(0, n), "cut.bsd", b, error)) << n;
    EXPECT_FALSE(error.message.empty()) << n;
  }
}

}  // namespace
}  // namespace jtagnand::bsdl
