#include "cables/queued_cable.h"

namespace jtagnand {

bool QueuedCable::read_tdo() {
  char bit = '1';
  sample(&bit);
  flush();
  return bit == '1';
}

void QueuedCable::close_quietly() noexcept {
  try {
    close();
  } catch (const LinkLost&) {
    // Nothing to tell anybody.
  }
}

}  // namespace jtagnand
