#include "jtag/chain.h"

#include "jtag/tap.h"

namespace jtagnand {

namespace {

// Devices a scan looks for beyond those expected, so that a chain longer than
// described is seen as such rather than cut off.
constexpr uint32_t kExtraDevices = 8;
// No device reads all ones as its IDCODE (that manufacturer code is not
// assigned): 32 ones are the fill coming back, the chain's end.
constexpr uint32_t kAllOnes = 0xFFFFFFFFU;

}  // namespace

ChainReading read_chain_idcodes(Cable& cable, uint32_t expected_devices) {
  const uint32_t length = kIdcodeLength * (expected_devices + kExtraDevices + 1);
  const std::string fill(length, '1');
  std::string capture(length, '0');
  tap_reset(cable);
  scan_whole_chain_dr(cable, fill.data(), capture.data(), length);
  cable.flush();

  ChainReading reading;
  uint32_t at = 0;
  while (at + kIdcodeLength <= length) {
    if (capture[at] == '0') {  // a bypass register
      reading.devices.push_back({});
      ++at;
      continue;
    }
    uint32_t value = 0;
    for (uint32_t bit = 0; bit < kIdcodeLength; ++bit)
      value |= static_cast<uint32_t>(capture[at + bit] == '1') << bit;
    if (value == kAllOnes) {
      reading.ended = true;
      break;
    }
    reading.devices.push_back({.has_idcode = true, .idcode = value});
    at += kIdcodeLength;
  }
  return reading;
}

bool chain_ir_matches(Cable& cable, const std::vector<int>& lengths) {
  uint32_t total = 0;
  for (const int bits : lengths) total += static_cast<uint32_t>(bits);
  const uint32_t length = total + kIdcodeLength;  // and 32 of the ones shifted in
  const std::string fill(length, '1');
  std::string capture(length, '0');
  scan_whole_chain_ir(cable, fill.data(), capture.data(), length);
  cable.flush();
  uint32_t at = 0;
  for (const int bits : lengths) {
    if (capture[at] != '1' || capture[at + 1] != '0') return false;
    at += static_cast<uint32_t>(bits);
  }
  return capture.find('0', total) == std::string::npos;
}

Chain chain_position(const std::vector<int>& tdi_side, const std::vector<int>& tdo_side) {
  Chain chain;
  for (const int bits : tdi_side) chain.tdi_side_ir_bits += static_cast<uint32_t>(bits);
  for (const int bits : tdo_side) chain.tdo_side_ir_bits += static_cast<uint32_t>(bits);
  chain.tdi_side_devices = static_cast<uint32_t>(tdi_side.size());
  chain.tdo_side_devices = static_cast<uint32_t>(tdo_side.size());
  return chain;
}

}  // namespace jtagnand
