#pragma once

// The CMSIS-DAP v2 cable: TAP paths and shifts become DAP_JTAG_Sequence
// commands (up to 64 clocks at one TMS level each, TDO captured where a value
// is wanted), as many as fit in one packet of the probe's size, with several
// commands in a packet through DAP_ExecuteCommands where a TDO read by
// DAP_SWJ_Pins or a TRST pulse joins them. Up to the probe's packet count are
// in flight; the program waits for an answer when that many are out, or when it
// needs a value (flush).

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cables/queued_cable.h"
#include "platform/dap_transport.h"

namespace jtagnand {

inline constexpr uint32_t kDapDefaultTckHz = 1'000'000;  // CMSIS-DAP's own default clock
inline constexpr int kDapTimeoutMs = 5000;

struct DapTraffic {
  uint64_t packets = 0;      // command packets sent
  uint64_t round_trips = 0;  // times the program waited for answers it needed
  uint64_t tck_cycles = 0;
  uint64_t bytes_sent = 0;
};

// What the probe says of itself in DAP_Info.
struct DapProbeInfo {
  uint16_t packet_size = 64;
  uint8_t packet_count = 1;
};

class DapCable final : public QueuedCable {
 public:
  // `name` describes the probe in the announcement.
  DapCable(std::unique_ptr<DapTransport> transport, std::string name, DapProbeInfo probe,
           uint32_t tck_hz);
  ~DapCable() override;  // close(), quietly

  // DAP_Connect in JTAG mode and DAP_SWJ_Clock; false with a reason.
  [[nodiscard]] bool start(std::string& error);

  void clock(bool tms, bool tdi) override;
  void sample(char* into) override;
  void shift(const char* tdi, char* capture, uint32_t length, bool exit_shift) override;
  void flush() override;
  [[nodiscard]] uint32_t poll_batch() const override { return kPollBatch; }
  void trst_pulse() override;
  [[nodiscard]] std::string announcement() const override;
  // What is collected goes out and is answered, then DAP_Disconnect.
  void close() override;

  [[nodiscard]] const DapTraffic& traffic() const { return traffic_; }

  // Ready polls sent ahead: a poll is one boundary scan, some 40 bytes of a
  // packet, so a few packets of them cost one wait.
  static constexpr uint32_t kPollBatch = 16;

 private:
  struct Sequence {
    bool tms = false;
    bool capture = false;
    uint8_t bits = 0;  // 1..64
    uint8_t tdi[8] = {};
  };
  struct Command {
    uint8_t id = 0;                   // DAP_JTAG_Sequence or DAP_SWJ_Pins
    std::vector<Sequence> sequences;  // DAP_JTAG_Sequence
    uint8_t pin_value = 0, pin_select = 0;
    char* tdo = nullptr;  // DAP_SWJ_Pins: where the TDO level goes
  };
  struct Place {
    std::size_t command;
    std::size_t sequence;
    uint8_t bit;
    char* dest;
  };
  // A packet sent: where its answer's bits go, and what the answer must hold.
  struct Sent {
    std::size_t length = 0;
    std::vector<std::pair<std::size_t, uint8_t>> ids;  // offset, command id
    std::vector<std::size_t> statuses;                 // offsets of status bytes
    struct Bit {
      std::size_t offset;
      uint8_t bit;
      char* dest;
    };
    std::vector<Bit> bits;
  };

  void add_bit(bool tms, bool tdi, bool capture);
  void add_pins(uint8_t value, uint8_t select, char* tdo);
  [[nodiscard]] bool fits(std::size_t more_out, std::size_t more_in) const;
  void drop_last_bit();
  [[nodiscard]] bool close_packet();
  [[nodiscard]] bool send_packet();
  [[nodiscard]] bool receive_one();
  [[nodiscard]] bool finish();
  // The probe is gone or stopped answering: LinkLost.
  [[noreturn]] void fail();

  std::unique_ptr<DapTransport> transport_;
  std::string name_;
  DapProbeInfo probe_;
  uint32_t tck_hz_;

  std::vector<Command> commands_;  // of the packet being collected
  std::vector<Place> places_;
  std::size_t out_bytes_ = 0;  // its command bytes, without an ExecuteCommands header
  std::size_t in_bytes_ = 0;   // its answer bytes, likewise
  std::deque<Sent> in_flight_;
  std::vector<uint8_t> packet_;
  std::vector<uint8_t> answer_;
  std::string error_;
  bool closed_ = false;
  DapTraffic traffic_;
};

// The cable for the text after "cmsis-dap:" (empty for plain "cmsis-dap"):
// comma-separated vid=HEX, pid=HEX, serial=TEXT, tck=HZ.
[[nodiscard]] CableOpening open_cmsis_dap_cable(std::string_view options);

}  // namespace jtagnand
