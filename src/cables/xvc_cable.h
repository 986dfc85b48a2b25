#pragma once

// The Xilinx Virtual Cable 1.0 client: JTAG over TCP to an XVC server (a Zynq
// board, a Raspberry Pi, a lab's adapter host, jtagnand-sim --xvc).
//   "getinfo:"                      answered "xvcServer_v1.0:<max vector bytes>\n"
//   "settck:" period_ns (LE32)      answered with the period set (LE32)
//   "shift:" n (LE32) TMS TDI       answered with the TDO vector
// The vectors hold ceil(n / 8) bytes, bit 0 of byte 0 first; TDO bit i is the
// level the target puts out before the rising edge of clock i.
//
// Clocks are collected into one shift: until the server's vector length is
// reached; the shifts go out in large pieces and their answers are taken when
// a value is needed (flush), or when enough are awaited that the socket
// buffers could fill.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cables/queued_cable.h"
#include "cables/stream_link.h"

namespace jtagnand {

inline constexpr uint16_t kXvcDefaultPort = 2542;
inline constexpr int kXvcDefaultTimeoutMs = 5000;

struct XvcTraffic {
  uint64_t shifts = 0;      // shift: messages
  uint64_t tck_cycles = 0;  // bits in them
  uint64_t bytes_sent = 0;
  uint64_t round_trips = 0;  // times the program waited for an answer
};

class XvcCable final : public QueuedCable {
 public:
  // `address` names the server in messages; `vector_bytes` is how many bytes
  // each of a shift's TMS and TDI vectors may hold; `tck_hz` the clock the
  // server reported (0: none was set).
  XvcCable(std::unique_ptr<ByteStream> stream, std::string address, int reply_timeout_ms,
           uint32_t vector_bytes, double tck_hz);
  ~XvcCable() override;  // close(), quietly

  void clock(bool tms, bool tdi) override;
  void sample(char* into) override;
  void shift(const char* tdi, char* capture, uint32_t length, bool exit_shift) override;
  void flush() override;
  [[nodiscard]] uint32_t poll_batch() const override { return kPollBatch; }
  [[nodiscard]] std::string announcement() const override;
  // What is still collected goes out and its answers are taken: a socket
  // closed with answers unread is reset, and the server may lose the shifts
  // it has not yet taken.
  void close() override;

  [[nodiscard]] const XvcTraffic& traffic() const { return traffic_; }

  // Ready polls sent ahead: a poll is one boundary scan, a few hundred bits,
  // so eight cost less than the round trip each would otherwise wait for.
  static constexpr uint32_t kPollBatch = 8;
  // Bytes of one vector at most, whatever the server allows: its answer must
  // fit the window below.
  static constexpr uint32_t kMaxVectorBytes = 16 * 1024;
  // Answer bytes awaited at most: well below what the two sockets' buffers
  // hold, so the server never blocks on its answers while this side blocks on
  // its shifts.
  static constexpr std::size_t kWindow = 32 * 1024;
  // Shift messages collected before they are sent.
  static constexpr std::size_t kSendAt = 64 * 1024;

 private:
  // A shift: sent, its answer awaited; bit `first` of the answer goes to
  // `dest` as '0'/'1'.
  struct Sent {
    uint32_t bits = 0;
    std::vector<std::pair<uint32_t, char*>> places;
  };

  void add_bit(bool tms, bool tdi);
  void close_shift();
  // Each returns false with the link's error set when the link fails.
  [[nodiscard]] bool send_out();
  [[nodiscard]] bool take_answers(std::size_t left);
  void deliver(const char* bytes, std::size_t count);
  // The link is gone or the server stopped answering: LinkLost.
  [[noreturn]] void fail();

  StreamLink link_;  // the shifts not yet sent in its `out`
  std::string address_;
  uint32_t max_bits_;
  double tck_hz_;

  std::vector<uint8_t> tms_;
  std::vector<uint8_t> tdi_;
  uint32_t bits_ = 0;
  std::vector<std::pair<uint32_t, char*>> places_;  // of the shift being collected
  std::deque<Sent> sent_;                           // answers awaited, oldest first
  std::vector<uint8_t> answer_;                     // the oldest answer, as far as it has come
  char last_tdo_ = '1';                             // TDO of the last clock whose answer came in
  bool closed_ = false;
  XvcTraffic traffic_;
};

// The cable for the text after "xvc:": HOST[:PORT] or [IPv6][:PORT] (port
// 2542 when none is given), then optionally ",tck=HZ" (sent with settck:)
// and ",timeout=SECONDS" for the connect and the answers.
[[nodiscard]] CableOpening open_xvc_cable(std::string_view setting);

}  // namespace jtagnand
