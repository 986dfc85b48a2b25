#pragma once

#include <cstdint>

namespace jtagnand {

// Calendar time in whole seconds.
class Clock {
 public:
  virtual ~Clock() = default;
  [[nodiscard]] virtual int64_t now_seconds() = 0;
};

class SystemClock final : public Clock {
 public:
  [[nodiscard]] int64_t now_seconds() override;
};

}  // namespace jtagnand
