#pragma once

// The simulated board behind a Xilinx Virtual Cable 1.0 server:
//   "getinfo:"                 answers "xvcServer_v1.0:<max vector bytes>\n"
//   "settck:" period_ns (LE32) answers the period (LE32); the board has no
//                              clock of its own, so any period is taken
//   "shift:" n (LE32) TMS TDI  clocks n bits, answers the TDO vector
// Vectors hold ceil(n / 8) bytes, bit 0 of byte 0 first. For each bit TCK falls
// with the new TMS and TDI, TDO is sampled, then TCK rises: TDO bit i is what
// the target put out before the rising edge of clock i. Messages are carried
// out in order, however many come before their answers are read.
// serve_session (connection_io.h) serves a connected socket with it until a
// message not known (`stop` kBadMessage, `bad` shows it), or the master hangs
// up, goes idle or fails.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "sim/connection_io.h"
#include "sim/sim_board.h"

namespace jtagnand::sim {

// The vector length the server announces: each of a shift's two vectors may
// hold this many bytes.
inline constexpr uint32_t kXvcServerVectorBytes = 64 * 1024;

class XvcServer {
 public:
  // `target_connected` false: a cable with nothing behind it (TDO high).
  explicit XvcServer(SimBoard& board, bool target_connected = true);

  // What serve_session reads at a time: a whole shift of the longest vectors.
  static constexpr std::size_t kReadBytes = 256 * 1024;

  enum class Stop : uint8_t {
    kNone,        // every complete message was carried out
    kBadMessage,  // the input holds no message this server knows; `bad` shows it
  };
  struct FeedResult {
    Stop stop = Stop::kNone;
    std::size_t consumed = 0;  // bytes of the complete messages carried out
    std::string bad;
  };

  // Carries out the complete messages at the start of `input`, appending their
  // answers to `answers`; a message not yet complete is left for the next
  // call (`consumed` stops before it).
  [[nodiscard]] FeedResult feed(std::string_view input, std::string& answers);

  // "sim: shifts=N tck=N ir_scans=N dr_scans=N violations=N"
  [[nodiscard]] std::string stats_line() const;

 private:
  SimBoard& board_;
  bool connected_;
  uint32_t period_ns_ = 100;  // 10 MHz until a master sets it
  uint64_t shifts_ = 0;
  uint64_t tck_ = 0;
};

}  // namespace jtagnand::sim
