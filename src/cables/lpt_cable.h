#pragma once

// The parallel-port JTAG cable: one port bit per JTAG line, set and read one
// byte access at a time.

#include <array>
#include <cstdint>
#include <string>

#include "jtag/cable.h"
#include "platform/port_io.h"

namespace jtagnand {

// Data register (base): D0 TDI, D1 TMS, D2 TCK, D3 nTRST (active low), D4-D7
// unwired and always written 0. Status register (base + 1): bit 6 (nAck, not
// inverted by the port) is TDO.
inline constexpr uint8_t kLineTdi = 0x01;
inline constexpr uint8_t kLineTms = 0x02;
inline constexpr uint8_t kLineTck = 0x04;
inline constexpr uint8_t kLineTrstN = 0x08;
inline constexpr uint8_t kStatusTdo = 0x40;

// Written to each candidate's data register; a present port reads it back.
inline constexpr uint8_t kProbePattern = 0x55;
// Probed in this order; a later answer replaces an earlier one.
inline constexpr std::array<uint16_t, 3> kCandidateBases{0x378, 0x278, 0x3BC};

inline constexpr int32_t kTrstPulseDelay = 10000;

// Probes the three standard bases and returns the last one whose data register
// read back the probe pattern, or 0 when none did.
[[nodiscard]] uint16_t lpt_detect(PortIo& io);

// A bare count of empty loop turns: the only pacing of the TRST pulse. It is
// kept from being optimised away.
void delay_loop(int32_t count);

// The cable on a port at `base`. The port is not owned.
class LptCable : public Cable {
 public:
  LptCable() = default;
  LptCable(PortIo* io_, uint16_t base_) : io(io_), base(base_) {}

  void clock(bool tms, bool tdi) override {
    clock_lines(static_cast<uint8_t>((tms ? kLineTms : 0) | (tdi ? kLineTdi : 0)));
  }
  [[nodiscard]] bool read_tdo() override {
    return (io->read_byte(static_cast<uint16_t>(base + 1)) & kStatusTdo) != 0;
  }
  void sample(char* into) override { *into = read_tdo() ? '1' : '0'; }
  void clock_tms(uint32_t tms_bits, uint32_t count, bool tdi) override;
  void shift(const char* tdi, char* capture, uint32_t length, bool exit_shift) override;
  // nTRST low for one delay with TCK held high, so the TAP sees only the
  // asynchronous reset and no clock edge.
  void trst_pulse() override;
  [[nodiscard]] std::string announcement() const override;
  // The classic sequence unless `fast` was asked for.
  [[nodiscard]] BusTraffic bus_traffic() const override {
    return fast ? BusTraffic::kMinimal : BusTraffic::kClassic;
  }

  // One TCK period: TCK falls with TMS (bit 1) and TDI (bit 0) of `lines` in the
  // same write, then rises; the target samples TMS and TDI on the rising edge.
  // TCK is left high.
  void clock_lines(uint8_t lines) const {
    io->write_byte(base, static_cast<uint8_t>(lines | kLineTrstN));
    io->write_byte(base, static_cast<uint8_t>(lines | kLineTrstN | kLineTck));
  }

  PortIo* io = nullptr;
  uint16_t base = 0;  // data register; 0 means no port was found
  bool fast = false;  // the minimal bus cycles (the `fast` option): not the classic traffic
};

// The same clock and TDO read as free functions, for the cable's byte-level
// tests and the pin toggle pacing.
inline void jtag_clock(const LptCable& cable, uint8_t lines) {
  cable.clock_lines(lines);
}
[[nodiscard]] inline bool cable_read_tdo(const LptCable& cable) {
  return (cable.io->read_byte(static_cast<uint16_t>(cable.base + 1)) & kStatusTdo) != 0;
}
void cable_trst_pulse(const LptCable& cable);

}  // namespace jtagnand
