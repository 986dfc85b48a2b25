#include "sim/rbb_server.h"

#include "sim/connection_io.h"

#if !defined(_WIN32)
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>
#endif

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
  return "sim: writes=" + std::to_string(writes_) + " reads=" + std::to_string(reads_) +
         " ir_scans=" + std::to_string(board_.ir_scans()) +
         " dr_scans=" + std::to_string(board_.dr_scans()) +
         " violations=" + std::to_string(board_.violations());
}

#if !defined(_WIN32)

RbbSessionEnd serve_rbb_connection(RbbServer& server, int fd, int idle_ms) {
  // A master pipelines a whole scan's worth of commands before it reads the
  // answers, so one large read usually carries a complete scan.
  std::vector<char> buffer(64 * 1024);
  std::string answers;
  RbbSessionEnd end;
  for (;;) {
    if (!wait_ready(fd, POLLIN, idle_ms)) {
      end.idle = true;
      return end;
    }
    const ssize_t got = recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      end.error = errno;
      return end;
    }
    if (got == 0) return end;
    answers.clear();
    const RbbServer::FeedResult fed =
        server.feed(std::string_view(buffer.data(), static_cast<std::size_t>(got)), answers);
    // Answers to the commands before a 'Q' or a bad character still go out.
    const Sent sent = send_answers(fd, answers, idle_ms);
    if (sent != Sent::kAll) {
      end.idle = sent == Sent::kIdle;
      end.error = sent == Sent::kError ? errno : 0;
      return end;
    }
    if (fed.stop != RbbServer::Stop::kNone) {
      end.stop = fed.stop;
      end.bad = fed.bad;
      return end;
    }
  }
}

#endif

}  // namespace jtagnand::sim
