#pragma once

// The simulated board behind a remote_bitbang JTAG server. A JTAG master such
// as OpenOCD sends one ASCII character per command:
//   '0'..'7'  set TCK, TMS, TDI to '0' + (tck << 2 | tms << 1 | tdi)
//   'R'       answer '0' or '1' with the TDO level
//   'r'..'u'  set the reset lines, 'r' + (trst << 1 | srst), 1 = asserted;
//             an asserted TRST pulls nTRST low, SRST goes nowhere on this board
//   'B', 'b'  the master's activity LED: ignored
//   'Q'       the master is done: end the connection
//   '\n', '\r' ignored, so the protocol can be typed by hand
// Answers come back in command order, however many 'R's the master sends
// before it reads them. serve_session (connection_io.h) serves a connected
// socket with it until 'Q', an unknown command (`stop` and `bad` of its
// SessionEnd), or the master hangs up, goes idle or fails.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "sim/connection_io.h"
#include "sim/sim_board.h"

namespace jtagnand::sim {

class RbbServer {
 public:
  // `target_connected` false: a cable with nothing behind it, whose lines go
  // nowhere and whose TDO reads high.
  explicit RbbServer(SimBoard& board, bool target_connected = true);

  // What serve_session reads at a time. A master pipelines a whole scan's
  // worth of commands before it reads the answers, so one large read usually
  // carries a complete scan.
  static constexpr std::size_t kReadBytes = 64 * 1024;

  enum class Stop : uint8_t {
    kNone,        // every character was taken
    kQuit,        // 'Q' was taken; the rest of the input is not looked at
    kBadCommand,  // `bad` is not a command; it and the rest are not taken
  };
  struct FeedResult {
    Stop stop = Stop::kNone;
    std::size_t consumed = 0;  // characters taken, 'Q' included
    char bad = 0;
  };

  // Carries out the commands of `input` in order and appends one '0' or '1' to
  // `answers` for each 'R'.
  [[nodiscard]] FeedResult feed(std::string_view input, std::string& answers);

  // Line commands ('0'..'7', 'r'..'u') and TDO reads, since construction.
  [[nodiscard]] uint64_t writes() const { return writes_; }
  [[nodiscard]] uint64_t reads() const { return reads_; }
  // "sim: writes=N reads=N ir_scans=N dr_scans=N violations=N", the simulated
  // port's stats line with line commands counted as writes.
  [[nodiscard]] std::string stats_line() const;

  [[nodiscard]] bool tck() const { return tck_; }
  [[nodiscard]] bool tms() const { return tms_; }
  [[nodiscard]] bool tdi() const { return tdi_; }
  [[nodiscard]] bool trst_n() const { return trst_n_; }

 private:
  void apply();

  SimBoard& board_;
  bool connected_;
  // Cable lines as the master last set them; at power-up TCK idles high and
  // nTRST is released.
  bool tck_ = true;
  bool tms_ = false;
  bool tdi_ = false;
  bool trst_n_ = true;
  uint64_t writes_ = 0;
  uint64_t reads_ = 0;
};

}  // namespace jtagnand::sim
