// Reading a chain's IDCODEs and checking its instruction registers, from the
// bits a chain puts on TDO.

#include "jtag/chain.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace jtagnand {
namespace {

// A cable whose TDO answers a script, one bit per sample, then a level that
// stays; it records what went out on TDI while it answered.
class ScriptedCable final : public Cable {
 public:
  ScriptedCable(std::string script, bool then) : script_(std::move(script)), then_(then) {}
  void clock(bool /*tms*/, bool tdi) override { last_tdi_ = tdi; }
  [[nodiscard]] bool read_tdo() override {
    tdi_seen += last_tdi_ ? '1' : '0';
    if (next_ < script_.size()) return script_[next_++] == '1';
    return then_;
  }
  [[nodiscard]] std::string announcement() const override { return {}; }

  std::string tdi_seen;

 private:
  std::string script_;
  bool then_;
  std::size_t next_ = 0;
  bool last_tdi_ = false;
};

// An IDCODE as the chain shifts it out: bit 0 first.
std::string idcode_bits(uint32_t value) {
  std::string bits;
  for (int bit = 0; bit < 32; ++bit) bits += ((value >> bit) & 1U) != 0 ? '1' : '0';
  return bits;
}

TEST(ChainIdcodes, DevicesInTheOrderTheyComeOutAndTheEndOfTheChain) {
  const struct {
    const char* what;
    std::string tdo;
    bool then;
    std::vector<ChainDevice> devices;
    bool ended;
  } cases[] = {
      {"two IDCODEs around a bypass register",
       idcode_bits(0x4BA00477) + "0" + idcode_bits(0x06413041),
       true,
       {{true, 0x4BA00477}, {false, 0}, {true, 0x06413041}},
       true},
      {"bypass registers only", "000", true, {{}, {}, {}}, true},
      {"nothing answers: TDO high", "", true, {}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedCable cable(c.tdo, c.then);
    const ChainReading reading = read_chain_idcodes(cable, 1);
    ASSERT_EQ(reading.devices.size(), c.devices.size());
    for (std::size_t n = 0; n < c.devices.size(); ++n) {
      EXPECT_EQ(reading.devices[n].has_idcode, c.devices[n].has_idcode) << n;
      EXPECT_EQ(reading.devices[n].idcode, c.devices[n].idcode) << n;
    }
    EXPECT_EQ(reading.ended, c.ended);
    // Ones go in at TDI, enough for the expected device and eight more.
    EXPECT_EQ(cable.tdi_seen, std::string(32 * 10, '1'));
  }
  // A chain far longer than expected, or TDO held low, never ends.
  ScriptedCable low("", false);
  EXPECT_FALSE(read_chain_idcodes(low, 1).ended);
}

TEST(ChainInstructionRegisters, EachCapturePatternWhereItsRegisterStarts) {
  const std::vector<int> lengths{4, 6, 3};  // nearest TDO first
  const std::string captured =
      "1000"
      "101100"
      "100";
  const struct {
    const char* what;
    std::string tdo;
    bool matches;
  } cases[] = {
      {"as described", captured + std::string(32, '1'), true},
      {"one register a bit longer",
       "10000"
       "101100"
       "100" +
           std::string(32, '1'),
       false},
      {"one register a bit shorter",
       "100"
       "101100"
       "100" +
           std::string(32, '1'),
       false},
      {"a device more at TDI", captured + "10" + std::string(32, '1'), false},
      {"nothing answers", std::string(45, '1'), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedCable cable(c.tdo, true);
    EXPECT_EQ(chain_ir_matches(cable, lengths), c.matches);
    EXPECT_EQ(cable.tdi_seen, std::string(13 + 32, '1'));
  }
}

}  // namespace
}  // namespace jtagnand
