// Boards built from a BSDL file and a board description (board=FILE): the
// same behaviour as the hand-transcribed built-in boards, chains of TAPs on
// both sides of the CPU, and drivers switched by control cells.

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "sim/board_layouts.h"
#include "sim/sim_board.h"
#include "sim_cable.h"
#include "test_files.h"

namespace jtagnand::sim {
namespace {

using testing::Cable;
using testing::make_port;
using testing::NandDriver;

const std::string kBoards = std::string(JTAGNAND_TEST_DATA) + "/boards/";

struct Layout {
  const char* file;
  Cpu cpu;
};
constexpr Layout kLayouts[] = {{"rq7220.board", Cpu::kRq7220},
                               {"zelt.board", Cpu::kZelt},
                               {"kelda.board", Cpu::kKelda},
                               {"tomux.board", Cpu::kTomux}};

// The flash's nets as a string, for comparing two boards scan by scan.
std::string nets(const SimBoard& board) {
  std::string out;
  for (Net net : {Net::kNce, Net::kCle, Net::kAle, Net::kNwe, Net::kNre, Net::kRnb})
    out += board.net(net) ? '1' : '0';
  return out + ":" + std::to_string(board.data_bus());
}

// Everything a host sees of one session: reset, Read ID, an erase, a program
// and a read-back of page 64 (block 1), status after each operation.
std::vector<int> session(Cable& cable, NandDriver& nand) {
  std::vector<int> seen;
  cable.reset();
  seen.push_back(static_cast<int>(cable.read_dr32() & 0xFFFF));
  nand.start();
  nand.select(0);
  nand.command(0xFF);
  seen.push_back(nand.wait_ready());
  nand.command(0x90);
  nand.address({0x00});
  for (uint8_t b : nand.read(4)) seen.push_back(b);
  nand.command(0x60);
  nand.address({64, 0, 0});
  nand.command(0xD0);
  seen.push_back(nand.wait_ready());
  seen.push_back(nand.status());
  nand.command(0x80);
  nand.address({0, 0, 64, 0, 0});
  std::vector<uint8_t> data;
  for (const unsigned char b : jtagnand::testing::test_pattern(48, 7)) data.push_back(b);
  nand.write(data);
  nand.command(0x10);
  seen.push_back(nand.wait_ready());
  seen.push_back(nand.status());
  nand.command(0x00);
  nand.address({0, 0, 64, 0, 0});
  nand.command(0x30);
  seen.push_back(nand.wait_ready());
  for (uint8_t b : nand.read(48)) seen.push_back(b);
  nand.select(1);
  return seen;
}

// A board= board from each data file against the built-in board of the same
// CPU, driven with the same scans: the same IDCODE, the same levels on every
// flash net after every scan, the same captures, the same flash.
TEST(SimBoardFile, BehavesLikeTheBuiltInBoardOfTheSameCpu) {
  for (const Layout& l : kLayouts) {
    SCOPED_TRACE(l.file);
    auto builtin =
        make_port(std::string("maker=0x98,nand=0xDA,cpu=") + std::string(board_layout(l.cpu).name));
    auto described = make_port("maker=0x98,nand=0xDA,board=" + kBoards + l.file);
    ASSERT_TRUE(builtin && described);
    EXPECT_EQ(described->board().idcode(), builtin->board().idcode());
    EXPECT_EQ(described->board().boundary_length(), builtin->board().boundary_length());

    std::vector<std::string> trace[2];
    SimPort* ports[2] = {builtin.get(), described.get()};
    for (int i = 0; i < 2; ++i) {
      SimBoard& board = ports[i]->board();
      board.set_update_observer([&trace, &board, i](std::string_view) {
        trace[i].push_back(nets(board));  // the nets the previous scan left
      });
    }
    std::vector<int> seen[2];
    for (int i = 0; i < 2; ++i) {
      Cable cable(*ports[i]);
      NandDriver nand(cable, board_layout(l.cpu));  // the cells, by the built-in layout
      seen[i] = session(cable, nand);
      trace[i].push_back(nets(ports[i]->board()));
    }
    EXPECT_EQ(seen[1], seen[0]);
    ASSERT_EQ(trace[1].size(), trace[0].size());
    for (std::size_t s = 0; s < trace[0].size(); ++s)
      ASSERT_EQ(trace[1][s], trace[0][s]) << "after scan " << s;
    EXPECT_EQ(seen[0][2], 0x98);  // the Read ID went through
    EXPECT_EQ(described->board().read_flash(64 * 2048, 48),
              builtin->board().read_flash(64 * 2048, 48));
    EXPECT_EQ(described->board().nand_counts().commands, builtin->board().nand_counts().commands);
    EXPECT_EQ(described->board().violations(), 0U);
    EXPECT_EQ(builtin->board().violations(), 0U);
  }
}

// Writes a board description next to the KELDA data file's BSDL.
std::string kelda_board(const jtagnand::testing::TempDir& dir, const std::string& chain) {
  const std::string path = dir.file("chain.board");
  std::ifstream in(kBoards + "kelda.board");
  std::ofstream out(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("BSDL=", 0) == 0) line = "bsdl = " + kBoards + "kelda.bsdl";
    if (line.rfind("tdi_side", 0) == 0) line.clear();
    out << line << "\n";
  }
  out << chain << "\n";
  return path;
}

std::string bits(const std::vector<uint8_t>& v, std::size_t from, std::size_t n) {
  std::string out;
  for (std::size_t i = from; i < from + n && i < v.size(); ++i)
    out += static_cast<char>('0' + v[i]);
  return out;
}

TEST(SimBoardFile, ChainDevicesOnBothSidesAreBypassOnly) {
  jtagnand::testing::TempDir dir;
  const std::string file = kelda_board(dir, "tdi_side = 3, 5\ntdo_side = 4");
  auto port = make_port("board=" + file);
  ASSERT_TRUE(port);
  EXPECT_EQ(port->board().chain_length(), 4U);
  Cable cable(*port);
  cable.reset();

  // After reset: the TDO-side device's bypass bit, the CPU's IDCODE, the
  // two TDI-side bypass bits, then the ones shifted in.
  const auto dr = cable.scan_dr_raw(std::vector<uint8_t>(40, 1));
  std::string idcode;
  for (int i = 31; i >= 0; --i)
    idcode += static_cast<char>('0' + dr[1 + static_cast<std::size_t>(i)]);
  EXPECT_EQ(dr[0], 0);
  EXPECT_EQ(idcode, "00000000110100110001011001011011");  // 0x00D3165B
  EXPECT_EQ(bits(dr, 33, 7), "0011111");

  // Capture-IR: 01 in the two bits nearest TDO of every device (4, 4, 5, 3 bits).
  const auto ir = cable.scan_ir_raw(std::vector<uint8_t>(20, 1));
  EXPECT_EQ(bits(ir, 0, 20), "10001000100001001111");

  // Through the chain with bypass bits around every scan: Read ID and a page.
  cable.set_chain({3, 5}, {4});
  NandDriver nand(cable, board_layout(Cpu::kKelda));
  cable.reset();
  EXPECT_EQ(cable.read_dr32(), 0x00D3165BU);
  const std::vector<int> seen = session(cable, nand);
  EXPECT_EQ(seen[2], 0xEC);
  EXPECT_EQ(seen[3], 0xDA);
  std::vector<uint8_t> expected;
  for (const unsigned char b : jtagnand::testing::test_pattern(48, 7)) expected.push_back(b);
  EXPECT_EQ(port->board().read_flash(64 * 2048, 48), expected);
  EXPECT_EQ(port->board().violations(), 0U);
}

// A small CPU whose every driver has a control cell: D0-D3 disable at 1,
// D4-D7 at 0, the strobes and R/nB at 1. IR of 3 bits.
constexpr const char* kSmallCpu = R"bsdl(entity SMALL is
  port (D : inout bit_vector(0 to 7); NCE, CLE, ALE, NWE, NRE, RB : inout bit;
        TCK, TMS, TDI : in bit; TDO : out bit);
  use STD_1149_1_2001.all;
  attribute INSTRUCTION_LENGTH of SMALL : entity is 3;
  attribute INSTRUCTION_OPCODE of SMALL : entity is
    "EXTEST (000), SAMPLE (010), IDCODE (001), HIGHZ (011), BYPASS (111)";
  attribute INSTRUCTION_CAPTURE of SMALL : entity is "X01";
  attribute IDCODE_REGISTER of SMALL : entity is "0001" & "0000000000000001" & "00000000001" & "1";
  attribute BOUNDARY_LENGTH of SMALL : entity is 29;
  attribute BOUNDARY_REGISTER of SMALL : entity is
    " 0 (BC_1, *, control, 1),  1 (BC_7, D(0), bidir, X, 0, 1, Z)," &
    " 2 (BC_1, *, control, 1),  3 (BC_7, D(1), bidir, X, 2, 1, Z)," &
    " 4 (BC_1, *, control, 1),  5 (BC_7, D(2), bidir, X, 4, 1, Z)," &
    " 6 (BC_1, *, control, 1),  7 (BC_7, D(3), bidir, X, 6, 1, Z)," &
    " 8 (BC_1, *, control, 0),  9 (BC_7, D(4), bidir, X, 8, 0, Z)," &
    "10 (BC_1, *, control, 0), 11 (BC_7, D(5), bidir, X, 10, 0, Z)," &
    "12 (BC_1, *, control, 0), 13 (BC_7, D(6), bidir, X, 12, 0, Z)," &
    "14 (BC_1, *, control, 0), 15 (BC_7, D(7), bidir, X, 14, 0, Z)," &
    "16 (BC_1, *, control, 1), 17 (BC_1, NCE, output3, 1, 16, 1, Z)," &
    "18 (BC_1, *, control, 1), 19 (BC_1, CLE, output3, 0, 18, 1, Z)," &
    "20 (BC_1, *, control, 1), 21 (BC_1, ALE, output3, 0, 20, 1, Z)," &
    "22 (BC_1, *, control, 1), 23 (BC_1, NWE, output3, 1, 22, 1, Z)," &
    "24 (BC_1, *, control, 1), 25 (BC_1, NRE, output3, 1, 24, 1, Z)," &
    "26 (BC_1, *, control, 1), 27 (BC_1, RB, output3, X, 26, 1, Z), 28 (BC_4, RB, input, X)";
end SMALL;
)bsdl";

constexpr const char* kSmallBoard = R"(bsdl = small.bsd
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
)";

// Drives the small CPU cell by cell.
struct Small {
  Small() {
    std::ofstream(dir.file("small.bsd")) << kSmallCpu;
    std::ofstream(dir.file("small.board")) << kSmallBoard;
    port = make_port("board=" + dir.file("small.board"));
    cable = std::make_unique<Cable>(*port);
    cable->reset();
    // Every driver on, the flash idle, the CPU driving 0x00.
    for (int k = 0; k < 8; ++k) set(2 * k, k < 4 ? 0 : 1);
    for (int c : {16, 18, 20, 22, 24}) set(c, 0);
    for (int c : {17, 23, 25}) set(c, 1);
    set(26, 1);  // R/nB: the CPU's driver off
  }
  void set(int cell, int level) {
    vector[static_cast<std::size_t>(cell)] = static_cast<uint8_t>(level);
  }
  void put(uint8_t value) {
    for (int k = 0; k < 8; ++k) set(2 * k + 1, (value >> k) & 1);
  }
  std::vector<uint8_t> scan() { return cable->scan_dr(vector); }
  void instruction(uint8_t code) { static_cast<void>(cable->scan_ir(code, 3)); }
  // A command latch: CLE high, nWE low, nWE high.
  void command(uint8_t code) {
    put(code);
    set(19, 1);
    scan();
    set(23, 0);
    scan();
    set(23, 1);
    scan();
    set(19, 0);
    scan();
  }
  SimBoard& board() { return port->board(); }

  jtagnand::testing::TempDir dir;
  std::unique_ptr<SimPort> port;
  std::unique_ptr<Cable> cable;
  std::vector<uint8_t> vector = std::vector<uint8_t>(29, 0);
};

TEST(SimBoardFile, ControlCellsOfBothPolaritiesSwitchTheDrivers) {
  Small s;
  EXPECT_EQ(s.cable->read_dr32(), 0x10001003U);  // IDCODE after reset
  s.instruction(0b000);                          // EXTEST
  s.put(0x00);
  s.scan();
  EXPECT_EQ(s.board().data_bus(), 0x00);
  EXPECT_TRUE(s.board().net(Net::kNce));

  // Each data line's driver off by its own polarity: it floats (reads high).
  s.set(0, 1);  // D0: disable value 1
  s.set(8, 0);  // D4: disable value 0
  const auto captured = s.scan();
  EXPECT_EQ(s.board().data_bus(), 0x11);
  EXPECT_EQ(captured[1], 0);  // the capture shows the pins as the update before left them
  EXPECT_EQ(s.scan()[1], 1);  // ... then D0 floating high

  // nCE's driver off: the line floats high, so the flash stays deselected.
  s.set(17, 0);
  s.set(16, 1);
  s.scan();
  EXPECT_TRUE(s.board().net(Net::kNce));
  s.command(0x90);
  EXPECT_EQ(s.board().nand_counts().commands[0x90], 0U);
  EXPECT_EQ(s.board().violations(), 0U);
}

TEST(SimBoardFile, FloatingInputAtALatchAndASecondDriverOnRnbAreViolations) {
  Small s;
  s.instruction(0b000);
  s.set(17, 0);  // nCE low
  s.set(4, 1);   // D2 not driven
  s.scan();
  s.command(0xFF);
  EXPECT_EQ(s.board().violations(Violation::kFloatingInput), 1U);
  s.set(4, 0);
  s.command(0x70);
  EXPECT_EQ(s.board().violations(Violation::kFloatingInput), 1U);  // all driven: clean

  s.set(26, 0);  // the CPU's driver on R/nB
  s.scan();
  s.scan();
  EXPECT_EQ(s.board().violations(Violation::kSecondDriver), 1U);  // counted once per episode
  EXPECT_EQ(s.board().violations(), 2U);
}

TEST(SimBoardFile, PreloadThenExtestAndHighz) {
  Small s;
  s.instruction(0b010);  // SAMPLE/PRELOAD: the latches load, the pins stay with the CPU
  s.set(17, 0);
  s.set(19, 1);
  s.scan();
  EXPECT_TRUE(s.board().net(Net::kNce));
  EXPECT_FALSE(s.board().net(Net::kCle));
  s.instruction(0b000);  // EXTEST: the preloaded levels at once, before any data scan
  EXPECT_FALSE(s.board().net(Net::kNce));
  EXPECT_TRUE(s.board().net(Net::kCle));
  s.instruction(0b011);  // HIGHZ: every driver off, the lines float high
  EXPECT_TRUE(s.board().net(Net::kNce));
  EXPECT_EQ(s.board().data_bus(), 0xFF);
  s.instruction(0b101);  // a code the file does not list: BYPASS, the CPU's own logic
  EXPECT_EQ(s.cable->scan_dr({1, 0, 1}), (std::vector<uint8_t>{0, 1, 0}));
  EXPECT_TRUE(s.board().net(Net::kNce));
  EXPECT_FALSE(s.board().net(Net::kCle));
}

TEST(SimBoardFile, BadDescriptionsAreRefusedWithTheirLine) {
  jtagnand::testing::TempDir dir;
  std::ofstream(dir.file("small.bsd")) << kSmallCpu;
  std::string text = kSmallBoard;
  text.replace(text.find("RnB = RB"), 8, "RnB = RDY");
  std::ofstream(dir.file("bad.board")) << text;
  SimOptions options;
  std::string error;
  ASSERT_TRUE(parse_sim_options("board=" + dir.file("bad.board"), "", options, error));
  EXPECT_EQ(make_sim_port(options, error), nullptr);
  EXPECT_EQ(error, dir.file("bad.board") + ":15: RnB = RDY: RDY is not a port of SMALL");

  ASSERT_TRUE(parse_sim_options("board=" + dir.file("none.board"), "", options, error));
  EXPECT_EQ(make_sim_port(options, error), nullptr);
  EXPECT_EQ(error, dir.file("none.board") + ": cannot open the file");

  EXPECT_FALSE(parse_sim_options("cpu=KELDA,board=x.board", "", options, error));
  EXPECT_EQ(error, "sim options cpu= and board= exclude each other (board= describes the CPU)");
  EXPECT_TRUE(parse_sim_options("board=x.board", "KELDA", options, error)) << error;
}

}  // namespace
}  // namespace jtagnand::sim
