// The virtual chip's MPSSE engine with hand-assembled commands: replies and
// their bit positions, the bad-command answer, GPIO, the H-series-only
// commands, buffers that stop the host, and an IDCODE read off the board.

#include "sim/ftdi/mpsse_engine.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/ftdi/virtual_ftdi.h"

namespace jtagnand::sim {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes run(MpsseEngine& engine, const Bytes& commands) {
  EXPECT_EQ(engine.take(commands), commands.size());
  Bytes replies(engine.replies_waiting());
  EXPECT_EQ(engine.give_replies(replies.data(), replies.size()), replies.size());
  return replies;
}

TEST(MpsseEngine, RepliesOfEachCommandKind) {
  const struct {
    const char* what;
    bool high_speed;
    Bytes commands;
    Bytes replies;
  } cases[] = {
      {"unknown opcode", true, {0xAB}, {0xFA, 0xAB}},
      {"H-series command on an FT2232D", false, {0x8A, 0x97}, {0xFA, 0x8A, 0xFA, 0x97}},
      {"H-series commands", true, {0x8A, 0x97, 0x8D, 0x86, 0x00, 0x00}, {}},
      // With loopback TDO is TDI. Bytes come back LSB first ...
      {"bytes out and in", true, {0x84, 0x39, 0x01, 0x00, 0xA5, 0x3C}, {0xA5, 0x3C}},
      // ... n bits read LSB first at the top of their byte ...
      {"3 bits, LSB first", true, {0x84, 0x3B, 0x02, 0x05}, {0xA0}},
      // ... MSB first at the bottom.
      {"3 bits, MSB first", true, {0x84, 0x33, 0x02, 0xA0}, {0x05}},
      {"TMS with read: TDI from bit 7", true, {0x84, 0x6B, 0x01, 0x81}, {0xC0}},
      {"TMS with read, TDI low", true, {0x84, 0x6B, 0x02, 0x07}, {0x00}},
      // Outputs read back their level; inputs the outside: TDO (nothing
      // attached: high) and pull-ups.
      {"low GPIO", true, {0x80, 0x0A, 0x0B, 0x81}, {0xFE}},
      {"high GPIO", true, {0x82, 0x03, 0x0F, 0x83}, {0xF3}},
      {"a command across two writes", true, {0x84, 0x39, 0x00}, {}},
  };
  for (const auto& c : cases) {
    MpsseEngine engine(nullptr, c.high_speed, 4096, 4096);
    engine.set_mpsse(true);
    EXPECT_EQ(run(engine, c.commands), c.replies) << c.what;
  }
  MpsseEngine engine(nullptr, true, 4096, 4096);
  engine.set_mpsse(true);
  EXPECT_EQ(run(engine, {0x84, 0x39, 0x00}), Bytes{});
  EXPECT_EQ(run(engine, {0x00, 0x5A}), Bytes{0x5A});
}

TEST(MpsseEngine, OutsideMpsseModeCommandsAreDropped) {
  MpsseEngine engine(nullptr, true, 4096, 4096);
  EXPECT_EQ(engine.take(Bytes{0x81, 0xAB}), 2u);
  EXPECT_EQ(engine.replies_waiting(), 0u);
}

// A host that sends commands without reading their replies is stopped once
// both buffers are full, and goes on when it reads.
TEST(MpsseEngine, FullBuffersStopTheHost) {
  MpsseEngine engine(nullptr, true, 8, 4);
  engine.set_mpsse(true);
  const Bytes reads(20, 0x81);
  const size_t taken = engine.take(reads);
  EXPECT_EQ(taken, 12u);  // 4 carried out, 8 waiting
  EXPECT_EQ(engine.replies_waiting(), 4u);
  EXPECT_EQ(engine.replies_sendable(510), 0u);  // no send-immediate, no full packet
  uint8_t out[4];
  EXPECT_EQ(engine.give_replies(out, 4), 4u);
  EXPECT_EQ(engine.take(std::span(reads).subspan(taken)), 4u);
  EXPECT_EQ(engine.take(Bytes{0x87}), 0u);
  EXPECT_EQ(engine.give_replies(out, 4), 4u);
  EXPECT_EQ(engine.take(Bytes{0x87}), 1u);
}

// An IDCODE read with MPSSE commands assembled by hand, on the board.
TEST(MpsseEngine, ReadsTheIdcodeOffTheBoard) {
  VirtualFtdiOptions options;
  std::string error;
  ASSERT_TRUE(parse_virtual_ftdi_options("cpu=TOMUX", options, error)) << error;
  std::unique_ptr<VirtualFtdi> chip = VirtualFtdi::create(options, error);
  ASSERT_TRUE(chip) << error;
  const Bytes commands{
      0x80, 0x08, 0x0B,  // TMS high; TCK, TDI, TMS outputs
      0x4B, 0x05, 0x1F,  // 5 x TMS 1: Test-Logic-Reset (IDCODE selected), then Idle
      0x4B, 0x03, 0x02,  // Idle -> Select-DR -> Capture-DR -> Shift-DR
      0x28, 0x03, 0x00,  // read 4 bytes, TDI held
      0x87};
  static_cast<void>(chip->control(0x40, ftdi_request::kSetBitMode, 0x0200, 1, {}));
  EXPECT_EQ(chip->bulk_out(0, commands), commands.size());
  uint8_t in[64];
  const size_t n = chip->bulk_in(0, in, false);
  // One packet: two modem-status bytes, then 0x005A30E5 least significant byte first.
  EXPECT_EQ(Bytes(in, in + n), (Bytes{0x32, 0x60, 0xE5, 0x30, 0x5A, 0x00}));
  EXPECT_EQ(chip->engine(0).counts().tck_cycles, 6u + 4 + 32);
  EXPECT_EQ(chip->counts().latency_waits, 0u);
}

// Replies not followed by a send-immediate wait for the latency timer.
TEST(VirtualFtdi, RepliesWithoutSendImmediateWaitForTheLatencyTimer) {
  VirtualFtdiOptions options;
  std::string error;
  std::unique_ptr<VirtualFtdi> chip = VirtualFtdi::create(options, error);
  ASSERT_TRUE(chip) << error;
  static_cast<void>(chip->control(0x40, ftdi_request::kSetBitMode, 0x0200, 1, {}));
  EXPECT_EQ(chip->bulk_out(0, Bytes{0x81}), 1u);
  uint8_t in[64];
  EXPECT_FALSE(chip->in_ready(0));
  EXPECT_EQ(chip->bulk_in(0, in, false), 2u);  // the status bytes only
  EXPECT_EQ(chip->bulk_in(0, in, true), 3u);
  EXPECT_EQ(chip->counts().latency_waits, 1u);
}

}  // namespace
}  // namespace jtagnand::sim
