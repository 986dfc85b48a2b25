#include "sim/rbb_server.h"

namespace jtagnand::sim {

RbbServer::RbbServer(SimBoard& board, bool target_connected)
    : board_(board), connected_(target_connected) {}

void RbbServer::apply() {
  ++writes_;
  if (connected_) board_.drive(tck_, tms_, tdi_, trst_n_);
}

RbbServer::FeedResult RbbServer::feed(std::string_view input, std::string& answers) {
  FeedResult result;
  for (const char c : input) {
    if (c >= '0' && c <= '7') {
      const int bits = c - '0';
      tck_ = (bits & 4) != 0;
      tms_ = (bits & 2) != 0;
      tdi_ = (bits & 1) != 0;
      apply();
    } else if (c == 'R') {
      ++reads_;
      // Without a target the cable's pull-up holds TDO high.
      answers.push_back(!connected_ || board_.sample_tdo() ? '1' : '0');
    } else if (c >= 'r' && c <= 'u') {
      // Bit 1 is TRST (asserted = nTRST low); bit 0 is SRST, which this board
      // does not wire to anything.
      trst_n_ = ((c - 'r') & 2) == 0;
      apply();
    } else if (c == 'Q') {
      ++result.consumed;
      result.stop = Stop::kQuit;
      return result;
    } else if (c != 'B' && c != 'b' && c != '\n' && c != '\r') {
      result.stop = Stop::kBadCommand;
      result.bad = c;
      return result;
    }
    ++result.consumed;
  }
  return result;
}

std::string RbbServer::stats_line() const {
  return "sim: writes=" + std::to_string(writes_) + " reads=" + std::to_string(reads_) + " " +
         board_.scan_stats();
}

}  // namespace jtagnand::sim
