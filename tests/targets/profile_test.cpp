#include "targets/profile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace jtagnand {
namespace {

ActiveProfile select(std::string_view name) {
  ActiveProfile active;
  EXPECT_EQ(select_cpu_profile(active, name), 0) << name;
  return active;
}

std::string cells(const BoundaryVector& vector) {
  return {vector.data(), vector.length};
}

// Cells first, first + stride, ... (count of them).
std::vector<uint32_t> run(uint32_t first, int32_t stride, uint32_t count = 8) {
  std::vector<uint32_t> out;
  for (uint32_t k = 0; k < count; ++k)
    out.push_back(
        static_cast<uint32_t>(static_cast<int32_t>(first) + stride * static_cast<int32_t>(k)));
  return out;
}

TEST(CpuProfiles, SelectionCopiesTheProfileIntoTheRun) {
  struct Case {
    const char* name;
    const char* idcode;
    const char* instruction;
    uint32_t length;
  };
  const Case cases[] = {
      {"RQ7220", "00110000000000000010011010010011", "1011", 298},
      {"ZELT", "00110000000000000010011010010011", "1011", 185},
      {"TOMUX", "00000000010110100011000011100101", "1000", 412},
      {"KELDA", "00000000110100110001011001011011", "0101", 298},
  };
  ASSERT_EQ(cpu_profiles().size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    EXPECT_EQ(cpu_profiles()[i]->name, c.name);
    ActiveProfile active = select(c.name);
    EXPECT_EQ(active.name, c.name);
    EXPECT_EQ(active.expected_idcode, c.idcode);
    EXPECT_EQ(active.idcode_instruction, c.instruction);
    EXPECT_EQ(active.boundary_length(), c.length);
    EXPECT_EQ(cells(active.vector), cpu_profiles()[i]->default_vector);
    EXPECT_EQ(active.toggle_test, cpu_profiles()[i]->toggle_test);
    EXPECT_FALSE(active.chain_described);
  }
}

TEST(CpuProfiles, NearMissesSelectNothing) {
  ActiveProfile fresh;
  for (const char* name : {"rq7220", "RQ7220 ", " ZELT", "Kelda", "TOMUX\n", "", "RQ722"})
    EXPECT_EQ(select_cpu_profile(fresh, name), -1) << '"' << name << '"';
  EXPECT_TRUE(fresh.name.empty());
  EXPECT_EQ(fresh.boundary_length(), 0u);

  // A miss after a selection leaves the run's profile and its edited vector alone.
  ActiveProfile active = select("KELDA");
  active.vector[0] = '0';
  EXPECT_EQ(select_cpu_profile(active, "ZELT "), -1);
  EXPECT_EQ(active.name, "KELDA");
  EXPECT_EQ(active.vector[0], '0');
  EXPECT_EQ(active.idcode_instruction, "0101");
}

TEST(DataBus, Rq7220WritesA5LowBitFirstAndDrives) {
  for (const uint32_t value : {0xA5u, 0x1A5u}) {
    ActiveProfile active = select("RQ7220");
    const std::string before = cells(active.vector);
    active.set_data_direction(kDataListen);
    active.put_data_byte(value, 8);
    std::string expected = before;
    const char* bits = "10100101";
    for (uint32_t k = 0; k < 8; ++k) expected[211 + 2 * k] = bits[k];
    for (const uint32_t cell : run(212, 2)) expected[cell] = '0';
    EXPECT_EQ(cells(active.vector), expected) << std::hex << value;
  }
}

TEST(DataBus, KeldaWritesDownwardWithActiveHighEnables) {
  ActiveProfile active = select("KELDA");
  std::string expected = cells(active.vector);
  active.set_data_direction(kDataListen);
  for (const uint32_t cell : run(153, 2)) EXPECT_EQ(active.vector[cell], '0');
  active.put_data_byte(0x01, 8);
  expected[166] = '1';
  for (const uint32_t cell : {164u, 162u, 160u, 158u, 156u, 154u, 152u}) expected[cell] = '0';
  for (const uint32_t cell : run(153, 2)) expected[cell] = '1';
  EXPECT_EQ(cells(active.vector), expected);
}

struct BusLayout {
  const char* name;
  std::vector<uint32_t> outputs, inputs, directions;
  char drive, listen;
};

const std::vector<BusLayout>& layouts() {
  static const std::vector<BusLayout> all{
      {"RQ7220", run(211, 2), run(211, 2), run(212, 2), '0', '1'},
      {"ZELT", run(63, 2), run(63, 2), run(64, 2), '0', '1'},
      {"TOMUX", run(166, 3), run(168, 3), run(167, 3), '0', '1'},
      {"KELDA", run(166, -2), run(166, -2), run(153, 2), '1', '0'},
  };
  return all;
}

TEST(DataBus, EveryByteLandsOnlyInItsOwnCellsAndReadsBack) {
  for (const BusLayout& bus : layouts()) {
    SCOPED_TRACE(bus.name);
    ActiveProfile active = select(bus.name);
    ActiveProfile& io = active;
    for (const uint32_t cell : bus.directions) EXPECT_EQ(active.vector[cell], bus.drive);
    for (uint32_t value = 0; value < 256; ++value) {
      io.set_data_direction(kDataListen);
      std::string expected = cells(active.vector);
      for (const uint32_t cell : bus.directions) EXPECT_EQ(expected[cell], bus.listen);
      io.put_data_byte(value | 0x300u, 8);
      for (uint32_t k = 0; k < 8; ++k) expected[bus.outputs[k]] = ((value >> k) & 1u) ? '1' : '0';
      for (const uint32_t cell : bus.directions) expected[cell] = bus.drive;
      ASSERT_EQ(cells(active.vector), expected) << value;

      // Read back through a capture that shows what the vector drives: the
      // same byte where the input cell is the output cell.
      const CaptureVector capture(active.vector.cells.begin(), active.vector.cells.end());
      if (bus.inputs == bus.outputs) {
        ASSERT_EQ(io.get_data_byte(capture), value);
      }
    }
  }
}

TEST(DataBus, FewerBitsLeaveTheHigherOutputCellsAlone) {
  ActiveProfile active = select("ZELT");
  active.put_data_byte(0xFF, 8);
  active.put_data_byte(0x00, 3);
  const CaptureVector capture(active.vector.cells.begin(), active.vector.cells.end());
  EXPECT_EQ(active.get_data_byte(capture), 0xF8);
}

TEST(DataBus, TomuxReadsItsOwnInputCells) {
  ActiveProfile active = select("TOMUX");
  ActiveProfile& io = active;
  CaptureVector capture(active.vector.cells.begin(), active.vector.cells.end());
  EXPECT_EQ(io.get_data_byte(capture), 0x00);

  // put_data_byte never touches the input cells: what it wrote is not read.
  io.put_data_byte(0xFF, 8);
  std::copy(active.vector.cells.begin(), active.vector.cells.end(), capture.begin());
  EXPECT_EQ(io.get_data_byte(capture), 0x00);

  const char* bits = "01011010";  // bit 0 first: 0x5A
  for (uint32_t k = 0; k < 8; ++k) capture[168 + 3 * k] = bits[k];
  EXPECT_EQ(io.get_data_byte(capture), 0x5A);
}

TEST(DataBus, OnlyTheCharacterOneReadsAsOne) {
  for (const BusLayout& bus : layouts()) {
    SCOPED_TRACE(bus.name);
    ActiveProfile active = select(bus.name);
    CaptureVector capture(kMaxBoundaryLength, '1');
    const char odd[8] = {'x', '\0', '1', '2', 'I', '1', ' ', '0'};
    for (uint32_t k = 0; k < 8; ++k) capture[bus.inputs[k]] = odd[k];
    EXPECT_EQ(active.get_data_byte(capture), 0x24);
  }
}

}  // namespace
}  // namespace jtagnand
