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
#include <vector>

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

// What a CPU's instruction puts between TDI and TDO.
enum class DataRegister : uint8_t { kBypass, kIdcode, kBoundary };

// The shift stages of a CPU's data registers: BYPASS, IDCODE and the boundary
// register. The boundary register is a ring buffer with a moving head, so a
// shift costs the same whatever the register's length. What a boundary cell
// captures and what its update latch drives is the CPU's own business.
class CpuDataRegisters {
 public:
  explicit CpuDataRegisters(uint32_t boundary_length)
      : length_(boundary_length), ring_(boundary_length, 0) {}

  DataRegister selected = DataRegister::kBypass;

  [[nodiscard]] uint8_t out() const {
    switch (selected) {
      case DataRegister::kBoundary:
        return ring_[head_];
      case DataRegister::kIdcode:
        return static_cast<uint8_t>(id_shift_ & 1U);
      case DataRegister::kBypass:
        return bypass_;
    }
    return 1;
  }

  void shift(uint8_t tdi) {
    switch (selected) {
      case DataRegister::kBoundary:
        // Cell 0 sits at TDO; the slot that leaves becomes the TDI end.
        ring_[head_] = tdi;
        if (++head_ == length_) head_ = 0;
        break;
      case DataRegister::kIdcode:
        id_shift_ = (id_shift_ >> 1) | (uint32_t{tdi} << 31);
        break;
      case DataRegister::kBypass:
        bypass_ = tdi;
        break;
    }
  }

  // Capture-DR of IDCODE (loads `idcode`) and BYPASS (loads 0); the CPU loads
  // the boundary cells itself through cell().
  void capture(uint32_t idcode) {
    if (selected == DataRegister::kIdcode) id_shift_ = idcode;
    if (selected == DataRegister::kBypass) bypass_ = 0;
  }

  // The shift stage of boundary cell `index`, 0 nearest TDO.
  [[nodiscard]] uint8_t& cell(uint32_t index) {
    uint32_t at = head_ + index;
    if (at >= length_) at -= length_;
    return ring_[at];
  }

 private:
  uint32_t length_;
  std::vector<uint8_t> ring_;  // cell i at ring_[head_ + i], one byte each (0 or 1)
  uint32_t head_ = 0;
  uint32_t id_shift_ = 0;
  uint8_t bypass_ = 0;
};

// A device that has only BYPASS: any instruction selects the one-bit bypass
// register, which captures 0; no IDCODE, so a chain scan after reset sees
// its single 0 bit.
[[nodiscard]] std::unique_ptr<TapDevice> make_bypass_tap(int ir_length);

}  // namespace jtagnand::sim
