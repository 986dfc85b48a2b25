#include "platform/clock.h"

#include <ctime>

namespace jtagnand {

int64_t SystemClock::now_seconds() {
  return static_cast<int64_t>(std::time(nullptr));
}

}  // namespace jtagnand
