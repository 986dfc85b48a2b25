#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "platform/port_io.h"

namespace jtagnand::testing {

// A port that records every access in order. Reads answer from a queue of
// status bytes per address (then a default), so a test can script what the
// target shows on TDO.
class RecordingPort final : public PortIo {
 public:
  struct Access {
    bool is_write;
    uint16_t address;
    uint8_t value;
    bool operator==(const Access&) const = default;
  };

  void write_byte(uint16_t address, uint8_t value) override {
    accesses_.push_back({true, address, value});
    if (auto it = latched_.find(address); it != latched_.end()) it->second = value;
  }

  [[nodiscard]] uint8_t read_byte(uint16_t address) override {
    uint8_t value = default_read_;
    if (auto it = latched_.find(address); it != latched_.end()) value = it->second;
    if (auto it = scripted_.find(address); it != scripted_.end() && !it->second.empty()) {
      value = it->second.front();
      it->second.erase(it->second.begin());
    }
    accesses_.push_back({false, address, value});
    return value;
  }

  // Bytes returned by the next reads of `address`, in order.
  void script_reads(uint16_t address, std::vector<uint8_t> values) {
    auto& queue = scripted_[address];
    queue.insert(queue.end(), values.begin(), values.end());
  }
  // Make the data register of `address` read back what was last written there.
  void answer_at(uint16_t address) { latched_[address] = 0; }
  void set_default_read(uint8_t value) { default_read_ = value; }

  [[nodiscard]] const std::vector<Access>& accesses() const { return accesses_; }
  [[nodiscard]] std::vector<uint8_t> writes() const {
    std::vector<uint8_t> out;
    for (const auto& a : accesses_)
      if (a.is_write) out.push_back(a.value);
    return out;
  }
  [[nodiscard]] size_t read_count() const {
    size_t n = 0;
    for (const auto& a : accesses_) n += a.is_write ? 0 : 1;
    return n;
  }
  void clear() { accesses_.clear(); }

 private:
  std::vector<Access> accesses_;
  std::map<uint16_t, std::vector<uint8_t>> scripted_;
  std::map<uint16_t, uint8_t> latched_;  // data registers that read back what was written
  uint8_t default_read_ = 0xFF;
};

}  // namespace jtagnand::testing
