#pragma once

// The devices on the simulated board's JTAG chain. Every TAP on a chain sees
// the same TCK, TMS and nTRST, so they all walk the same state sequence: the
// board keeps the one state machine and tells each device what happens to its
// registers. Between devices, each one's TDI is the TDO its neighbour nearer
// to TDI presented at the last falling edge.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace jtagnand::sim {

class TapDevice {
 public:
  // `ir_capture`: the pattern Capture-IR loads, bit 0 nearest TDO (...01 by
  // IEEE 1149.1).
  TapDevice(int ir_length, uint64_t ir_capture)
      : ir_top_(static_cast<unsigned>(ir_length - 1)),
        ir_capture_(ir_capture),
        ir_shift_(ir_capture) {}
  virtual ~TapDevice() = default;
  TapDevice(const TapDevice&) = delete;
  TapDevice& operator=(const TapDevice&) = delete;

  // The instruction register, the same in every device: a shift register that
  // Capture-IR loads and whose content becomes the instruction at Update-IR.
  void capture_ir() { ir_shift_ = ir_capture_; }
  void shift_ir(uint8_t tdi) { ir_shift_ = (ir_shift_ >> 1) | (uint64_t{tdi} << ir_top_); }
  [[nodiscard]] uint8_t ir_out() const { return static_cast<uint8_t>(ir_shift_ & 1U); }
  void update_ir() { select(ir_shift_); }

  virtual void reset() = 0;  // Test-Logic-Reset: the power-up instruction
  virtual void capture_dr() = 0;
  virtual void shift_dr(uint8_t tdi) = 0;
  [[nodiscard]] virtual uint8_t dr_out() const = 0;
  virtual void update_dr() = 0;

 protected:
  virtual void select(uint64_t instruction) = 0;

 private:
  unsigned ir_top_;
  uint64_t ir_capture_;
  uint64_t ir_shift_;
};

// The CPU on the chain: the TAP whose boundary register reaches the flash.
class CpuTap : public TapDevice {
 public:
  using TapDevice::TapDevice;
  [[nodiscard]] virtual uint64_t instruction() const = 0;  // the instruction in force
  [[nodiscard]] virtual uint64_t idcode_instruction() const = 0;
  [[nodiscard]] virtual uint32_t idcode() const = 0;
  [[nodiscard]] virtual int boundary_length() const = 0;

  // Called at every Update-DR of the boundary register with its update
  // latches, one '0'/'1' per cell, index 0 = the first bit shifted in.
  std::function<void(std::string_view latches)> update_observer;
};

// A device that has only BYPASS: any instruction selects the one-bit bypass
// register, which captures 0; no IDCODE, so a chain scan after reset sees
// its single 0 bit.
[[nodiscard]] std::unique_ptr<TapDevice> make_bypass_tap(int ir_length);

}  // namespace jtagnand::sim
