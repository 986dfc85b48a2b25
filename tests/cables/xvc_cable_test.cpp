// The XVC cable on the simulated board behind the XVC server, joined by an
// in-process stream: the shift: messages it sends (one per batch, split at the
// vector length), answers awaited only when a value is needed, TDO bits in
// their places, and the options and refusals of its opening.

#include "cables/xvc_cable.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "jtag/tap.h"
#include "sim/sim_board.h"
#include "sim/xvc_server.h"

namespace jtagnand {
namespace {

// The server answers as it is fed; the cable receives what it answered.
class LoopStream final : public ByteStream {
 public:
  explicit LoopStream(sim::XvcServer& server) : server_(server) {}
  bool send_all(std::string_view bytes, int) override {
    sent_.append(bytes);
    pending_.append(bytes);
    const sim::XvcServer::FeedResult fed = server_.feed(pending_, answers_);
    pending_.erase(0, fed.consumed);
    return fed.stop == sim::XvcServer::Stop::kNone;
  }
  long receive(char* data, std::size_t size, int) override {
    const std::size_t n = std::min(size, answers_.size());
    answers_.copy(data, n);
    answers_.erase(0, n);
    return static_cast<long>(n);
  }
  const std::string& error() const override { return error_; }

  [[nodiscard]] const std::string& sent() const { return sent_; }
  // The bit counts of the shift: messages sent, in order.
  [[nodiscard]] std::vector<uint32_t> shifts() const {
    std::vector<uint32_t> counts;
    for (std::size_t at = sent_.find("shift:"); at != std::string::npos;) {
      uint32_t n = 0;
      for (int i = 3; i >= 0; --i)
        n = n << 8 | static_cast<uint8_t>(sent_[at + 6 + static_cast<std::size_t>(i)]);
      counts.push_back(n);
      at = sent_.find("shift:", at + 10 + 2 * ((n + 7) / 8));
    }
    return counts;
  }

 private:
  sim::XvcServer& server_;
  std::string sent_, pending_, answers_, error_;
};

struct XvcRig {
  explicit XvcRig(uint32_t vector_bytes) {
    sim::SimOptions options;
    options.cpu = sim::Cpu::kKelda;
    std::string error;
    board = sim::SimBoard::create(options, error);
    server = std::make_unique<sim::XvcServer>(*board);
    auto loop = std::make_unique<LoopStream>(*server);
    stream = loop.get();
    cable = std::make_unique<XvcCable>(std::move(loop), "loop", 1000, vector_bytes, 0);
  }
  // The IDCODE instruction as scan_ir takes it: bit 0 (nearest TDO) first.
  [[nodiscard]] std::string idcode_ir() const {
    std::string bits;
    for (int i = 0; i < 4; ++i)
      bits.push_back(((board->idcode_instruction() >> i) & 1) ? '1' : '0');
    return bits;
  }
  std::unique_ptr<sim::SimBoard> board;
  std::unique_ptr<sim::XvcServer> server;
  LoopStream* stream = nullptr;
  std::unique_ptr<XvcCable> cable;
};

uint32_t idcode_of(const char* bits) {
  uint32_t value = 0;
  for (int i = 31; i >= 0; --i) value = value << 1 | (bits[i] == '1' ? 1U : 0U);
  return value;
}

// Reset, IDCODE instruction, a 32-bit DR scan: 5 + 11 + 38 clocks in one
// shift: message, sent only at the flush.
TEST(XvcCable, ScansGoInOneShiftAndAreAnsweredAtTheFlush) {
  XvcRig rig(64 * 1024);
  tap_reset(*rig.cable);
  const std::string idcode_ir = rig.idcode_ir();
  char capture[33] = {};
  const std::string ones(32, '1');
  scan_ir(*rig.cable, Chain{}, 4, idcode_ir.c_str());
  scan_dr_capture(*rig.cable, Chain{}, ones.c_str(), capture, 32);
  EXPECT_EQ(rig.stream->sent(), "");
  rig.cable->flush();
  EXPECT_EQ(rig.stream->shifts(), std::vector<uint32_t>{5 + 11 + 38});
  EXPECT_EQ(idcode_of(capture), rig.board->idcode()) << capture;
  // A sample with no clock after the flush is the last clock's TDO, taken
  // without another message.
  char last = 0;
  rig.cable->sample(&last);
  EXPECT_EQ(last, rig.board->tdo() ? '1' : '0');
  EXPECT_EQ(rig.stream->shifts().size(), 1u);
}

// With 2-byte vectors (a server announcing 4) every message holds 16 bits at
// most, and a capture across several messages still lands in order.
TEST(XvcCable, ABatchIsSplitAtTheServersVectorLength) {
  XvcRig rig(2);
  tap_reset(*rig.cable);
  char capture[33] = {};
  const std::string idcode_ir = rig.idcode_ir();
  const std::string ones(32, '1');
  scan_ir(*rig.cable, Chain{}, 4, idcode_ir.c_str());
  scan_dr_capture(*rig.cable, Chain{}, ones.c_str(), capture, 32);
  rig.cable->flush();
  EXPECT_EQ(rig.stream->shifts(), (std::vector<uint32_t>{16, 16, 16, 6}));
  EXPECT_EQ(idcode_of(capture), rig.board->idcode()) << capture;
}

TEST(XvcCable, BadSettingsAndAbsentServersAreNamed) {
  const struct {
    std::string setting;
    Refusal kind;
    std::string said;
  } cases[] = {
      {"", Refusal::kBadSetting, "JTAGNAND_PORT=xvc:: needs HOST or HOST:PORT"},
      {"127.0.0.1:1,tck=fast", Refusal::kBadSetting, "bad tck 'fast'"},
      {"127.0.0.1:1,timeout=0", Refusal::kBadSetting, "bad timeout '0'"},
      {"127.0.0.1:1,speed=3", Refusal::kBadSetting,
       "'speed=3' is not an option (known: tck=HZ, timeout=SECONDS)"},
      {"127.0.0.1:x", Refusal::kBadSetting, "bad TCP port 'x'"},
      {"127.0.0.1:1", Refusal::kRefused,
       "xvc:127.0.0.1:1: Connection refused (start an XVC server there first, e.g. "
       "jtagnand-sim --xvc N)"},
  };
  for (const auto& c : cases) {
    const CableOpening opening = open_xvc_cable(c.setting);
    EXPECT_FALSE(opening.ok()) << c.setting;
    EXPECT_EQ(opening.kind(), c.kind) << c.setting;
    EXPECT_NE(opening.message().find(c.said), std::string::npos) << opening.message();
  }
}

}  // namespace
}  // namespace jtagnand
