#pragma once

// What a pin toggle test tells the layer above, and how it is asked to stop.

#include <cstdint>

namespace jtagnand {

enum class ToggleStart : uint8_t {
  kAllPins,         // a built-in CPU's pins toggle until stopped
  kFlashPins,       // a described board's flash pins toggle until stopped
  kNothingToggled,  // no toggle layout is known for the CPU: nothing is driven
};

class ToggleObserver {
 public:
  virtual ~ToggleObserver() = default;
  virtual void toggle_started(ToggleStart start) = 0;
  // Asked once per period, before its scan; true ends the test.
  [[nodiscard]] virtual bool stop_requested() = 0;
};

}  // namespace jtagnand
