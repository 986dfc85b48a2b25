#pragma once

// The remote_bitbang cable: JTAG lines as one ASCII character per command over
// a byte stream, to a server such as jtagnand-sim or a simulator bridge.
//   '0'..'7'  TCK, TMS, TDI = '0' + (tck << 2 | tms << 1 | tdi)
//   'R'       read TDO, answered '0' or '1'
//   'r'..'u'  reset lines, 'r' + (trst << 1 | srst), 1 = asserted
//   'Q'       the master is done
// Commands are collected and sent in large pieces; 'R' answers come back in
// order and are taken in bulk, so a whole page of reads costs a few round trips
// instead of one per TDO bit.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cables/queued_cable.h"
#include "cables/stream_link.h"

namespace jtagnand {

inline constexpr int kRbbDefaultTimeoutMs = 5000;

class RbbCable final : public QueuedCable {
 public:
  // `address` is how the server is named in messages.
  RbbCable(std::unique_ptr<ByteStream> stream, std::string address, int reply_timeout_ms);
  ~RbbCable() override;  // close(), unless the link is lost

  void clock(bool tms, bool tdi) override;
  void sample(char* into) override;
  void shift(const char* tdi, char* capture, uint32_t length, bool exit_shift) override;
  void flush() override;
  void trst_pulse() override;
  [[nodiscard]] std::string announcement() const override;
  void close() override;

  // Answers awaited at most: neither socket buffer can fill with them, so the
  // server never blocks on its answers while this side blocks on its commands.
  static constexpr std::size_t kWindow = 4096;
  // Commands collected before they are sent, so the server works while this
  // side goes on.
  static constexpr std::size_t kSendAt = 16 * 1024;

 private:
  void put(char command) {
    link_.out.push_back(command);
    if (link_.out.size() >= kSendAt) send_pending();
  }
  void send_pending();
  // Takes answers until at most `left` are awaited; waits only as long as it
  // must (`left` below the number awaited).
  void take_answers(std::size_t left);
  // Puts `count` answers in the places awaiting them, oldest first.
  void deliver(const char* answers, std::size_t count);
  // The link is gone or the server stopped answering: throws LinkLost.
  [[noreturn]] void fail(const std::string& why);

  StreamLink link_;  // one answer byte per 'R'
  std::string address_;
  std::vector<char*> awaited_;  // where each 'R' answer goes, oldest at awaited_head_
  std::size_t awaited_head_ = 0;
  bool closed_ = false;  // closed, or the link is lost: nothing more is sent
};

// The cable for the text after "rbb:": HOST:PORT, [IPv6]:PORT or a Unix socket
// path (with a slash), optionally followed by ",timeout=SECONDS" for the
// connect and the reply time-outs.
[[nodiscard]] CableOpening open_rbb_cable(std::string_view setting);

}  // namespace jtagnand
