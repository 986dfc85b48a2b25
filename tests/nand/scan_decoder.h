#pragma once

// A port that decodes the cable's lines back into TAP traffic: every data
// register scan is recorded with the bits shifted in and whether its TDO was
// read. What the register captures comes from a hook that sees the pin levels
// the previous update left, so a test can play a small part of a flash chip.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cables/lpt_cable.h"
#include "platform/port_io.h"

namespace jtagnand::testing {

class ScanDecoder final : public PortIo {
 public:
  struct Scan {
    std::string bits;  // index 0 = first bit shifted in = cell 0
    bool captured = false;
  };

  // Fills `capture` (sized to the register) from `pins`, the cells the last
  // update applied (all '1' before the first update).
  using CaptureHook = std::function<void(const std::string& pins, std::string& capture)>;

  explicit ScanDecoder(uint32_t register_length, uint16_t base = 0x378)
      : length_(register_length), base_(base), pins_(register_length, '1') {}

  void on_capture(CaptureHook hook) { hook_ = std::move(hook); }

  void write_byte(uint16_t address, uint8_t value) override {
    ++writes_;
    if (address != base_) return;
    const bool tck = (value & kLineTck) != 0;
    if (tck && !tck_) rising_edge((value & kLineTms) != 0, (value & kLineTdi) != 0);
    tck_ = tck;
    data_ = value;
  }

  [[nodiscard]] uint8_t read_byte(uint16_t address) override {
    ++reads_;
    if (address == base_) return data_;
    if (address != base_ + 1) return 0xFF;
    if (state_ == State::kShiftDr || state_ == State::kExit1Dr) reads_in_scan_ = true;
    return tdo_ ? kStatusTdo : 0;
  }

  [[nodiscard]] const std::vector<Scan>& scans() const { return scans_; }
  [[nodiscard]] size_t capturing_scans() const {
    size_t n = 0;
    for (const Scan& s : scans_) n += s.captured ? 1 : 0;
    return n;
  }
  [[nodiscard]] uint64_t writes() const { return writes_; }
  [[nodiscard]] uint64_t reads() const { return reads_; }
  [[nodiscard]] const std::string& pins() const { return pins_; }
  void clear() {
    scans_.clear();
    writes_ = reads_ = 0;
  }

 private:
  enum class State {
    kReset,
    kIdle,
    kSelectDr,
    kCaptureDr,
    kShiftDr,
    kExit1Dr,
    kPauseDr,
    kExit2Dr,
    kUpdateDr,
    kSelectIr,
    kCaptureIr,
    kShiftIr,
    kExit1Ir,
    kPauseIr,
    kExit2Ir,
    kUpdateIr,
  };

  static State next(State s, bool tms) {
    switch (s) {
      case State::kReset:
        return tms ? State::kReset : State::kIdle;
      case State::kIdle:
        return tms ? State::kSelectDr : State::kIdle;
      case State::kSelectDr:
        return tms ? State::kSelectIr : State::kCaptureDr;
      case State::kCaptureDr:
        return tms ? State::kExit1Dr : State::kShiftDr;
      case State::kShiftDr:
        return tms ? State::kExit1Dr : State::kShiftDr;
      case State::kExit1Dr:
        return tms ? State::kUpdateDr : State::kPauseDr;
      case State::kPauseDr:
        return tms ? State::kExit2Dr : State::kPauseDr;
      case State::kExit2Dr:
        return tms ? State::kUpdateDr : State::kShiftDr;
      case State::kUpdateDr:
        return tms ? State::kSelectDr : State::kIdle;
      case State::kSelectIr:
        return tms ? State::kReset : State::kCaptureIr;
      case State::kCaptureIr:
        return tms ? State::kExit1Ir : State::kShiftIr;
      case State::kShiftIr:
        return tms ? State::kExit1Ir : State::kShiftIr;
      case State::kExit1Ir:
        return tms ? State::kUpdateIr : State::kPauseIr;
      case State::kPauseIr:
        return tms ? State::kExit2Ir : State::kPauseIr;
      case State::kExit2Ir:
        return tms ? State::kUpdateIr : State::kShiftIr;
      case State::kUpdateIr:
        return tms ? State::kSelectDr : State::kIdle;
    }
    return State::kReset;
  }

  void rising_edge(bool tms, bool tdi) {
    if (state_ == State::kCaptureDr) {
      capture_.assign(length_, '0');
      if (hook_) {
        hook_(pins_, capture_);
      } else {
        capture_ = pins_;
      }
      shifted_.clear();
      reads_in_scan_ = false;
    } else if (state_ == State::kShiftDr) {
      // The cell nearest TDO is the one captured for index 0; the value shows
      // on TDO for the read that follows this clock.
      const size_t k = shifted_.size();
      tdo_ = k < capture_.size() && capture_[k] == '1';
      shifted_.push_back(tdi ? '1' : '0');
    }
    state_ = next(state_, tms);
    if (state_ == State::kUpdateDr) {
      scans_.push_back({shifted_, reads_in_scan_});
      if (shifted_.size() == length_) pins_ = shifted_;
    }
  }

  uint32_t length_;
  uint16_t base_;
  std::string pins_;
  std::string capture_;
  std::string shifted_;
  CaptureHook hook_;
  State state_ = State::kReset;
  bool tck_ = true;
  bool tdo_ = true;
  bool reads_in_scan_ = false;
  uint8_t data_ = 0;
  std::vector<Scan> scans_;
  uint64_t writes_ = 0;
  uint64_t reads_ = 0;
};

}  // namespace jtagnand::testing
