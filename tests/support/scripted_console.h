#pragma once

#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/console.h"

namespace jtagnand::testing {

// Collects what the program prints and hands out keys from a script. Once the
// script is used up, input has ended and no key is waiting.
class ScriptedConsole final : public Console {
 public:
  explicit ScriptedConsole(std::string keys = {}) : keys_(std::move(keys)) {}

  void write(std::string_view text) override { output_.append(text); }
  [[nodiscard]] bool key_waiting() override { return next_ < keys_.size(); }
  [[nodiscard]] int read_key() override {
    if (next_ >= keys_.size()) return -1;
    return static_cast<unsigned char>(keys_[next_++]);
  }
  [[nodiscard]] bool input_ended() override { return next_ >= keys_.size(); }

  void add_keys(std::string_view keys) { keys_.append(keys); }
  [[nodiscard]] const std::string& output() const { return output_; }
  void clear_output() { output_.clear(); }
  [[nodiscard]] size_t keys_read() const { return next_; }

 private:
  std::string keys_;
  size_t next_ = 0;
  std::string output_;
};

class FakeClock final : public Clock {
 public:
  [[nodiscard]] int64_t now_seconds() override { return now; }
  int64_t now = 1'000'000;
};

}  // namespace jtagnand::testing
