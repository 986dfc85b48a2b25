#pragma once

// A virtual FTDI chip (FT2232H by default) with the simulated board on one of
// its MPSSE channels: what its USB device shows (descriptors, strings), the
// vendor control requests FTDI drivers send (reset, purge, bit mode, latency
// timer, baud rate, ...), and bulk OUT / IN as the chip does them, every IN
// packet starting with its two modem-status bytes.
//
// The tests reach it through the USB stack (a stand-in for libusb-1.0, see
// libusb_standin.cpp) so that libftdi1 and OpenOCD run unchanged, and the
// benchmarks directly, as a UsbTransport.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/usb_transport.h"
#include "sim/ftdi/mpsse_engine.h"
#include "sim/sim_board.h"

namespace jtagnand::sim {

enum class FtdiModel : uint8_t { kFt2232h, kFt2232d, kFt232h };

struct VirtualFtdiOptions {
  FtdiModel model = FtdiModel::kFt2232h;
  uint16_t vendor = 0x0403;
  uint16_t product = 0;  // 0: the model's own (0x6010, or 0x6014 for the FT232H)
  std::string serial = "JTAGNAND1";
  int board_channel = 0;  // 0 = A, 1 = B: where the board is wired
  SimOptions board;
};

// Reads the board options of sim: plus the chip's own:
//   usb_chip=ft2232h|ft2232d|ft232h  usb_id=VID:PID  usb_serial=TEXT
//   usb_channel=A|B (where the board hangs; the other channel has nothing)
[[nodiscard]] bool parse_virtual_ftdi_options(std::string_view text, VirtualFtdiOptions& options,
                                              std::string& error);

// The FTDI vendor requests (bRequest of a vendor control transfer).
namespace ftdi_request {
inline constexpr uint8_t kReset = 0x00;  // wValue 0 reset, 1 purge commands, 2 purge replies
inline constexpr uint8_t kModemControl = 0x01;
inline constexpr uint8_t kFlowControl = 0x02;
inline constexpr uint8_t kBaudRate = 0x03;
inline constexpr uint8_t kData = 0x04;
inline constexpr uint8_t kModemStatus = 0x05;  // IN: two status bytes
inline constexpr uint8_t kEventChar = 0x06;
inline constexpr uint8_t kErrorChar = 0x07;
inline constexpr uint8_t kSetLatency = 0x09;  // wValue ms
inline constexpr uint8_t kGetLatency = 0x0A;  // IN: one byte
inline constexpr uint8_t kSetBitMode = 0x0B;  // wValue mode << 8 | pin mask
inline constexpr uint8_t kReadPins = 0x0C;    // IN: one byte
inline constexpr uint8_t kReadEeprom = 0x90;  // IN: one word
inline constexpr uint8_t kWriteEeprom = 0x91;
inline constexpr uint8_t kEraseEeprom = 0x92;
}  // namespace ftdi_request

struct VirtualFtdiCounts {
  uint64_t control_requests = 0;
  uint64_t unknown_requests = 0;
  uint64_t in_packets = 0;
  uint64_t latency_waits = 0;  // replies sent only because the latency timer ran out
};

class VirtualFtdi {
 public:
  [[nodiscard]] static std::unique_ptr<VirtualFtdi> create(const VirtualFtdiOptions& options,
                                                           std::string& error);
  ~VirtualFtdi();
  VirtualFtdi(const VirtualFtdi&) = delete;
  VirtualFtdi& operator=(const VirtualFtdi&) = delete;

  [[nodiscard]] const VirtualFtdiOptions& options() const { return options_; }
  [[nodiscard]] uint16_t product() const;
  [[nodiscard]] uint16_t bcd_device() const;  // how drivers tell the chip type
  [[nodiscard]] int interfaces() const;
  [[nodiscard]] uint16_t max_packet() const;  // bulk packet size: 512 high speed, 64 full
  [[nodiscard]] bool high_speed_usb() const { return max_packet() == 512; }
  // String descriptors: 1 maker, 2 product, 3 serial; empty for others.
  [[nodiscard]] std::string string(uint8_t index) const;
  // The raw device and configuration descriptors.
  [[nodiscard]] std::string device_descriptor() const;
  [[nodiscard]] std::string config_descriptor() const;

  // A control transfer: standard GET_DESCRIPTOR and the FTDI vendor requests.
  // Returns the bytes of the data stage, or -1 for a request the chip stalls.
  int control(uint8_t request_type, uint8_t request, uint16_t value, uint16_t index,
              std::span<uint8_t> data);

  // Bulk OUT to channel 0 (A) or 1 (B): the bytes the chip takes now.
  std::size_t bulk_out(int channel, std::span<const uint8_t> bytes);
  // Whether a bulk IN now would carry replies without the latency timer.
  [[nodiscard]] bool in_ready(int channel) const;
  [[nodiscard]] bool replies_waiting(int channel) const;
  // A bulk IN of up to into.size() bytes: packets of at most max_packet()
  // bytes, each starting with the two modem-status bytes, ending with the first
  // short packet. With `latency_expired`, replies held for want of a
  // send-immediate go too (a real chip sends them when its latency timer runs
  // out). Returns the bytes filled (2 when there was nothing to send).
  std::size_t bulk_in(int channel, std::span<uint8_t> into, bool latency_expired);

  [[nodiscard]] SimBoard& board() { return *board_; }
  [[nodiscard]] const MpsseEngine& engine(int channel) const { return *engines_[channel]; }
  [[nodiscard]] const VirtualFtdiCounts& counts() const { return counts_; }
  // "virtual FTDI: tck=N bytes_out=N bytes_in=N ir_scans=N dr_scans=N
  //  violations=N bad_commands=N latency_waits=N" (the board's channel)
  [[nodiscard]] std::string stats_line() const;

 private:
  VirtualFtdi(const VirtualFtdiOptions& options, std::unique_ptr<SimBoard> board);
  [[nodiscard]] int channel_of(uint16_t index) const;

  VirtualFtdiOptions options_;
  std::unique_ptr<SimBoard> board_;
  std::array<std::unique_ptr<MpsseEngine>, 2> engines_;
  std::array<uint8_t, 2> latency_ms_{16, 16};
  VirtualFtdiCounts counts_;
};

// The virtual chip as the program's USB transport, without the USB stack in
// between: the bulk transfers a driver makes, modem-status bytes stripped.
// The transfers' timing is not modelled; their bytes are.
class VirtualFtdiTransport final : public UsbTransport {
 public:
  // Opens `channel` (0 = A) as libftdi does: reset, purge, MPSSE mode.
  VirtualFtdiTransport(VirtualFtdi& chip, int channel);
  [[nodiscard]] bool write(std::span<const uint8_t> bytes) override;
  [[nodiscard]] bool read(std::span<uint8_t> reply, int timeout_ms) override;
  [[nodiscard]] bool exchange(std::span<const uint8_t> bytes, std::span<uint8_t> reply) override;
  [[nodiscard]] const std::string& error() const override { return error_; }

 private:
  // Takes what the chip sends now into reply[got...]; true when anything came.
  bool receive(std::span<uint8_t> reply, std::size_t& got, bool latency_expired);

  VirtualFtdi& chip_;
  int channel_;
  std::string error_;
};

// FtdiChip for the transport's opening, as libftdi reports the model.
[[nodiscard]] FtdiChip ftdi_chip_of(FtdiModel model);

}  // namespace jtagnand::sim
