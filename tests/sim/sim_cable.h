#pragma once

// Test-side drivers for the simulated board, written from the cable's pin
// assignment and the 1149.1 state sequences: a cable that clocks TMS/TDI
// through raw port writes, and a NAND bus driver that expresses bus cycles as
// full boundary scans in EXTEST.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/port_io.h"
#include "sim/board_layouts.h"
#include "sim/sim_board.h"

namespace jtagnand::sim::testing {

// The simulated board of the options `text` (with `cpu` as -C names it); a
// refusal fails the test.
inline std::unique_ptr<SimPort> make_port(std::string_view text, std::string_view cpu = "") {
  SimOptions options;
  std::string error;
  EXPECT_TRUE(parse_sim_options(text, cpu, options, error)) << text << ": " << error;
  auto port = make_sim_port(options, error);
  EXPECT_NE(port, nullptr) << text << ": " << error;
  return port;
}

// D0 TDI, D1 TMS, D2 TCK, D3 nTRST; TDO on status bit 6.
class Cable {
 public:
  explicit Cable(PortIo& port, uint16_t base = 0x378) : port_(port), base_(base) {}

  void clock(int tms, int tdi) {
    const auto lines = static_cast<uint8_t>((tms ? 0x02 : 0) | (tdi ? 0x01 : 0));
    port_.write_byte(base_, static_cast<uint8_t>(lines | 0x08));  // TCK low
    port_.write_byte(base_, static_cast<uint8_t>(lines | 0x0C));  // TCK high: sampled
  }
  [[nodiscard]] int tdo() {
    return (port_.read_byte(static_cast<uint16_t>(base_ + 1)) & 0x40) ? 1 : 0;
  }

  void reset() {
    for (int i = 0; i < 5; ++i) clock(1, 0);
  }
  // Whether scans read TDO (they do unless told otherwise); what a scan does
  // not read comes back as 1s.
  void sampling(bool on) { sampling_ = on; }
  void trst_pulse() {
    port_.write_byte(base_, 0x0C);
    port_.write_byte(base_, 0x04);
    port_.write_byte(base_, 0x0C);
  }

  // Other TAPs on the chain, held in BYPASS: their IR lengths between TDI and
  // the CPU and between the CPU and TDO, each list from TDI towards TDO.
  // scan_ir and scan_dr add their bits (all-ones instructions, one bypass bit
  // each) and return only the CPU's part.
  void set_chain(std::vector<int> tdi_side, std::vector<int> tdo_side) {
    tdi_side_ = std::move(tdi_side);
    tdo_side_ = std::move(tdo_side);
  }

  // From Test-Logic-Reset or Run-Test/Idle through an IR scan back to
  // Run-Test/Idle; bit 0 of `value` goes first. Returns the captured bits.
  uint8_t scan_ir(uint8_t value, int length = 4) {
    std::vector<uint8_t> bits;
    for (int n : tdo_side_) bits.insert(bits.end(), static_cast<std::size_t>(n), 1);
    const std::size_t first = bits.size();
    for (int i = 0; i < length; ++i) bits.push_back(static_cast<uint8_t>((value >> i) & 1));
    for (int n : tdi_side_) bits.insert(bits.end(), static_cast<std::size_t>(n), 1);
    const std::vector<uint8_t> out = scan_ir_raw(bits);
    uint8_t captured = 0;
    for (int i = 0; i < length; ++i)
      captured = static_cast<uint8_t>(captured | (out[first + static_cast<std::size_t>(i)] << i));
    return captured;
  }

  // The same for a DR scan; bits[0] goes first and captured[i] comes out of
  // the i-th clock.
  std::vector<uint8_t> scan_dr(const std::vector<uint8_t>& bits) {
    std::vector<uint8_t> all(tdo_side_.size(), 0);
    all.insert(all.end(), bits.begin(), bits.end());
    all.insert(all.end(), tdi_side_.size(), 0);
    const std::vector<uint8_t> out = scan_dr_raw(all);
    const auto from = out.begin() + static_cast<std::ptrdiff_t>(tdo_side_.size());
    return {from, from + static_cast<std::ptrdiff_t>(bits.size())};
  }

  // Whole-chain scans: every bit given is shifted, every bit out returned.
  std::vector<uint8_t> scan_ir_raw(const std::vector<uint8_t>& bits) {
    for (int tms : {0, 1, 1, 0, 0}) clock(tms, 0);
    return shift(bits);
  }
  std::vector<uint8_t> scan_dr_raw(const std::vector<uint8_t>& bits) {
    for (int tms : {0, 1, 0, 0}) clock(tms, 0);
    return shift(bits);
  }

  // 32 bits of the data register selected, as a number (first bit out = bit 0).
  uint32_t read_dr32() {
    const auto bits = scan_dr(std::vector<uint8_t>(32, 0));
    uint32_t value = 0;
    for (int i = 0; i < 32; ++i) value |= uint32_t{bits[static_cast<std::size_t>(i)]} << i;
    return value;
  }

 private:
  // From Shift-IR or Shift-DR: the bits, Update, then Run-Test/Idle.
  std::vector<uint8_t> shift(const std::vector<uint8_t>& bits) {
    std::vector<uint8_t> captured(bits.size());
    for (std::size_t i = 0; i < bits.size(); ++i) {
      clock(i + 1 == bits.size(), bits[i]);
      captured[i] = sampling_ ? static_cast<uint8_t>(tdo()) : uint8_t{1};
    }
    clock(1, bits.back());  // Update
    clock(0, 0);            // the update takes effect on the falling edge
    return captured;
  }

  PortIo& port_;
  uint16_t base_;
  bool sampling_ = true;
  std::vector<int> tdi_side_;
  std::vector<int> tdo_side_;
};

// NAND bus cycles through EXTEST, one full scan per pin change.
class NandDriver {
 public:
  NandDriver(Cable& cable, const BoardLayout& layout)
      : cable_(cable), layout_(layout), vector_(static_cast<std::size_t>(layout.length), 0) {
    set(layout_.nce, 1);
    set(layout_.nwe, 1);
    set(layout_.nre, 1);
    set(layout_.cle, 0);
    set(layout_.ale, 0);
    listen();
  }

  // Resets the TAP and loads EXTEST.
  void start() {
    cable_.reset();
    cable_.scan_ir(0x0);
  }

  void set(int cell, int level) {
    vector_[static_cast<std::size_t>(cell)] = static_cast<uint8_t>(level);
  }
  void put(uint8_t value) {
    for (std::size_t k = 0; k < 8; ++k) {
      set(layout_.io_out[k], (value >> k) & 1);
      set(layout_.io_enable[k], layout_.enable_level);
    }
  }
  void listen() {
    for (std::size_t k = 0; k < 8; ++k) set(layout_.io_enable[k], layout_.enable_level ^ 1);
  }
  void scan() { last_capture_ = cable_.scan_dr(vector_); }
  [[nodiscard]] uint8_t captured_byte() const {
    uint8_t value = 0;
    for (std::size_t k = 0; k < 8; ++k)
      value = static_cast<uint8_t>(
          value | (last_capture_[static_cast<std::size_t>(layout_.io_in[k])] << k));
    return value;
  }
  [[nodiscard]] int captured(int cell) const {
    return last_capture_[static_cast<std::size_t>(cell)];
  }

  void select(int level) {
    set(layout_.nce, level);
    scan();
  }
  void command(uint8_t code) {
    put(code);
    set(layout_.cle, 1);
    scan();
    strobe();
    set(layout_.cle, 0);
    scan();
  }
  void address(const std::vector<uint8_t>& bytes) {
    set(layout_.ale, 1);
    scan();
    for (uint8_t b : bytes) {
      put(b);
      strobe();
    }
    set(layout_.ale, 0);
    scan();
  }
  void write(const std::vector<uint8_t>& bytes) {
    for (uint8_t b : bytes) {
      put(b);
      strobe();
    }
  }
  std::vector<uint8_t> read(std::size_t count) {
    listen();
    std::vector<uint8_t> out;
    for (std::size_t i = 0; i < count; ++i) {
      set(layout_.nre, 0);
      scan();
      scan();  // captures what the flash drives
      out.push_back(captured_byte());
      set(layout_.nre, 1);
      scan();
    }
    return out;
  }
  // Capturing scans until R/nB reads 1; returns the number of busy captures
  // seen, or -1 after `limit` polls.
  int wait_ready(int limit = 100) {
    for (int polls = 0; polls < limit; ++polls) {
      scan();
      if (captured(layout_.rnb)) return polls;
    }
    return -1;
  }
  uint8_t status() {
    command(0x70);
    return read(1)[0];
  }

 private:
  void strobe() {
    set(layout_.nwe, 0);
    scan();
    set(layout_.nwe, 1);
    scan();
  }

  Cable& cable_;
  const BoardLayout& layout_;
  std::vector<uint8_t> vector_;
  std::vector<uint8_t> last_capture_;
};

}  // namespace jtagnand::sim::testing
