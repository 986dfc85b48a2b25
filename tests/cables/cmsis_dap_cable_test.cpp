// The CMSIS-DAP cable on the virtual probe, without the USB stack: packets
// filled to the probe's size and kept in flight up to its count, captures in
// their places across packets, and a TDO sample with no clock before it read
// from the pins.

#include "cables/cmsis_dap_cable.h"

#include <gtest/gtest.h>

#include <string>

#include "jtag/tap.h"
#include "sim/ftdi/virtual_dap.h"

namespace jtagnand {
namespace {

struct DapRig {
  DapRig(uint16_t packet_size, uint8_t packet_count) {
    sim::VirtualDapOptions options;
    options.board.cpu = sim::Cpu::kKelda;
    options.packet_size = packet_size;
    options.packet_count = packet_count;
    std::string error;
    probe = sim::VirtualDap::create(options, error);
    cable = std::make_unique<DapCable>(std::make_unique<sim::VirtualDapTransport>(*probe),
                                       "virtual probe", DapProbeInfo{packet_size, packet_count},
                                       1'000'000);
    EXPECT_TRUE(cable->start(error)) << error;
  }
  std::unique_ptr<sim::VirtualDap> probe;
  std::unique_ptr<DapCable> cable;
};

uint32_t value_of(const char* bits, int count) {
  uint32_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = value << 1 | (bits[i] == '1' ? 1U : 0U);
  return value;
}

// Reset, IDCODE and a 32-bit scan in one packet of 512 bytes.
TEST(DapCable, AnIdcodeReadIsOnePacket) {
  DapRig rig(512, 4);
  const uint64_t before = rig.probe->counts().packets;
  tap_reset(*rig.cable);
  char capture[33] = {};
  const std::string ones(32, '1');
  scan_dr_capture(*rig.cable, Chain{}, ones.c_str(), capture, 32);
  rig.cable->flush();
  EXPECT_EQ(rig.probe->counts().packets - before, 1u);
  EXPECT_EQ(value_of(capture, 32), rig.probe->board().idcode());
  EXPECT_EQ(rig.probe->counts().bad_commands, 0u);
  // Nothing clocked since: the sample reads the TDO pin (DAP_SWJ_Pins).
  char pin = 0;
  rig.cable->sample(&pin);
  rig.cable->flush();
  EXPECT_EQ(pin, rig.probe->board().tdo() ? '1' : '0');
}

// 64-byte packets, two in flight: a 2000-bit shift through the boundary
// register spreads over many packets, none too large for the probe, and every
// captured bit comes back in its place: what went in comes out again 298 clocks
// later.
TEST(DapCable, ALongCaptureSpreadsOverSmallPacketsInOrder) {
  DapRig rig(64, 2);
  tap_reset(*rig.cable);
  scan_ir(*rig.cable, Chain{}, 4, kInstructionCodes.extest.data());
  std::string in(2000, '0');
  for (std::size_t i = 0; i < in.size(); ++i) in[i] = ((i * 7) % 5 < 2) ? '1' : '0';
  std::string out(in.size(), '?');
  const uint32_t length = static_cast<uint32_t>(in.size());
  scan_whole_chain_dr(*rig.cable, in.c_str(), out.data(), length);
  rig.cable->flush();
  EXPECT_GE(rig.probe->counts().packets, 2000u / (62 * 8) + 1);  // 62 answer bytes a packet
  EXPECT_EQ(rig.probe->counts().bad_commands, 0u);
  const auto cells = static_cast<std::size_t>(rig.probe->board().boundary_length());
  EXPECT_EQ(out.substr(cells), in.substr(0, in.size() - cells));
  EXPECT_EQ(out.find('?'), std::string::npos);
}

}  // namespace
}  // namespace jtagnand
