#include "platform/console.h"

#include <cstdio>
#include <string>

namespace jtagnand {

void vprint(Console& console, const char* format, va_list args) {
  char small[256];
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (needed < 0) return;
  if (static_cast<size_t>(needed) < sizeof small) {
    console.write(std::string_view(small, static_cast<size_t>(needed)));
    return;
  }
  std::string large(static_cast<size_t>(needed) + 1, '\0');
  std::vsnprintf(large.data(), large.size(), format, args);
  large.resize(static_cast<size_t>(needed));
  console.write(large);
}

void print(Console& console, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vprint(console, format, args);
  va_end(args);
}

}  // namespace jtagnand
