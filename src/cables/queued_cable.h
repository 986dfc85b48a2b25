#pragma once

// What the cables that queue their TDO samples share (a socket, a USB probe or
// adapter: a round trip per answer would cost more than the scan). They take
// the place a sample goes to and fill it when the answers come back, at the
// latest in flush(); a TDO read is then a sample flushed at once.

#include "jtag/cable.h"

namespace jtagnand {

class QueuedCable : public Cable {
 public:
  QueuedCable() = default;
  QueuedCable(const QueuedCable&) = delete;  // each owns its link
  QueuedCable& operator=(const QueuedCable&) = delete;

  void sample(char* into) override = 0;
  [[nodiscard]] bool read_tdo() final;

 protected:
  // For the destructors: close(), with a lost link taken quietly, since a
  // cable destroyed without close() belongs to a run that has ended already,
  // and a link gone now loses nothing of it.
  void close_quietly() noexcept;
};

}  // namespace jtagnand
