// The NAND side of the board, driven the way a host would: raw port writes,
// EXTEST, one full boundary scan per pin change.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "onfi_pages.h"
#include "run_program.h"
#include "sim/board_layouts.h"
#include "sim/sim_board.h"
#include "sim_cable.h"
#include "test_files.h"

namespace jtagnand::sim {
namespace {

using testing::Cable;
using testing::NandDriver;
using jtagnand::testing::file_bytes;

struct Rig {
  explicit Rig(const std::string& text) {
    SimOptions options;
    std::string error;
    EXPECT_TRUE(parse_sim_options(text, "", options, error)) << error;
    port = make_sim_port(options, error);
    EXPECT_NE(port, nullptr) << error;
    cable = std::make_unique<Cable>(*port);
    nand = std::make_unique<NandDriver>(*cable, board_layout(options.cpu));
    nand->start();
  }
  SimBoard& board() { return port->board(); }
  std::unique_ptr<SimPort> port;
  std::unique_ptr<Cable> cable;
  std::unique_ptr<NandDriver> nand;
};

// Address bytes as the chips' datasheets lay them out: a read or program sends
// the column, then the page number low byte first; an erase only the page part.
std::vector<uint8_t> address_bytes(uint8_t code, uint32_t offset, bool erase) {
  auto b = [&](int shift, uint32_t mask) { return static_cast<uint8_t>((offset >> shift) & mask); };
  std::vector<uint8_t> out;
  switch (code) {
    case 0xE6:
      out = {b(0, 0xFF), b(9, 0xFF), b(17, 0x3F)};
      break;
    case 0x73:
      out = {b(0, 0xFF), b(9, 0xFF), b(17, 0x7F)};
      break;
    case 0x75:
      out = {b(0, 0xFF), b(9, 0xFF), b(17, 0xFF)};
      break;
    case 0x76:
      out = {b(0, 0xFF), b(9, 0xFF), b(17, 0xFF), b(25, 0x7F)};
      break;
    case 0xF1:
      out = {b(0, 0xFF), b(8, 0x07), b(11, 0xFF), b(19, 0xFF)};
      break;
    case 0xDA:
      out = {b(0, 0xFF), b(8, 0x07), b(11, 0xFF), b(19, 0xFF), b(27, 0x01)};
      break;
    case 0xDC:
      out = {b(0, 0xFF), b(8, 0x07), b(11, 0xFF), b(19, 0xFF), b(27, 0x03)};
      break;
    case 0xD3:
      out = {b(0, 0xFF), b(8, 0x07), b(11, 0xFF), b(19, 0xFF), b(27, 0x07)};
      break;
    default:
      break;
  }
  const bool large = code == 0xF1 || code == 0xDA || code == 0xDC || code == 0xD3;
  if (erase) out.erase(out.begin(), out.begin() + (large ? 2 : 1));
  return out;
}

bool large_page(uint8_t code) {
  return code == 0xF1 || code == 0xDA || code == 0xDC || code == 0xD3;
}

// Full sequences, the way a careful host runs them.
uint8_t erase_block(Rig& rig, uint8_t code, uint32_t offset) {
  auto& n = *rig.nand;
  n.select(0);
  n.command(0x60);
  n.address(address_bytes(code, offset, true));
  n.command(0xD0);
  EXPECT_GE(n.wait_ready(), 0);
  const uint8_t status = n.status();
  n.select(1);
  return status;
}

uint8_t program_page(Rig& rig, uint8_t code, uint32_t offset, const std::vector<uint8_t>& data) {
  auto& n = *rig.nand;
  n.select(0);
  n.command(0x80);
  n.address(address_bytes(code, offset, false));
  n.write(data);
  n.command(0x10);
  EXPECT_GE(n.wait_ready(), 0);
  const uint8_t status = n.status();
  n.select(1);
  return status;
}

std::vector<uint8_t> read_page(Rig& rig, uint8_t code, uint32_t offset, std::size_t count) {
  auto& n = *rig.nand;
  n.select(0);
  n.command(0x00);
  n.address(address_bytes(code, offset, false));
  if (large_page(code)) n.command(0x30);
  EXPECT_GE(n.wait_ready(), 0);
  auto data = n.read(count);
  n.select(1);
  return data;
}

std::vector<uint8_t> read_id(Rig& rig, std::size_t count) {
  auto& n = *rig.nand;
  n.select(0);
  n.command(0x90);
  n.address({0x00});
  auto id = n.read(count);
  n.select(1);
  return id;
}

std::vector<uint8_t> pattern(std::size_t length, unsigned seed) {
  const auto bytes = jtagnand::testing::test_pattern(length, seed);
  return {bytes.begin(), bytes.end()};
}

constexpr uint8_t kCodes[] = {0x76, 0x75, 0x73, 0xE6, 0xF1, 0xDA, 0xDC, 0xD3};
constexpr const char* kCpuNames[] = {"RQ7220", "ZELT", "KELDA", "TOMUX"};

TEST(SimNand, ReadIdOfEveryChipThroughEveryCpu) {
  for (const char* cpu : kCpuNames) {
    for (uint8_t code : kCodes) {
      SCOPED_TRACE(std::string(cpu) + " code " + std::to_string(code));
      Rig rig("cpu=" + std::string(cpu) + ",nand=" + std::to_string(code) + ",maker=0x98");
      EXPECT_EQ(read_id(rig, 2), (std::vector<uint8_t>{0x98, code}));
      EXPECT_EQ(rig.board().violations(), 0U);
      EXPECT_EQ(rig.board().nand_counts().commands[0x90], 1U);
    }
  }
}

TEST(SimNand, LargePageChipsAlsoGiveTheOrganisationByte) {
  Rig f1("nand=0xF1");
  const auto id = read_id(f1, 4);
  EXPECT_EQ(id[0], 0xEC);
  EXPECT_EQ(id[1], 0xF1);
  EXPECT_EQ(id[3], 0x15);
  Rig d3("nand=0xD3");
  EXPECT_EQ(read_id(d3, 4)[3], 0x25);
  Rig other("nand=0x79,maker=0x2C");  // a code no table knows still answers
  EXPECT_EQ(read_id(other, 2), (std::vector<uint8_t>{0x2C, 0x79}));
}

std::vector<uint8_t> read_id_at(Rig& rig, uint8_t address, std::size_t count) {
  auto& n = *rig.nand;
  n.select(0);
  n.command(0x90);
  n.address({address});
  auto id = n.read(count);
  n.select(1);
  return id;
}

// A parameter page with the fields the board takes its organisation from.
std::vector<uint8_t> parameter_page(uint32_t page, uint16_t spare, uint32_t per_block,
                                    uint32_t blocks, uint8_t luns, uint8_t cycles) {
  const auto bytes = jtagnand::testing::onfi_page(
      {"MAKER", "MODEL", 0x2C, page, spare, per_block, blocks, luns, cycles});
  return {bytes.begin(), bytes.end()};
}

std::string onfi_file(const jtagnand::testing::TempDir& dir,
                      const std::vector<std::vector<uint8_t>>& copies) {
  std::vector<unsigned char> bytes;
  for (const auto& c : copies) bytes.insert(bytes.end(), c.begin(), c.end());
  jtagnand::testing::write_file(dir.file("onfi.bin"), bytes);
  return dir.file("onfi.bin");
}

TEST(SimOnfi, SignatureAtAddress0x20AndTheParameterPageCopies) {
  const jtagnand::testing::TempDir dir;
  const auto page = parameter_page(2048, 64, 64, 1024, 1, 0x22);
  Rig onfi("id=EF:A1:00:95:00,busy=4,onfi=" + onfi_file(dir, {page}));
  EXPECT_EQ(read_id_at(onfi, 0x00, 5), (std::vector<uint8_t>{0xEF, 0xA1, 0x00, 0x95, 0x00}));
  EXPECT_EQ(read_id_at(onfi, 0x20, 4), (std::vector<uint8_t>{'O', 'N', 'F', 'I'}));
  auto& n = *onfi.nand;
  n.select(0);
  n.command(0xEC);
  n.address({0x00});
  EXPECT_FALSE(onfi.board().net(Net::kRnb));  // busy while the page is fetched
  EXPECT_GE(n.wait_ready(), 0);
  const auto served = n.read(3 * 256 + 1);  // one page in the file: three copies
  n.select(1);
  for (std::size_t copy = 0; copy < 3; ++copy)
    EXPECT_EQ(std::vector<uint8_t>(served.begin() + static_cast<long>(copy * 256),
                                   served.begin() + static_cast<long>(copy * 256 + 256)),
              page)
        << copy;
  EXPECT_EQ(served.back(), 0xFF);
  EXPECT_EQ(onfi.board().violations(), 0U);

  // Several copies are served as given.
  auto first = page;
  first[7] ^= 0x40;
  Rig given("id=EF:A1,onfi=" + onfi_file(dir, {first, page}));
  auto& g = *given.nand;
  g.select(0);
  g.command(0xEC);
  g.address({0x00});
  EXPECT_GE(g.wait_ready(), 0);
  const auto two = g.read(512);
  EXPECT_EQ(std::vector<uint8_t>(two.begin(), two.begin() + 256), first);
  EXPECT_EQ(std::vector<uint8_t>(two.begin() + 256, two.end()), page);

  // A chip without ONFI answers 0x20 with its ID and ignores 0xEC.
  Rig plain("nand=0xDA");
  EXPECT_EQ(read_id_at(plain, 0x20, 4), (std::vector<uint8_t>{0xEC, 0xDA, 0x80, 0x15}));
  auto& p = *plain.nand;
  p.select(0);
  p.command(0xEC);
  p.address({0x00});
  EXPECT_TRUE(plain.board().net(Net::kRnb));
  EXPECT_EQ(p.read(1)[0], 0xFF);
  p.select(1);
}

TEST(SimOnfi, OrganisationFromThePageThenTheFourthIdByteThenTheCode) {
  const jtagnand::testing::TempDir dir;
  const auto page = parameter_page(4096, 224, 128, 4096, 2, 0x23);
  auto bad = page;
  bad[100] = 1;  // one LUN, and a CRC that fails: not the chip's organisation
  const struct {
    std::string options;
    uint64_t total;
    uint32_t page_size, block_size;
    int address_cycles, erase_cycles;
  } cases[] = {
      {"id=2C:48:01:26:89,onfi=" + onfi_file(dir, {bad, page}), 4ULL << 30, 4096, 512 * 1024, 5, 3},
      {"id=EC:A1:00:15:40", 128ULL << 20, 2048, 128 * 1024, 4, 2},
      {"id=EC:D5:14:B6:74", 2ULL << 30, 4096, 512 * 1024, 5, 3},
      {"nand=0xD3,id=EC:DA", 256ULL << 20, 2048, 128 * 1024, 5, 3},  // id= wins over nand=
      {"nand=0xA5", 2ULL << 30, 2048, 128 * 1024, 5, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    Rig rig(c.options);
    const ChipGeometry& g = rig.board().chip();
    EXPECT_EQ(g.total_size, c.total);
    EXPECT_EQ(g.page_size, c.page_size);
    EXPECT_EQ(g.block_size, c.block_size);
    EXPECT_EQ(g.address_cycles, c.address_cycles);
    EXPECT_EQ(g.erase_cycles, c.erase_cycles);
  }
}

// A two-LUN chip of 4 KiB pages: the LUN bit sits above the block bits of the
// third row cycle.
TEST(SimOnfi, TheLastPageOfTheSecondLun) {
  const jtagnand::testing::TempDir dir;
  Rig rig("busy=0,id=2C:48:01:26:89,onfi=" +
          onfi_file(dir, {parameter_page(4096, 224, 128, 4096, 2, 0x23)}));
  auto& n = *rig.nand;
  const auto data = pattern(4096, 11);
  n.select(0);
  n.command(0x80);
  n.address({0x00, 0x00, 0xFF, 0xFF, 0x0F});
  n.write(data);
  n.command(0x10);
  EXPECT_GE(n.wait_ready(), 0);
  EXPECT_EQ(n.status(), 0xC0);
  n.select(1);
  const uint64_t last = (uint64_t{4} << 30) - 4096;
  EXPECT_EQ(rig.board().read_flash(last, 4096), data);
  n.select(0);
  n.command(0x60);
  n.address({0x80, 0xFF, 0x0F});  // the last block's first page
  n.command(0xD0);
  EXPECT_GE(n.wait_ready(), 0);
  n.select(1);
  EXPECT_EQ(rig.board().read_flash(last, 4096), std::vector<uint8_t>(4096, 0xFF));
  EXPECT_EQ(rig.board().violations(), 0U);
}

// Erase, program twice (AND), read back, status and busy on one chip.
void exercise_chip(const std::string& cpu, uint8_t code) {
  SCOPED_TRACE(cpu + " code " + std::to_string(code));
  Rig rig("cpu=" + cpu + ",nand=" + std::to_string(code) + ",busy=3");
  const ChipGeometry& g = rig.board().chip();
  const uint32_t page = g.page_size;
  const uint32_t offset = 5 * g.block_size + 3 * page;  // somewhere inside block 5

  std::vector<uint8_t> stale(page, 0x00);
  rig.board().write_flash(offset, stale);
  EXPECT_EQ(erase_block(rig, code, 5 * g.block_size), 0xC0);  // ready, not protected, pass
  EXPECT_EQ(rig.board().read_flash(offset, page), std::vector<uint8_t>(page, 0xFF));

  const auto first = pattern(page, 7);
  EXPECT_EQ(program_page(rig, code, offset, first), 0xC0);
  EXPECT_EQ(rig.board().read_flash(offset, page), first);
  // A second program can only clear bits.
  const auto second = pattern(page, 8);
  EXPECT_EQ(program_page(rig, code, offset, second), 0xC0);
  std::vector<uint8_t> anded(page);
  for (std::size_t i = 0; i < page; ++i) anded[i] = static_cast<uint8_t>(first[i] & second[i]);
  EXPECT_EQ(rig.board().read_flash(offset, page), anded);
  EXPECT_EQ(read_page(rig, code, offset, page), anded);
  // Neighbours untouched.
  EXPECT_EQ(rig.board().read_flash(offset - page, page), std::vector<uint8_t>(page, 0xFF));
  EXPECT_EQ(rig.board().read_flash(offset + page, page), std::vector<uint8_t>(page, 0xFF));

  const NandCounts& counts = rig.board().nand_counts();
  EXPECT_EQ(counts.programs, 2U);
  EXPECT_EQ(counts.erases, 1U);
  EXPECT_EQ(counts.reads, 1U);
  EXPECT_EQ(counts.commands[0x80], 2U);
  EXPECT_EQ(rig.board().violations(), 0U);
}

TEST(SimNand, SmallAndLargePageChipsEraseProgramAndRead) {
  exercise_chip("RQ7220", 0x75);
  exercise_chip("KELDA", 0x76);
  exercise_chip("TOMUX", 0xDA);
  exercise_chip("ZELT", 0xF1);
}

TEST(SimNand, ChipsAddressedAsTheirDatasheetsSay) {
  for (uint8_t code : kCodes) {
    SCOPED_TRACE(code);
    Rig rig("nand=" + std::to_string(code) + ",busy=0");
    const ChipGeometry& g = rig.board().chip();
    // The last page of the chip: every address bit set.
    const auto offset = static_cast<uint32_t>(g.total_size - g.page_size);
    const auto data = pattern(16, code);
    EXPECT_EQ(program_page(rig, code, offset, data), 0xC0);
    EXPECT_EQ(rig.board().read_flash(offset, 16), data);
    EXPECT_EQ(rig.board().nand_counts().last_address.size(), 0U);  // cleared by 0x70
    EXPECT_EQ(read_page(rig, code, offset, 16), data);
    EXPECT_EQ(erase_block(rig, code, static_cast<uint32_t>(g.total_size - g.block_size)), 0xC0);
    EXPECT_EQ(rig.board().read_flash(offset, 16), std::vector<uint8_t>(16, 0xFF));
    EXPECT_EQ(rig.board().violations(), 0U);
  }
}

TEST(SimNand, ReadyLineLowForTheConfiguredCaptures) {
  // Every Capture-DR counts, the one of the scan that lowers CLE after the
  // command included.
  Rig rig("nand=0x75,busy=7");
  auto& n = *rig.nand;
  n.select(0);
  n.command(0xFF);
  EXPECT_FALSE(rig.board().net(Net::kRnb));
  EXPECT_EQ(n.wait_ready(), 6);  // 1 + 6 captures saw busy, the next one ready
  EXPECT_TRUE(rig.board().net(Net::kRnb));
  n.command(0x60);
  n.address({0x00, 0x00});
  n.command(0xD0);                // busy from here: 7 captures, the first in this command
  n.command(0x70);                // 4 more
  EXPECT_EQ(n.read(1)[0], 0x80);  // 2 more: status shows bit 6 clear
  EXPECT_EQ(n.read(1)[0], 0xC0);  // status mode lasts until the next command
  EXPECT_EQ(rig.board().violations(), 0U);
}

TEST(SimNand, SmallPageReadStartsAfterTheLastAddressCycle) {
  Rig rig("nand=0xE6,busy=3");
  const auto data = pattern(512, 3);
  rig.board().write_flash(8192 + 512, data);
  auto& n = *rig.nand;
  n.select(0);
  n.command(0x00);
  n.address(address_bytes(0xE6, 8192 + 512, false));
  EXPECT_FALSE(rig.board().net(Net::kRnb));
  EXPECT_EQ(n.wait_ready(), 2);  // the capture of the ALE-low scan was the first
  EXPECT_EQ(n.read(512), data);
  // 0x01 points into the second half of the page.
  n.command(0x01);
  n.address({0x10, 0x11, 0x00});
  EXPECT_EQ(n.wait_ready(), 2);
  EXPECT_EQ(n.read(1)[0], data[256 + 0x10]);
  n.select(1);
  EXPECT_EQ(rig.board().violations(), 0U);
}

TEST(SimNand, LargePageReadNeedsTheConfirm) {
  Rig rig("nand=0xDA");
  const auto data = pattern(64, 4);
  rig.board().write_flash(2048 * 9 + 100, data);
  auto& n = *rig.nand;
  n.select(0);
  n.command(0x00);
  n.address(address_bytes(0xDA, 2048 * 9 + 100, false));
  EXPECT_TRUE(rig.board().net(Net::kRnb));  // nothing started yet
  EXPECT_EQ(n.read(1)[0], 0xFF);            // and nobody drives the lines
  n.command(0x00);
  n.address(address_bytes(0xDA, 2048 * 9 + 100, false));
  n.command(0x30);
  EXPECT_EQ(n.wait_ready(), 1);
  EXPECT_EQ(n.read(64), data);
  n.select(1);
  EXPECT_EQ(rig.board().violations(), 0U);
}

TEST(SimNand, NetsIdleOutsideExtestAndFollowTheLatchesInIt) {
  Rig rig("cpu=TOMUX");
  auto& b = rig.board();
  auto& n = *rig.nand;
  n.select(0);
  n.put(0xA5);
  n.set(board_layout(Cpu::kTomux).cle, 1);
  n.scan();
  EXPECT_FALSE(b.net(Net::kNce));
  EXPECT_TRUE(b.net(Net::kCle));
  EXPECT_EQ(b.data_bus(), 0xA5);
  EXPECT_TRUE(b.net(Net::kIo0));
  EXPECT_FALSE(b.net(Net::kIo1));
  rig.cable->reset();  // the CPU's own logic takes the pins back
  EXPECT_TRUE(b.net(Net::kNce));
  EXPECT_FALSE(b.net(Net::kCle));
  EXPECT_TRUE(b.net(Net::kNwe));
  EXPECT_TRUE(b.net(Net::kNre));
  EXPECT_EQ(b.data_bus(), 0xFF);  // not driven: floats high
}

TEST(SimNand, UpdateAndInstructionObservers) {
  Rig rig("cpu=ZELT");
  std::string latches;
  std::vector<uint8_t> instructions;
  rig.board().set_update_observer([&](std::string_view text) { latches = std::string(text); });
  rig.board().set_instruction_observer([&](uint8_t ir) { instructions.push_back(ir); });
  static_cast<void>(rig.cable->scan_ir(0xF));
  static_cast<void>(rig.cable->scan_ir(0x0));
  EXPECT_EQ(instructions, (std::vector<uint8_t>{0xF, 0x0}));
  std::vector<uint8_t> bits(185, 0);
  bits[0] = 1;
  bits[101] = 1;
  bits[184] = 1;
  static_cast<void>(rig.cable->scan_dr(bits));
  ASSERT_EQ(latches.size(), 185U);
  EXPECT_EQ(latches[0], '1');
  EXPECT_EQ(latches[101], '1');
  EXPECT_EQ(latches[184], '1');
  EXPECT_EQ(latches.substr(1, 100), std::string(100, '0'));
  EXPECT_TRUE(rig.board().net(Net::kNce));  // cell 101 high: chip enable released
}

TEST(SimNand, CapturedCellsShowPinsUnwiredCellsKeepTheirBits) {
  Rig rig("cpu=RQ7220");
  std::vector<uint8_t> bits(298, 0);
  bits[5] = 1;                                                                  // wired to nothing
  bits[199] = 1;                                                                // nCE
  bits[207] = 1;                                                                // nWE
  bits[205] = 1;                                                                // nRE
  for (int k = 0; k < 8; ++k) bits[static_cast<std::size_t>(212 + 2 * k)] = 1;  // data lines listen
  static_cast<void>(rig.cable->scan_dr(bits));
  const auto captured = rig.cable->scan_dr(bits);
  EXPECT_EQ(captured[5], 1);
  EXPECT_EQ(captured[6], 0);
  EXPECT_EQ(captured[199], 1);
  EXPECT_EQ(captured[209], 1);  // R/nB: ready
  for (int k = 0; k < 8; ++k)
    EXPECT_EQ(captured[static_cast<std::size_t>(211 + 2 * k)], 1);  // floating
}

// ---------------------------------------------------------------- faults

TEST(SimFaults, BadBlockFailsItsEraseOnly) {
  Rig rig("nand=0xF1,bad=3");
  const uint32_t block = 128 * 1024;
  const auto data = pattern(32, 9);
  rig.board().write_flash(3 * block, data);
  EXPECT_EQ(erase_block(rig, 0xF1, 3 * block), 0xC1);
  EXPECT_EQ(rig.board().read_flash(3 * block, 32), data);
  EXPECT_EQ(erase_block(rig, 0xF1, 4 * block), 0xC0);
}

TEST(SimFaults, ProgfailLeavesThePageUnchanged) {
  Rig rig("nand=0x75,progfail=40");
  EXPECT_EQ(program_page(rig, 0x75, 40 * 512, pattern(512, 1)), 0xC1);
  EXPECT_EQ(rig.board().read_flash(40 * 512, 512), std::vector<uint8_t>(512, 0xFF));
  EXPECT_EQ(program_page(rig, 0x75, 41 * 512, pattern(512, 1)), 0xC0);
}

TEST(SimFaults, FlipInvertsBitZeroOnReadBackOnly) {
  Rig rig("nand=0xDA,flip=0x805");
  const auto data = pattern(2048, 2);
  EXPECT_EQ(program_page(rig, 0xDA, 0x800, data), 0xC0);
  EXPECT_EQ(rig.board().read_flash(0x800, 2048), data);
  auto expected = data;
  expected[5] ^= 0x01;
  EXPECT_EQ(read_page(rig, 0xDA, 0x800, 2048), expected);
}

TEST(SimFaults, BusyNeverAndHangPerOperation) {
  {
    Rig rig("busy=never");
    rig.nand->select(0);
    rig.nand->command(0xFF);
    EXPECT_EQ(rig.nand->wait_ready(200), -1);
  }
  {
    Rig rig("nand=0xDA,hang=erase");
    auto& n = *rig.nand;
    n.select(0);
    n.command(0xFF);
    EXPECT_EQ(n.wait_ready(), 1);  // the reset before it behaves
    n.command(0x60);
    n.address(address_bytes(0xDA, 0, true));
    n.command(0xD0);
    EXPECT_EQ(n.wait_ready(200), -1);
    EXPECT_EQ(n.status(), 0x80);
    n.command(0xFF);  // a reset ends it
    EXPECT_EQ(n.wait_ready(), 1);
    EXPECT_EQ(rig.board().violations(), 0U);
  }
  {
    Rig rig("nand=0xDA,hang=read,hang=program");
    auto& n = *rig.nand;
    n.select(0);
    n.command(0x60);
    n.address(address_bytes(0xDA, 0, true));
    n.command(0xD0);
    EXPECT_EQ(n.wait_ready(), 1);
    n.command(0x80);
    n.address(address_bytes(0xDA, 0, false));
    n.command(0x10);
    EXPECT_EQ(n.wait_ready(200), -1);
  }
}

// ---------------------------------------------------------------- checker

TEST(SimChecker, CleanSequencesCountNothing) {
  Rig rig("nand=0xDC");
  static_cast<void>(read_id(rig, 4));
  EXPECT_EQ(erase_block(rig, 0xDC, 0), 0xC0);
  EXPECT_EQ(program_page(rig, 0xDC, 0, pattern(2048, 5)), 0xC0);
  EXPECT_EQ(read_page(rig, 0xDC, 0, 2048), pattern(2048, 5));
  EXPECT_EQ(rig.board().violations(), 0U);
  EXPECT_EQ(rig.port->stats().violations, 0U);
}

TEST(SimChecker, EachKindFiresOnItsCraftedSequence) {
  const auto& cells = board_layout(Cpu::kRq7220);
  {  // the CPU drives while the flash answers
    Rig rig("");
    auto& n = *rig.nand;
    n.select(0);
    n.command(0x70);
    n.set(cells.nre, 0);
    n.scan();  // data lines still driven from the command
    EXPECT_EQ(rig.board().violations(Violation::kBusConflict), 1U);
  }
  {  // data changes in the update that raises nWE
    Rig rig("");
    auto& n = *rig.nand;
    n.select(0);
    n.put(0x90);
    n.set(cells.cle, 1);
    n.scan();
    n.set(cells.nwe, 0);
    n.scan();
    n.put(0x91);
    n.set(cells.nwe, 1);
    n.scan();
    EXPECT_EQ(rig.board().violations(Violation::kStrobeSkew), 1U);
    EXPECT_EQ(rig.board().violations(), 1U);
  }
  {  // CLE dropped together with the rising nWE
    Rig rig("");
    auto& n = *rig.nand;
    n.select(0);
    n.put(0x70);
    n.set(cells.cle, 1);
    n.scan();
    n.set(cells.nwe, 0);
    n.scan();
    n.set(cells.nwe, 1);
    n.set(cells.cle, 0);
    n.scan();
    EXPECT_EQ(rig.board().violations(Violation::kStrobeSkew), 1U);
  }
  {  // CLE and ALE together
    Rig rig("");
    auto& n = *rig.nand;
    n.select(0);
    n.set(cells.cle, 1);
    n.set(cells.ale, 1);
    n.command(0x00);
    EXPECT_EQ(rig.board().violations(Violation::kCleAndAle), 1U);
  }
  {  // a program command while an erase runs
    Rig rig("busy=10");
    auto& n = *rig.nand;
    n.select(0);
    n.command(0x60);
    n.address({0, 0, 0});
    n.command(0xD0);
    n.command(0x80);
    EXPECT_EQ(rig.board().violations(Violation::kCommandWhileBusy), 1U);
    n.command(0x70);  // status and reset are allowed
    n.command(0xFF);
    EXPECT_EQ(rig.board().violations(), 1U);
  }
  {  // nWE and nRE low together
    Rig rig("");
    auto& n = *rig.nand;
    n.select(0);
    n.set(cells.nwe, 0);
    n.set(cells.nre, 0);
    n.listen();
    n.scan();
    EXPECT_EQ(rig.board().violations(Violation::kWeAndRe), 1U);
  }
  {  // confirms short of address cycles
    Rig rig("nand=0xDA");
    auto& n = *rig.nand;
    n.select(0);
    n.command(0x60);
    n.address({0x40, 0x00});  // the chip needs three row cycles
    n.command(0xD0);
    n.command(0x80);
    n.command(0x10);
    EXPECT_EQ(rig.board().violations(Violation::kConfirmWithoutAddress), 2U);
    EXPECT_EQ(rig.board().nand_counts().erases, 0U);
    EXPECT_EQ(n.status() & 0x01, 0x01);
  }
  {  // the byte read from the scan whose update drops nRE, none while it is low
    Rig rig("");
    auto& n = *rig.nand;
    n.select(0);
    n.command(0x90);
    n.address({0x00});
    n.listen();
    n.set(cells.nre, 0);
    n.scan();  // read out, but captured while nRE was still high
    rig.cable->sampling(false);
    n.set(cells.nre, 1);
    n.scan();  // captured the maker code, never read out
    EXPECT_EQ(rig.board().violations(Violation::kEarlyCapture), 1U);
    EXPECT_EQ(rig.board().violations(), 1U);
  }
  {  // the same two scans, the capture of the second one read: clean
    Rig rig("");
    auto& n = *rig.nand;
    n.select(0);
    n.command(0x90);
    n.address({0x00});
    n.listen();
    n.set(cells.nre, 0);
    rig.cable->sampling(false);
    n.scan();
    rig.cable->sampling(true);
    n.set(cells.nre, 1);
    n.scan();
    EXPECT_EQ(n.captured_byte(), 0xEC);
    EXPECT_EQ(rig.board().violations(), 0U);
  }
  {  // nRE falls in the update that lowers CLE
    Rig rig("");
    auto& n = *rig.nand;
    n.select(0);
    n.put(0x70);
    n.set(cells.cle, 1);
    n.set(cells.nwe, 0);
    n.scan();
    n.set(cells.nwe, 1);
    n.scan();
    n.set(cells.cle, 0);
    n.listen();
    n.set(cells.nre, 0);
    n.scan();
    EXPECT_EQ(rig.board().violations(Violation::kReadAfterLatch), 1U);
    EXPECT_EQ(rig.board().violations(), 1U);
  }
  {  // with nCE high the strobes mean nothing
    Rig rig("");
    auto& n = *rig.nand;
    n.set(cells.nwe, 0);
    n.set(cells.nre, 0);
    n.scan();
    n.set(cells.cle, 1);
    n.set(cells.ale, 1);
    n.set(cells.nwe, 1);
    n.scan();
    EXPECT_EQ(rig.board().violations(), 0U);
  }
}

TEST(SimCheckerDeathTest, StrictEndsTheProcessAtTheFirstViolation) {
  EXPECT_EXIT(
      {
        Rig rig("strict");
        auto& n = *rig.nand;
        n.select(0);
        n.set(board_layout(Cpu::kRq7220).nwe, 0);
        n.set(board_layout(Cpu::kRq7220).nre, 0);
        n.scan();
      },
      ::testing::ExitedWithCode(3), "sim: protocol violation: nWE and nRE low together");
}

TEST(SimStats, LinePrintedWhenThePortGoesAway) {
  ::testing::internal::CaptureStderr();
  {
    Rig rig("stats");
    static_cast<void>(read_id(rig, 2));
  }
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("sim: writes=", 0), 0U) << err;
  EXPECT_NE(err.find(" ir_scans=1 dr_scans="), std::string::npos) << err;
  EXPECT_NE(err.find(" violations=0\n"), std::string::npos) << err;
}

// ---------------------------------------------------------------- flash file

TEST(SimFlashFile, SurvivesFromOneBoardToTheNext) {
  jtagnand::testing::TempDir dir;
  const std::string path = dir.file("chip.bin");
  const auto data = pattern(512, 11);
  {
    Rig rig("nand=0xE6,flash=" + path);
    EXPECT_EQ(program_page(rig, 0xE6, 0x4000, data), 0xC0);
  }
  ASSERT_EQ(std::filesystem::file_size(path), 8U * 1024 * 1024);
  EXPECT_EQ(file_bytes(path, 0, 1), std::vector<uint8_t>{0xFF});
  EXPECT_EQ(file_bytes(path, 0x4000, 512), data);
  {
    Rig rig("nand=0xE6,flash=" + path);
    EXPECT_EQ(read_page(rig, 0xE6, 0x4000, 512), data);
    EXPECT_EQ(erase_block(rig, 0xE6, 0x4000), 0xC0);
  }
  EXPECT_EQ(file_bytes(path, 0x4000, 512), std::vector<uint8_t>(512, 0xFF));
}

TEST(SimFlashFile, ShortFileExtendedLongFileRefused) {
  jtagnand::testing::TempDir dir;
  const std::string path = dir.file("image.bin");
  jtagnand::testing::write_file(path, {0x12, 0x34});
  {
    Rig rig("nand=0xE6,flash=" + path);
    EXPECT_EQ(rig.board().read_flash(0, 3), (std::vector<uint8_t>{0x12, 0x34, 0xFF}));
  }
  EXPECT_EQ(std::filesystem::file_size(path), 8U * 1024 * 1024);

  SimOptions options;
  std::string error;
  ASSERT_TRUE(parse_sim_options("nand=0xE6,flash=" + path, "", options, error));
  options.nand_code = 0xE6;
  std::filesystem::resize_file(path, 8U * 1024 * 1024 + 1);
  EXPECT_EQ(make_sim_port(options, error), nullptr);
  EXPECT_NE(error.find(path), std::string::npos);
  options.flash_path = dir.file("no/such/dir/chip.bin");
  EXPECT_EQ(make_sim_port(options, error), nullptr);
}

// Two boards on one file would each report success over a file that holds
// neither image: while one board holds the file, a second is refused.
TEST(SimFlashFile, SecondBoardOnTheSameFileIsRefused) {
  jtagnand::testing::TempDir dir;
  const std::string path = dir.file("chip.bin");
  const auto data = pattern(512, 12);
  SimOptions options;
  std::string error;
  ASSERT_TRUE(parse_sim_options("nand=0xE6,flash=" + path, "", options, error));
  {
    Rig first("nand=0xE6,flash=" + path);
    EXPECT_EQ(make_sim_port(options, error), nullptr);
    EXPECT_EQ(error, "flash file " + path + ": in use by another simulated board");
    EXPECT_EQ(program_page(first, 0xE6, 0x4000, data), 0xC0);
  }
  // Once the first board is gone, the file is free again.
  Rig next("nand=0xE6,flash=" + path);
  EXPECT_EQ(read_page(next, 0xE6, 0x4000, 512), data);
}

TEST(SimFlashFile, MemoryChipOfAGigabyteCostsOnlyWhatIsWritten) {
  Rig rig("nand=0xD3");
  const auto data = pattern(2048, 6);
  const auto last = static_cast<uint32_t>(rig.board().chip().total_size - 2048);
  EXPECT_EQ(program_page(rig, 0xD3, last, data), 0xC0);
  EXPECT_EQ(rig.board().read_flash(last, 2048), data);
  EXPECT_EQ(rig.board().read_flash(0, 4), std::vector<uint8_t>(4, 0xFF));
}

// ---------------------------------------------------------------- spare area

TEST(SimSpare, LargePagesReachTheSpareAreaThroughTheColumnAddress) {
  Rig rig("nand=0xDA,busy=0");
  auto& n = *rig.nand;
  // Page 9's spare area from byte 3 on: column 2048 + 3.
  n.select(0);
  n.command(0x80);
  n.address({0x03, 0x08, 9, 0, 0});
  n.write({0x12, 0x34});
  n.command(0x10);
  EXPECT_GE(n.wait_ready(), 0);
  EXPECT_EQ(n.status(), 0xC0);
  n.command(0x00);
  n.address({0x00, 0x08, 9, 0, 0});
  n.command(0x30);
  EXPECT_GE(n.wait_ready(), 0);
  EXPECT_EQ(n.read(6), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0x12, 0x34, 0xFF}));
  n.select(1);
  EXPECT_EQ(rig.board().read_spare(9)[3], 0x12);
  EXPECT_EQ(rig.board().read_flash(9 * 2048, 2048), std::vector<uint8_t>(2048, 0xFF));
  EXPECT_EQ(erase_block(rig, 0xDA, 0), 0xC0);
  EXPECT_EQ(rig.board().read_spare(9), std::vector<uint8_t>(64, 0xFF));
  EXPECT_EQ(rig.board().violations(), 0U);
}

TEST(SimSpare, SmallPagesReachItThroughThe0x50Pointer) {
  Rig rig("nand=0x76,busy=0");
  auto& n = *rig.nand;
  const std::vector<uint8_t> row = {0x41, 0x00, 0x00};  // page 65: block 2, page 1
  auto program = [&](std::vector<uint8_t> pointers, uint8_t column, std::vector<uint8_t> data) {
    n.select(0);
    for (uint8_t p : pointers) n.command(p);
    n.command(0x80);
    std::vector<uint8_t> address = {column};
    address.insert(address.end(), row.begin(), row.end());
    n.address(address);
    n.write(data);
    n.command(0x10);
    EXPECT_GE(n.wait_ready(), 0);
    n.select(1);
  };
  // 0x50 points a program's data into the spare area, and stays there.
  program({0x50}, 0x02, {0xAB});
  program({}, 0x04, {0xCD});
  // 0x00 points back to the main area.
  program({0x00}, 0x00, {0x5A});
  auto spare = rig.board().read_spare(65);
  EXPECT_EQ(spare[2], 0xAB);
  EXPECT_EQ(spare[4], 0xCD);
  EXPECT_EQ(rig.board().read_flash(65 * 512, 2), (std::vector<uint8_t>{0x5A, 0xFF}));
  // 0x50 reads from the spare byte the column names (its low four bits).
  n.select(0);
  n.command(0x50);
  std::vector<uint8_t> address = {0x12};
  address.insert(address.end(), row.begin(), row.end());
  n.address(address);
  EXPECT_GE(n.wait_ready(), 0);
  EXPECT_EQ(n.read(3), (std::vector<uint8_t>{0xAB, 0xFF, 0xCD}));
  n.select(1);
  EXPECT_EQ(rig.board().violations(), 0U);
}

TEST(SimSpare, MarkedBlocksInTheFileBesideTheFlashFileAndWipedByAnErase) {
  jtagnand::testing::TempDir dir;
  const std::string path = dir.file("chip.bin");
  const std::string oob = path + ".oob";
  const struct {
    uint8_t code;
    uint32_t pages_per_block, spare, marker;
  } chips[] = {{0xE6, 16, 16, 5}, {0xF1, 64, 64, 0}};
  for (const auto& c : chips) {
    SCOPED_TRACE(c.code);
    std::filesystem::remove(path);
    std::filesystem::remove(oob);
    const std::string board = "nand=" + std::to_string(c.code) + ",marked=3,marked=7,flash=" + path;
    {
      Rig rig(board);
      const ChipGeometry& g = rig.board().chip();
      ASSERT_EQ(std::filesystem::file_size(oob), g.total_size / g.page_size * c.spare);
      const auto mark_at = [&](uint32_t block) {
        return block * c.pages_per_block * c.spare + c.marker;
      };
      EXPECT_EQ(file_bytes(oob, mark_at(3), 1), std::vector<uint8_t>{0x00});
      EXPECT_EQ(file_bytes(oob, mark_at(7), 1), std::vector<uint8_t>{0x00});
      EXPECT_EQ(file_bytes(oob, mark_at(3) - 1, 1), std::vector<uint8_t>{0xFF});
      EXPECT_EQ(file_bytes(oob, mark_at(4), 1), std::vector<uint8_t>{0xFF});
      // An erase succeeds and wipes the mark, as on a real chip.
      EXPECT_EQ(erase_block(rig, c.code, 3 * g.block_size), 0xC0);
      EXPECT_EQ(file_bytes(oob, mark_at(3), 1), std::vector<uint8_t>{0xFF});
      EXPECT_EQ(file_bytes(oob, mark_at(7), 1), std::vector<uint8_t>{0x00});
    }
    {
      // A board without marked= finds what the file holds.
      Rig rig("nand=" + std::to_string(c.code) + ",flash=" + path);
      EXPECT_EQ(rig.board().read_spare(3 * c.pages_per_block)[c.marker], 0xFF);
      EXPECT_EQ(rig.board().read_spare(7 * c.pages_per_block)[c.marker], 0x00);
    }
  }
}

TEST(SimSpare, AFileTheBoardCannotUseIsRefusedAndNothingChanges) {
  jtagnand::testing::TempDir dir;
  const std::string path = dir.file("chip.bin");
  const std::string oob = path + ".oob";
  SimOptions options;
  std::string error;
  ASSERT_TRUE(parse_sim_options("nand=0xE6,flash=" + path, "", options, error));

  // Longer than the chip's spare areas (8 MiB of 512-byte pages: 256 KiB).
  jtagnand::testing::write_file(oob, std::vector<unsigned char>(256 * 1024 + 1, 0x42));
  EXPECT_EQ(make_sim_port(options, error), nullptr);
  EXPECT_NE(error.find("spare-area file " + oob), std::string::npos) << error;
  EXPECT_FALSE(std::filesystem::exists(path));  // the main file was not created either
  EXPECT_EQ(std::filesystem::file_size(oob), 256U * 1024 + 1);

  // A directory in its place.
  std::filesystem::remove(oob);
  std::filesystem::create_directory(oob);
  jtagnand::testing::write_file(path, {0x12});
  EXPECT_EQ(make_sim_port(options, error), nullptr);
  EXPECT_NE(error.find("not a plain file"), std::string::npos) << error;
  EXPECT_EQ(std::filesystem::file_size(path), 1U);

  // A short one is extended with erased bytes, what it held kept.
  std::filesystem::remove(oob);
  jtagnand::testing::write_file(oob, {0x00, 0x01});
  {
    auto port = make_sim_port(options, error);
    ASSERT_NE(port, nullptr) << error;
    EXPECT_EQ(port->board().read_spare(0)[1], 0x01);
    EXPECT_EQ(port->board().read_spare(0)[2], 0xFF);
  }
  EXPECT_EQ(std::filesystem::file_size(oob), 256U * 1024);
}

}  // namespace
}  // namespace jtagnand::sim
