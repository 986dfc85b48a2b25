#pragma once

// The FTDI MPSSE cable (FT2232H, FT232H, FT4232H, FT2232C/D): whole scans become
// MPSSE byte and bit shifts, the TAP paths TMS commands, and the program waits
// for the adapter only when it needs a value (flush).
//
// Pins: ADBUS0 TCK, ADBUS1 TDI, ADBUS2 TDO, ADBUS3 TMS; the adapter's reset
// lines, their output enables and an LED on the other pins, as its layout says.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cables/queued_cable.h"
#include "platform/usb_transport.h"

namespace jtagnand {

// MPSSE opcodes. Shift flags: 0x01 write on the falling TCK edge, 0x02 bits
// (not bytes), 0x04 read on the falling edge, 0x08 LSB first, 0x10 write TDI,
// 0x20 read TDO, 0x40 write TMS. JTAG writes on the falling edge and reads on
// the rising one, LSB first.
namespace mpsse {
inline constexpr uint8_t kBytesOut = 0x19;
inline constexpr uint8_t kBytesInOut = 0x39;
inline constexpr uint8_t kBitsOut = 0x1B;
inline constexpr uint8_t kBitsInOut = 0x3B;
inline constexpr uint8_t kTmsOut = 0x4B;
inline constexpr uint8_t kTmsInOut = 0x6B;
inline constexpr uint8_t kSetLow = 0x80;   // value, direction of ADBUS0-7
inline constexpr uint8_t kGetLow = 0x81;   // answers ADBUS0-7
inline constexpr uint8_t kSetHigh = 0x82;  // value, direction of ACBUS0-7
inline constexpr uint8_t kLoopbackOff = 0x85;
inline constexpr uint8_t kDivisor = 0x86;  // low byte, high byte
inline constexpr uint8_t kSendImmediate = 0x87;
inline constexpr uint8_t kDivideBy5Off = 0x8A;  // H-series: 60 MHz base clock
inline constexpr uint8_t kDivideBy5On = 0x8B;   // H-series: 12 MHz base clock
inline constexpr uint8_t kThreePhaseOff = 0x8D;
inline constexpr uint8_t kAdaptiveOff = 0x97;
inline constexpr uint8_t kBadCommandReply = 0xFA;  // answer to an unknown opcode, then the opcode
// No MPSSE command has it: the answer 0xFA 0xAA proves the engine listens and
// the reply stream is in step.
inline constexpr uint8_t kSyncProbe = 0xAA;
}  // namespace mpsse

// JTAG pins on ADBUS; the rest of the 16 GPIO bits (ADBUS4-7 in bits 4-7,
// ACBUS0-7 in bits 8-15) belong to the layout.
inline constexpr uint16_t kPinTck = 0x0001;
inline constexpr uint16_t kPinTdi = 0x0002;
inline constexpr uint16_t kPinTdo = 0x0004;
inline constexpr uint16_t kPinTms = 0x0008;
inline constexpr uint16_t kJtagPins = 0x000F;
inline constexpr uint16_t kJtagOutputs = kPinTck | kPinTdi | kPinTms;

// What the adapter has on its GPIO pins, as 16-bit masks (low byte ADBUS,
// high byte ACBUS). `value`/`direction` are the levels and outputs while the
// cable runs (1 = output); the JTAG pins are the cable's. nTRST and nSRST are
// active low; an output enable of a reset line's buffer is active low too
// (high: the buffer is off and the line is released); the LED is lit high.
struct GpioLayout {
  std::string_view name;
  uint16_t value = 0;
  uint16_t direction = 0;
  uint16_t ntrst = 0;  // 0: no TRST line
  uint16_t ntrst_enable = 0;
  uint16_t nsrst = 0;
  uint16_t nsrst_enable = 0;
  uint16_t led = 0;
};

inline constexpr uint16_t kAcbus0 = 0x0100, kAcbus1 = 0x0200, kAcbus2 = 0x0400, kAcbus3 = 0x0800;

inline constexpr std::array<GpioLayout, 3> kGpioLayouts{{
    // FT2232H mini-module style: nothing but the four JTAG lines.
    {.name = "minimodule"},
    // nTRST on ACBUS0 and nSRST on ACBUS1, each through a buffer whose
    // active-low output enable is ACBUS2 / ACBUS3. While running, nTRST is
    // driven high; nSRST's buffer is off (the board's reset released).
    {.name = "buffered",
     .value = kAcbus0 | kAcbus1 | kAcbus3,
     .direction = kAcbus0 | kAcbus1 | kAcbus2 | kAcbus3,
     .ntrst = kAcbus0,
     .ntrst_enable = kAcbus2,
     .nsrst = kAcbus1,
     .nsrst_enable = kAcbus3},
    // Olimex style: nTRST on ACBUS0 (driven high), nSRST on ACBUS1 (left an
    // input: released), the LED on ACBUS3, lit while the cable is open.
    {.name = "olimex",
     .value = kAcbus0 | kAcbus3,
     .direction = kAcbus0 | kAcbus3,
     .ntrst = kAcbus0,
     .nsrst = kAcbus1,
     .led = kAcbus3},
}};

static_assert([] {
  for (const GpioLayout& l : kGpioLayouts) {
    const uint16_t lines = l.ntrst | l.ntrst_enable | l.nsrst | l.nsrst_enable | l.led;
    if ((lines & kJtagPins) != 0 || ((l.value | l.direction) & kJtagPins) != 0) return false;
    if ((l.value & ~l.direction) != 0) return false;       // a level only on an output
    if ((l.ntrst & l.direction) != l.ntrst) return false;  // nTRST is driven
    if ((l.ntrst_enable & l.value) != 0) return false;     // its buffer is on
    if (l.nsrst_enable != 0 && (l.nsrst_enable & l.value) == 0) return false;  // nSRST's is off
  }
  return true;
}());

struct FtdiSettings {
  FtdiSelector usb;
  uint32_t tck_hz = 0;     // 0: the chip's highest, or the chain's limit if lower
  bool overclock = false;  // a tck= above the chain's limit is taken all the same
  GpioLayout layout = kGpioLayouts[0];
};

// Reads the text after "ftdi:" (empty for plain "ftdi"): comma-separated
//   id=VID:PID  channel=A|B  serial=TEXT  tck=HZ (or 500k, 15M)  overclock
//   layout=minimodule|buffered|olimex  gpio=VALUE/DIRECTION (16 bits each)
// false with a one-line reason for anything else.
[[nodiscard]] bool parse_ftdi_settings(std::string_view text, FtdiSettings& settings,
                                       std::string& error);

// The MPSSE clock: TCK = base / (2 * (1 + divisor)), the base 60 MHz on H-series
// chips with divide-by-5 off, else 12 MHz.
struct TckSetting {
  uint16_t divisor = 0;
  bool divide_by_5 = false;
  double hz = 0;
};
// The fastest TCK not above `asked_hz` (0: the chip's highest); false when even
// the slowest the chip makes is faster.
[[nodiscard]] bool choose_tck(FtdiChip chip, uint32_t asked_hz, TckSetting& setting);

// What went over USB, for the benchmarks.
struct FtdiTraffic {
  uint64_t tck_cycles = 0;      // TCK periods the commands clock
  uint64_t bytes_sent = 0;      // command bytes
  uint64_t bytes_received = 0;  // reply bytes (modem-status bytes not counted)
  uint64_t round_trips = 0;     // replies the program waited for
};

class FtdiCable final : public QueuedCable {
 public:
  // `name` is how the adapter is described in the announcement.
  FtdiCable(std::unique_ptr<UsbTransport> usb, FtdiChip chip, const FtdiSettings& settings,
            std::string name);
  ~FtdiCable() override;  // close(), unless the link is lost

  // Sets clock and pins and checks that the engine answers; false with a
  // reason when the chip cannot make the TCK asked or does not answer.
  [[nodiscard]] bool start(std::string& error);

  void clock(bool tms, bool tdi) override;
  void sample(char* into) override;
  void clock_tms(uint32_t tms_bits, uint32_t count, bool tdi) override;
  void shift(const char* tdi, char* capture, uint32_t length, bool exit_shift) override;
  void flush() override;
  [[nodiscard]] uint32_t poll_batch() const override { return kPollBatch; }
  void trst_pulse() override;
  [[nodiscard]] std::string announcement() const override;
  [[nodiscard]] std::string limit_tck(const TckLimit& limit) override;
  void close() override;

  [[nodiscard]] const FtdiTraffic& traffic() const { return traffic_; }
  [[nodiscard]] const TckSetting& tck() const { return tck_; }

  // Ready polls sent ahead: about a third of a millisecond of 298-cell scans at
  // 30 MHz, the time a page program takes, so most waits cost one round trip.
  static constexpr uint32_t kPollBatch = 32;
  // Collected replies and commands are exchanged early past these (a caller
  // that never flushes); a page read needs about 80 KiB of replies.
  static constexpr std::size_t kReplyLimit = 1024 * 1024;
  static constexpr std::size_t kCommandLimit = 4 * 1024 * 1024;
  // Commands without replies go out in pieces of this size.
  static constexpr std::size_t kSendAt = 256 * 1024;

 private:
  // Where reply bits go: bits `shift` .. `shift + count - 1` of reply byte
  // `reply` become '0'/'1' at dest[0] .. dest[count - 1].
  struct Extract {
    std::size_t reply;
    char* dest;
    uint8_t shift;
    uint8_t count;
  };

  // TMS clocks are collected into one TMS command (up to 7 clocks at one TDI
  // level) and sent when it is full, TDI changes, or something else follows.
  void add_clock(bool tms, bool tdi);
  void send_tms_run();
  [[nodiscard]] bool last_tms_level() const;
  void send_data_bits(const char* tdi, char* capture, uint32_t first, uint32_t end);
  void expect(char* dest, uint8_t shift, uint8_t count);
  void after_command();
  // Sends everything collected and delivers the replies.
  void exchange();
  void deliver();
  [[nodiscard]] uint8_t high_byte(uint16_t pins) const { return static_cast<uint8_t>(pins >> 8); }
  void set_pins(uint16_t value);
  void send_clock_setting();
  [[nodiscard]] uint16_t run_value() const;
  // The adapter stopped answering: throws LinkLost.
  [[noreturn]] void fail(const std::string& why);

  std::unique_ptr<UsbTransport> usb_;
  FtdiChip chip_;
  FtdiSettings settings_;
  std::string name_;
  TckSetting tck_;

  std::vector<uint8_t> out_;
  std::vector<Extract> extracts_;
  std::size_t replies_ = 0;  // reply bytes the commands in out_ produce
  std::vector<uint8_t> in_;

  uint8_t run_tms_ = 0;  // TMS of clock i in bit i
  uint8_t run_count_ = 0;
  bool run_tdi_ = false;
  std::array<char*, 7> run_capture_{};
  std::vector<std::pair<char*, const char*>> copies_;  // to, from: a clock sampled twice
  bool tms_pin_ = true;                                // TMS as the last command sent left it
  // TDO of the last clock when a flush fetched it, '0'/'1'; 0 when unknown.
  char last_tdo_ = 0;

  FtdiTraffic traffic_;
  bool closed_ = false;  // closed, or the link is lost: nothing more is sent
};

// The cable for the text after "ftdi:" (empty for plain "ftdi").
[[nodiscard]] CableOpening open_ftdi_cable(std::string_view options);

}  // namespace jtagnand
