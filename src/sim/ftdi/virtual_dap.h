#pragma once

// A virtual CMSIS-DAP v2 probe with the simulated board on its JTAG pins: what
// its USB device shows (descriptors, strings, one vendor-class interface named
// "CMSIS-DAP v2 Interface" with a bulk OUT and a bulk IN endpoint), and the
// DAP commands a JTAG host sends, answered packet by packet:
//   0x00 DAP_Info (vendor, product, serial, firmware, capabilities: SWD and
//        JTAG, packet count, packet size), 0x01 DAP_HostStatus, 0x02
//        DAP_Connect, 0x03 DAP_Disconnect, 0x04 DAP_TransferConfigure, 0x08
//        DAP_Delay, 0x10 DAP_SWJ_Pins (TCK 0, TMS 1, TDI 2, TDO 3, nTRST 5,
//        nRESET 7), 0x11 DAP_SWJ_Clock, 0x12 DAP_SWJ_Sequence, 0x13
//        DAP_SWD_Configure, 0x14 DAP_JTAG_Sequence, 0x15 DAP_JTAG_Configure,
//        0x7F DAP_ExecuteCommands; anything else answers 0xFF.
// Up to "packet count" command packets are taken before their answers are
// read; a further one waits (the endpoint NAKs) until an answer is taken.
//
// The tests reach it through the libusb-1.0 stand-in, the benchmarks directly.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dap_transport.h"
#include "sim/sim_board.h"

namespace jtagnand::sim {

struct VirtualDapOptions {
  uint16_t vendor = 0x2E8A;  // the Raspberry Pi debug probe's ids
  uint16_t product = 0x000C;
  std::string serial = "JTAGNAND2";
  uint16_t packet_size = 512;
  uint8_t packet_count = 4;
  bool jtag = true;  // false: an SWD-only probe
  SimOptions board;
};

// The board options of sim: plus the probe's own:
//   dap_id=VID:PID  dap_serial=TEXT  dap_packet=BYTES (64 to 1024)
//   dap_count=N (1 to 255)  dap_swd_only
[[nodiscard]] bool parse_virtual_dap_options(std::string_view text, VirtualDapOptions& options,
                                             std::string& error);

struct VirtualDapCounts {
  uint64_t packets = 0;
  uint64_t commands = 0;
  uint64_t tck_cycles = 0;
  uint64_t bad_commands = 0;
  uint64_t clock_hz = 0;  // the last DAP_SWJ_Clock
};

class VirtualDap {
 public:
  [[nodiscard]] static std::unique_ptr<VirtualDap> create(const VirtualDapOptions& options,
                                                          std::string& error);

  [[nodiscard]] const VirtualDapOptions& options() const { return options_; }
  // String descriptors: 1 maker, 2 product, 3 serial, 4 the interface's name.
  [[nodiscard]] std::string string(uint8_t index) const;
  [[nodiscard]] std::string device_descriptor() const;
  [[nodiscard]] uint16_t max_packet() const { return 512; }  // high-speed bulk

  // One command packet from the bulk OUT endpoint; false (nothing taken) while
  // "packet count" answers wait to be read.
  [[nodiscard]] bool bulk_out(std::span<const uint8_t> packet);
  [[nodiscard]] bool in_ready() const { return !answers_.empty(); }
  // The oldest answer into `into` (cut to its size); 0 when none waits.
  std::size_t bulk_in(std::span<uint8_t> into);

  // The answer to one command packet.
  [[nodiscard]] std::vector<uint8_t> execute(std::span<const uint8_t> packet);

  [[nodiscard]] SimBoard& board() { return *board_; }
  [[nodiscard]] const VirtualDapCounts& counts() const { return counts_; }
  // "virtual CMSIS-DAP: packets=N tck=N ir_scans=N dr_scans=N violations=N
  //  bad_commands=N"
  [[nodiscard]] std::string stats_line() const;

 private:
  VirtualDap(const VirtualDapOptions& options, std::unique_ptr<SimBoard> board);
  // Carries out the command at `in`, appends its answer; the bytes it took, or
  // 0 when it does not fit the packet.
  std::size_t command(std::span<const uint8_t> in, std::vector<uint8_t>& out);
  bool clock(bool tms, bool tdi);  // TDO before the rising edge
  void drive();

  VirtualDapOptions options_;
  std::unique_ptr<SimBoard> board_;
  std::deque<std::vector<uint8_t>> answers_;
  bool connected_ = false;
  bool tck_ = true, tms_ = true, tdi_ = true, ntrst_ = true;
  VirtualDapCounts counts_;
};

// The probe as the program's transport without the USB stack between.
class VirtualDapTransport final : public DapTransport {
 public:
  explicit VirtualDapTransport(VirtualDap& probe) : probe_(probe) {}
  [[nodiscard]] bool write(std::span<const uint8_t> packet) override;
  [[nodiscard]] bool read(std::span<uint8_t> into, std::size_t& got, int timeout_ms) override;
  [[nodiscard]] const std::string& error() const override { return error_; }

 private:
  VirtualDap& probe_;
  std::string error_;
};

}  // namespace jtagnand::sim
