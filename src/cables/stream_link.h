#pragma once

// The link of a cable that talks to a server over a byte stream
// (remote_bitbang, XVC). What the cable says is collected and goes out in
// large pieces; the answers come back in order and are taken in bulk: those
// already in whenever something is sent, the rest only when the cable needs
// them. So a page of reads costs a few round trips instead of one per TDO bit.
// What the answers mean is the cable's: every piece that comes in goes to its
// `deliver(const char* bytes, std::size_t count)`, oldest first.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/byte_stream.h"

namespace jtagnand {

class StreamLink {
 public:
  StreamLink(std::unique_ptr<ByteStream> stream, int timeout_ms);

  // Collected, not yet sent.
  std::string out;

  // `bytes` more answer bytes will come for what was collected.
  void expect(std::size_t bytes) { awaited_ += bytes; }
  [[nodiscard]] std::size_t awaited() const { return awaited_; }

  // Sends `out` and empties it, then takes the answers that are in already,
  // without waiting. Each returns false with error() set when the link fails:
  // the server is gone, or it took nothing or answered nothing in time.
  template <typename Deliver>
  [[nodiscard]] bool send(Deliver&& deliver) {
    if (out.empty()) return true;
    if (!send_only()) return false;
    return awaited_ == 0 || receive(false, deliver);
  }
  // send(), then waits for answers until at most `left` bytes are awaited.
  template <typename Deliver>
  [[nodiscard]] bool take(std::size_t left, Deliver&& deliver) {
    if (!send(deliver)) return false;
    if (awaited_ > left) ++waits_;
    while (awaited_ > left)
      if (!receive(true, deliver)) return false;
    return true;
  }
  // Sends `out` and empties it, taking no answers.
  [[nodiscard]] bool send_only();

  [[nodiscard]] const std::string& error() const { return error_; }
  [[nodiscard]] uint64_t bytes_sent() const { return bytes_sent_; }
  // Times the cable waited for answers.
  [[nodiscard]] uint64_t waits() const { return waits_; }

 private:
  // Answer bytes taken in one piece at most.
  static constexpr std::size_t kPiece = 16 * 1024;

  // One piece of the awaited answers: what has come, or with `wait` at least
  // one byte within the time-out.
  template <typename Deliver>
  [[nodiscard]] bool receive(bool wait, Deliver& deliver) {
    char piece[kPiece];
    const long got =
        stream_->receive(piece, std::min(sizeof piece, awaited_), wait ? timeout_ms_ : 0);
    if (got < 0) return lost(stream_->error());
    if (got == 0 && wait) return lost("sent no answer for " + std::to_string(timeout_ms_) + " ms");
    awaited_ -= static_cast<std::size_t>(got);
    deliver(static_cast<const char*>(piece), static_cast<std::size_t>(got));
    return true;
  }
  [[nodiscard]] bool lost(std::string why);

  std::unique_ptr<ByteStream> stream_;
  int timeout_ms_;
  std::size_t awaited_ = 0;
  std::string error_;
  uint64_t bytes_sent_ = 0;
  uint64_t waits_ = 0;
};

}  // namespace jtagnand
