#include "nand/nand_bus.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nand/nand_device.h"
#include "nand/nand_identify.h"
#include "scan_decoder.h"
#include "sim/sim_board.h"

namespace jtagnand {
namespace {

using testing::ScanDecoder;
using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------------------
// Address layouts

struct LayoutCase {
  uint8_t device;
  uint32_t offset;
  Bytes column_and_row;
  Bytes row_only;
};

// The address bytes of a built-in chip, found by its device code; none for a
// code that is not built in.
std::vector<uint8_t> address_of(uint8_t device, AddressKind kind, uint64_t offset) {
  const ChipRow* chip = find_builtin_chip(device);
  if (chip == nullptr) return {};
  AddressBytes bytes{};
  const int n = nand_address_bytes(chip->chip, kind, offset, bytes);
  return {bytes, bytes + n};
}

TEST(NandAddressBytes, FollowTheChipsLayouts) {
  const std::vector<LayoutCase> cases = {
      // 2 KiB pages: two column cycles (bits 8-10 in the second), page number low byte first.
      {0xF1, 0x20000, {0x00, 0x00, 0x40, 0x00}, {0x40, 0x00}},
      {0xF1, 0x7FF, {0xFF, 0x07, 0x00, 0x00}, {0x00, 0x00}},
      {0xDA, 256u * 1024 * 1024 - 2048, {0x00, 0x00, 0xFF, 0xFF, 0x01}, {0xFF, 0xFF, 0x01}},
      {0xDC, 512u * 1024 * 1024 - 2048, {0x00, 0x00, 0xFF, 0xFF, 0x03}, {0xFF, 0xFF, 0x03}},
      {0xD3, 1024u * 1024 * 1024 - 256 * 1024, {0x00, 0x00, 0x80, 0xFF, 0x07}, {0x80, 0xFF, 0x07}},
      // 512-byte pages: one column cycle; offset bit 8 travels in no cycle.
      {0x76, 0x4000, {0x00, 0x20, 0x00, 0x00}, {0x20, 0x00, 0x00}},
      {0x76, 0xFFFFFF00, {0x00, 0xFF, 0xFF, 0x7F}, {0xFF, 0xFF, 0x7F}},
      {0x75, 32u * 1024 * 1024 - 512, {0x00, 0xFF, 0xFF}, {0xFF, 0xFF}},
      {0x75, 0x1FF, {0xFF, 0x00, 0x00}, {0x00, 0x00}},
      // 0x73: A9-A16, then A17-A23 (I/O7 don't care).
      {0x73, 16u * 1024 * 1024 - 16 * 1024, {0x00, 0xE0, 0x7F}, {0xE0, 0x7F}},
      {0x73, 0xFFFFFE00, {0x00, 0xFF, 0x7F}, {0xFF, 0x7F}},
      // 0xE6: A9-A16, then A17-A22 (I/O6-7 don't care).
      {0xE6, 8u * 1024 * 1024 - 8 * 1024, {0x00, 0xF0, 0x3F}, {0xF0, 0x3F}},
      {0xE6, 0xFFFFFE00, {0x00, 0xFF, 0x3F}, {0xFF, 0x3F}},
  };
  for (const LayoutCase& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "device 0x" << std::hex << int{c.device} << " offset 0x" << c.offset);
    EXPECT_EQ(address_of(c.device, AddressKind::kColumnAndRow, c.offset), c.column_and_row);
    EXPECT_EQ(address_of(c.device, AddressKind::kRowOnly, c.offset), c.row_only);
  }
}

TEST(NandAddressBytes, EverySupportedChipHasALayoutThatAddressesItsLastPage) {
  for (const ChipRow& row : chip_table()) {
    if (row.kind != ChipRowKind::kBuiltin) continue;
    SCOPED_TRACE(row.chip.name);
    // The last page and the last block must land on distinct, nonzero rows:
    // no bit of the page number may be cut off by a mask.
    const uint64_t last_page = row.chip.total_size() - row.chip.page_size;
    const uint64_t last_block = row.chip.total_size() - row.chip.block_size();
    const Bytes page = address_of(row.device_code, AddressKind::kColumnAndRow, last_page);
    const Bytes block = address_of(row.device_code, AddressKind::kRowOnly, last_block);
    const size_t columns = row.chip.page_size == 2048 ? 2 : 1;
    ASSERT_EQ(page.size(), columns + block.size());
    uint64_t page_number = 0;
    for (size_t i = columns; i < page.size(); ++i)
      page_number |= uint64_t{page[i]} << (8 * (i - columns));
    EXPECT_EQ(page_number, last_page / row.chip.page_size);
    uint64_t block_row = 0;
    for (size_t i = 0; i < block.size(); ++i) block_row |= uint64_t{block[i]} << (8 * i);
    EXPECT_EQ(block_row, last_block / row.chip.page_size);
  }
}

TEST(NandAddressBytes, UnknownCodeHasNoAddressCycles) {
  for (const uint8_t code : Bytes{0x00, 0x79, 0xFF}) {
    EXPECT_EQ(find_builtin_chip(code), nullptr);
    EXPECT_TRUE(address_of(code, AddressKind::kColumnAndRow, 0x4000).empty());
    EXPECT_TRUE(address_of(code, AddressKind::kRowOnly, 0x4000).empty());
  }
}

// ---------------------------------------------------------------------------
// Bus cycles, decoded from the cable's lines

class BusCycles : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    ASSERT_EQ(select_cpu_profile(active_, GetParam()), 0);
    for (const CpuProfile* cpu : cpu_profiles())
      if (cpu->name == GetParam()) cpu_ = cpu;
    port_ = std::make_unique<ScanDecoder>(cpu_->boundary_length);
    cable_ = LptCable{port_.get(), 0x378};
    bus_ = std::make_unique<NandBus>(NandBus{cable_, active_});
  }

  [[nodiscard]] const std::vector<ScanDecoder::Scan>& scans() const { return port_->scans(); }
  [[nodiscard]] char cell(size_t scan, uint32_t index) const { return scans()[scan].bits[index]; }

  // The byte the CPU drives in a scan's output cells.
  [[nodiscard]] uint8_t driven_byte(const std::string& bits) const {
    const DataBusCells& d = cpu_->data_bus;
    uint8_t value = 0;
    for (int k = 0; k < 8; ++k) {
      const auto index =
          static_cast<uint32_t>(static_cast<int32_t>(d.output_first) + k * d.output_stride);
      if (bits[index] == '1') value = static_cast<uint8_t>(value | (1u << k));
    }
    return value;
  }
  [[nodiscard]] bool drives(const std::string& bits) const {
    const DataBusCells& d = cpu_->data_bus;
    for (int k = 0; k < 8; ++k) {
      const auto index =
          static_cast<uint32_t>(static_cast<int32_t>(d.direction_first) + k * d.direction_stride);
      if (bits[index] != d.drive) return false;
    }
    return true;
  }
  [[nodiscard]] bool listens(const std::string& bits) const {
    const DataBusCells& d = cpu_->data_bus;
    for (int k = 0; k < 8; ++k) {
      const auto index =
          static_cast<uint32_t>(static_cast<int32_t>(d.direction_first) + k * d.direction_stride);
      if (bits[index] != d.listen) return false;
    }
    return true;
  }
  // A flash answering reads: each falling nRE edge puts the next byte of
  // `answers` on the bus, held while nRE stays low.
  void serve_bytes(std::vector<uint8_t> answers) {
    port_->on_capture([this, answers, next = size_t{0}, nre = '1'](const std::string& pins,
                                                                   std::string& capture) mutable {
      capture = pins;
      const char now = pins[cpu_->control.nre];
      if (now == '0' && nre == '1') ++next;
      nre = now;
      if (now == '0' && next >= 1 && next <= answers.size())
        present_byte(capture, answers[next - 1]);
    });
  }

  // Puts `value` on the input cells of a capture.
  void present_byte(std::string& capture, uint8_t value) const {
    const DataBusCells& d = cpu_->data_bus;
    for (int k = 0; k < 8; ++k) {
      const auto index =
          static_cast<uint32_t>(static_cast<int32_t>(d.input_first) + k * d.input_stride);
      capture[index] = ((value >> k) & 1) != 0 ? '1' : '0';
    }
  }

  ActiveProfile active_;
  const CpuProfile* cpu_ = nullptr;
  std::unique_ptr<ScanDecoder> port_;
  LptCable cable_;
  std::unique_ptr<NandBus> bus_;
};

TEST_P(BusCycles, ScanCountsPerOperation) {
  NandBus& bus = *bus_;
  struct Step {
    const char* what;
    std::function<void()> run;
    size_t scans;
    size_t captures;
  };
  const uint8_t data[3] = {0x5A, 0xA5, 0x3C};
  uint8_t sink[4]{};
  const std::vector<Step> steps = {
      {"chip select", [&] { nand_chip_select(bus, '0'); }, 1, 0},
      {"command", [&] { nand_command(bus, kNandCmdStatus); }, 4, 0},
      {"write 3", [&] { nand_write_bytes(bus, data, 3); }, 6, 0},
      {"write 0", [&] { nand_write_bytes(bus, data, 0); }, 0, 0},
      {"write -1", [&] { nand_write_bytes(bus, data, -1); }, 0, 0},
      {"read 4", [&] { nand_read_bytes(bus, sink, 4); }, 12, 4},
      {"read 0", [&] { nand_read_bytes(bus, sink, 0); }, 0, 0},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    port_->clear();
    step.run();
    EXPECT_EQ(scans().size(), step.scans);
    EXPECT_EQ(port_->capturing_scans(), step.captures);
    for (const auto& s : scans()) EXPECT_EQ(s.bits.size(), cpu_->boundary_length);
  }
  // Each scan of n cells is n + 6 clocks of two writes; a capture reads once per cell.
  port_->clear();
  nand_read_bytes(bus, sink, 1);
  EXPECT_EQ(port_->writes(), 3u * 2u * (cpu_->boundary_length + 6));
  EXPECT_EQ(port_->reads(), cpu_->boundary_length);
}

TEST_P(BusCycles, AddressCycleCostsTwoScansPerByteAndTwoForAle) {
  NandBus& bus = *bus_;
  for (const uint8_t code : Bytes{0x76, 0x75, 0x73, 0xE6, 0xF1, 0xDA, 0xDC, 0xD3}) {
    bus.flash.device_code = code;
    bus.flash.chip = find_builtin_chip(code)->chip;
    for (const AddressKind kind : {AddressKind::kColumnAndRow, AddressKind::kRowOnly}) {
      const Bytes expected = address_of(code, kind, 0x123400);
      port_->clear();
      nand_address(bus, kind, 0x123400);
      ASSERT_EQ(scans().size(), 2 * expected.size() + 2);
      // ALE rises alone, each byte goes out with nWE low and is latched as
      // nWE rises with the byte still there, then ALE falls alone.
      EXPECT_EQ(cell(0, cpu_->control.ale), '1');
      EXPECT_EQ(cell(0, cpu_->control.nwe), '1');
      for (size_t i = 0; i < expected.size(); ++i) {
        const size_t low = 1 + 2 * i;
        EXPECT_EQ(cell(low, cpu_->control.nwe), '0');
        EXPECT_EQ(cell(low + 1, cpu_->control.nwe), '1');
        EXPECT_EQ(driven_byte(scans()[low].bits), expected[i]);
        EXPECT_EQ(driven_byte(scans()[low + 1].bits), expected[i]);
        EXPECT_TRUE(drives(scans()[low].bits));
        EXPECT_EQ(cell(low, cpu_->control.ale), '1');
        EXPECT_EQ(cell(low + 1, cpu_->control.ale), '1');
      }
      EXPECT_EQ(scans().back().bits[cpu_->control.ale], '0');
      for (const auto& s : scans()) EXPECT_EQ(s.bits[cpu_->control.cle], '0');
    }
  }
}

TEST_P(BusCycles, CommandLatchSequence) {
  nand_command(*bus_, kNandCmdStatus);
  ASSERT_EQ(scans().size(), 4u);
  const char cle[] = {'1', '1', '1', '0'};
  const char nwe[] = {'1', '0', '1', '1'};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(cell(i, cpu_->control.cle), cle[i]) << i;
    EXPECT_EQ(cell(i, cpu_->control.nwe), nwe[i]) << i;
    EXPECT_EQ(cell(i, cpu_->control.ale), '0');
    EXPECT_EQ(cell(i, cpu_->control.nre), '1');
    EXPECT_EQ(driven_byte(scans()[i].bits), 0x70);
    EXPECT_TRUE(drives(scans()[i].bits));
  }
}

TEST_P(BusCycles, ChipSelectChangesOnlyNce) {
  nand_chip_select(*bus_, '1');
  const std::string before = scans().back().bits;
  nand_chip_select(*bus_, '0');
  const std::string after = scans().back().bits;
  ASSERT_EQ(before.size(), after.size());
  for (uint32_t i = 0; i < before.size(); ++i) {
    if (i == cpu_->control.nce) {
      EXPECT_EQ(before[i], '1');
      EXPECT_EQ(after[i], '0');
    } else {
      EXPECT_EQ(before[i], after[i]) << "cell " << i;
    }
  }
}

TEST_P(BusCycles, ReadSamplesWhileNreLowAndLeavesTheLinesListening) {
  NandBus& bus = *bus_;
  const uint8_t answers[] = {0xEC, 0xDA, 0x5A};
  serve_bytes({answers, answers + 3});
  nand_command(bus, kNandCmdReadId);
  port_->clear();
  uint8_t got[3]{};
  nand_read_bytes(bus, got, 3);
  EXPECT_EQ(Bytes(got, got + 3), Bytes(answers, answers + 3));
  ASSERT_EQ(scans().size(), 9u);
  for (size_t b = 0; b < 3; ++b) {
    EXPECT_EQ(cell(3 * b, cpu_->control.nre), '0');
    EXPECT_FALSE(scans()[3 * b].captured);
    EXPECT_EQ(cell(3 * b + 1, cpu_->control.nre), '0');
    EXPECT_TRUE(scans()[3 * b + 1].captured);
    EXPECT_EQ(cell(3 * b + 2, cpu_->control.nre), '1');
    EXPECT_FALSE(scans()[3 * b + 2].captured);
  }
  // The CPU's pins are inputs from the very first nRE edge on.
  for (const auto& s : scans()) EXPECT_TRUE(listens(s.bits));

  // A read of nothing scans nothing but still leaves the lines listening; a
  // chip select carries that state, the next command drives from its first scan.
  port_->clear();
  nand_read_bytes(bus, got, 0);
  EXPECT_TRUE(scans().empty());
  nand_chip_select(bus, '1');
  EXPECT_TRUE(listens(scans().back().bits));
  port_->clear();
  nand_command(bus, kNandCmdReset);
  EXPECT_TRUE(drives(scans().front().bits));
  EXPECT_EQ(driven_byte(scans().front().bits), kNandCmdReset);
}

TEST_P(BusCycles, ReadyWaitPollsUpTo4097Captures) {
  struct Case {
    int ready_on_poll;  // 0: never
    size_t captures;
    int32_t result;
  };
  for (const Case c : {Case{1, 1, 0}, Case{2, 2, 0}, Case{4096, 4096, 0}, Case{4097, 4097, -1},
                       Case{0, 4097, -1}}) {
    SCOPED_TRACE(c.ready_on_poll);
    int polls = 0;
    port_->on_capture([&](const std::string& pins, std::string& capture) {
      capture = pins;
      ++polls;
      capture[cpu_->control.rnb] = polls == c.ready_on_poll ? '1' : '0';
    });
    port_->clear();
    EXPECT_EQ(nand_wait_ready(*bus_), c.result);
    EXPECT_EQ(scans().size(), c.captures);
    EXPECT_EQ(port_->capturing_scans(), c.captures);
  }
}

TEST_P(BusCycles, ReadIdSequence) {
  serve_bytes({0x98, 0x76});
  ASSERT_EQ(nand_identify(*bus_).outcome, NandOutcome::kDone);
  // Select, 0x90, one address cycle, two reads, release: a small-page code
  // settles the chip.
  ASSERT_EQ(scans().size(), 1u + 4 + 4 + 6 + 1);
  EXPECT_EQ(driven_byte(scans()[1].bits), kNandCmdReadId);
  EXPECT_EQ(cell(5, cpu_->control.ale), '1');
  EXPECT_EQ(cell(6, cpu_->control.nwe), '0');
  EXPECT_EQ(driven_byte(scans()[6].bits), 0x00);
  EXPECT_EQ(cell(8, cpu_->control.ale), '0');
  EXPECT_EQ(cell(0, cpu_->control.nce), '0');
  EXPECT_EQ(scans().back().bits[cpu_->control.nce], '1');
  // Any maker is accepted for a listed device code.
  EXPECT_EQ(bus_->flash.maker_code, 0x98);
  EXPECT_EQ(bus_->flash.device_code, 0x76);
  EXPECT_STREQ(bus_->flash.chip.name, "64MBytes(K9F1208U0M)");
}

TEST_P(BusCycles, ReadIdOfALargePageCodeReadsTheFurtherBytesAndTheOnfiSignature) {
  // Toshiba TC58NVG1S3E: 2 KiB pages, 64 spare bytes, 128 KiB blocks, as the
  // built-in 0xDA chip.
  serve_bytes({0x98, 0xDA, 0x90, 0x15, 0x76, 0x14, 0x01, 0x00});
  ASSERT_EQ(nand_identify(*bus_).outcome, NandOutcome::kDone);
  // Select, 0x90, address 0x00, eight reads, release; then the same with
  // address 0x20 and four reads (no "ONFI" there).
  const size_t first = 1 + 4 + 4 + 8 * 3 + 1;
  ASSERT_EQ(scans().size(), first + 1 + 4 + 4 + 4 * 3 + 1);
  EXPECT_EQ(scans()[first - 1].bits[cpu_->control.nce], '1');
  EXPECT_EQ(scans()[first].bits[cpu_->control.nce], '0');
  EXPECT_EQ(driven_byte(scans()[first + 1].bits), kNandCmdReadId);
  EXPECT_EQ(driven_byte(scans()[first + 6].bits), 0x20);
  EXPECT_EQ(scans().back().bits[cpu_->control.nce], '1');
  EXPECT_EQ(bus_->flash.source, ChipSource::kBuiltin);
  EXPECT_STREQ(bus_->flash.chip.name, "256MBytes(K9F2G08U0M)");
  EXPECT_EQ(bus_->flash.chip.block_size(), 128u * 1024);
}

// The minimal cycles (a cable that asks for them; here the parallel port's
// fast option): two scans per cycle, each n + 4 clocks, straight from one
// Update-DR to the next Select-DR-Scan.
TEST_P(BusCycles, MinimalCyclesAreTwoScansEach) {
  cable_.fast = true;
  bus_ = std::make_unique<NandBus>(NandBus{cable_, active_});
  cable_.clock(false, false);  // Test-Logic-Reset -> Run-Test/Idle, where EXTEST leaves it
  NandBus& bus = *bus_;
  ASSERT_EQ(bus.traffic, BusTraffic::kMinimal);
  const uint32_t length = cpu_->boundary_length;
  // Each pair: the strobe falls with CLE, ALE and the byte at their levels,
  // then rises with nothing else changing.
  const auto expect_latch = [&](size_t first, char cle, char ale, uint8_t byte) {
    const std::string& low = scans()[first].bits;
    const std::string& high = scans()[first + 1].bits;
    EXPECT_EQ(low[cpu_->control.nwe], '0');
    EXPECT_EQ(low[cpu_->control.cle], cle);
    EXPECT_EQ(low[cpu_->control.ale], ale);
    EXPECT_EQ(driven_byte(low), byte);
    EXPECT_TRUE(drives(low));
    for (uint32_t i = 0; i < length; ++i) {
      if (i != cpu_->control.nwe) {
        EXPECT_EQ(high[i], low[i]) << "cell " << i;
      }
    }
    EXPECT_EQ(high[cpu_->control.nwe], '1');
  };
  nand_chip_select(bus, '0');
  port_->clear();
  nand_command(bus, kNandCmdProgram);
  ASSERT_EQ(scans().size(), 2u);
  expect_latch(0, '1', '0', kNandCmdProgram);
  EXPECT_EQ(port_->writes(), 2u * 2u * (length + 4));

  bus.flash.device_code = 0xDA;
  bus.flash.chip = find_builtin_chip(0xDA)->chip;
  port_->clear();
  nand_address(bus, AddressKind::kColumnAndRow, 0x123400);
  const Bytes address = address_of(0xDA, AddressKind::kColumnAndRow, 0x123400);
  ASSERT_EQ(scans().size(), 2 * address.size());
  for (size_t i = 0; i < address.size(); ++i) expect_latch(2 * i, '0', '1', address[i]);

  const uint8_t data[2] = {0x5A, 0xA5};
  port_->clear();
  nand_write_bytes(bus, data, 2);
  ASSERT_EQ(scans().size(), 4u);
  expect_latch(0, '0', '0', 0x5A);
  expect_latch(2, '0', '0', 0xA5);

  // After a latch cycle a read first lowers CLE and lets go of the data lines
  // in a scan of its own; then nRE falls, and the scan that raises it
  // captures the byte.
  const uint8_t answers[] = {0xEC, 0xDA};
  serve_bytes({answers, answers + 2});
  nand_command(bus, kNandCmdReadId);
  port_->clear();
  uint8_t got[2]{};
  nand_read_bytes(bus, got, 2);
  EXPECT_EQ(Bytes(got, got + 2), Bytes(answers, answers + 2));
  ASSERT_EQ(scans().size(), 5u);
  EXPECT_EQ(cell(0, cpu_->control.cle), '0');
  EXPECT_EQ(cell(0, cpu_->control.nre), '1');
  EXPECT_TRUE(listens(scans()[0].bits));
  for (size_t b = 0; b < 2; ++b) {
    EXPECT_EQ(cell(1 + 2 * b, cpu_->control.nre), '0');
    EXPECT_FALSE(scans()[1 + 2 * b].captured);
    EXPECT_EQ(cell(2 + 2 * b, cpu_->control.nre), '1');
    EXPECT_TRUE(scans()[2 + 2 * b].captured);
  }
  // A wait after a command: one scan lowers CLE, then the polls.
  nand_command(bus, kNandCmdProgramConfirm);
  port_->on_capture([&](const std::string& pins, std::string& capture) {
    capture = pins;
    capture[cpu_->control.rnb] = '1';
  });
  port_->clear();
  EXPECT_EQ(nand_wait_ready(bus), 0);
  ASSERT_EQ(scans().size(), 2u);
  EXPECT_FALSE(scans()[0].captured);
  EXPECT_EQ(cell(0, cpu_->control.cle), '0');
  EXPECT_TRUE(scans()[1].captured);
}

// The simulated board's checker against the program's own cable and scans: a
// read that takes its byte from the scan that drops nRE is caught; the minimal
// read cycle is clean.
TEST(BusCyclesOnTheBoard, ACaptureBeforeNreFellIsCaught) {
  sim::SimOptions options;
  std::string error;
  auto port = sim::make_sim_port(options, error);
  ASSERT_NE(port, nullptr) << error;
  LptCable cable(port.get(), port->base());
  cable.fast = true;
  ActiveProfile active;
  ASSERT_EQ(select_cpu_profile(active, "RQ7220"), 0);
  NandBus bus{cable, active};
  tap_reset(cable);
  enter_extest(cable, active);
  const uint8_t id_address = 0x00;
  nand_chip_select(bus, '0');
  nand_command(bus, kNandCmdReadId);
  nand_address_cycles(bus, &id_address, 1);
  uint8_t maker = 0;
  nand_read_bytes(bus, &maker, 1);
  EXPECT_EQ(maker, 0xEC);
  EXPECT_EQ(port->board().violations(), 0u);

  // The wrong way round: the capture read in the scan whose update drops nRE,
  // none in the one that raises it.
  std::vector<char> capture(active.boundary_length());
  active.vector[active.cells.nre] = '0';
  scan_dr_back_to_back(cable, active.chain, active.vector.data(), capture.data(),
                       active.boundary_length());
  active.vector[active.cells.nre] = '1';
  scan_dr_back_to_back(cable, active.chain, active.vector.data(), nullptr,
                       active.boundary_length());
  cable.clock(false, false);  // Update-DR -> Run-Test/Idle: the last update takes effect
  EXPECT_EQ(port->board().violations(sim::Violation::kEarlyCapture), 1u);
  EXPECT_EQ(port->board().violations(), 1u);
}

INSTANTIATE_TEST_SUITE_P(AllCpus, BusCycles, ::testing::Values("RQ7220", "ZELT", "TOMUX", "KELDA"));

}  // namespace
}  // namespace jtagnand
