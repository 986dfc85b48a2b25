#pragma once

// A console that shows nothing and has no keys: the benchmarks time the runs,
// not the terminal.

#include <string_view>

#include "platform/console.h"

namespace jtagnand {

class QuietConsole final : public Console {
 public:
  void write(std::string_view) override {}
  [[nodiscard]] bool key_waiting() override { return false; }
  [[nodiscard]] int read_key() override { return -1; }
  [[nodiscard]] bool input_ended() override { return true; }
};

}  // namespace jtagnand
