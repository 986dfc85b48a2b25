#pragma once

#include <cstdarg>
#include <string_view>

namespace jtagnand {

inline constexpr int kKeyEsc = 27;

// The operator's console: text goes to standard output, keys come one at a time,
// unechoed, without waiting for a line end. When standard input is a file or a
// pipe its bytes are the keys, in order, and once it is exhausted no key is ever
// waiting again.
class Console {
 public:
  virtual ~Console() = default;
  virtual void write(std::string_view text) = 0;
  // True when read_key() would return a key at once. Never blocks.
  [[nodiscard]] virtual bool key_waiting() = 0;
  // One key, or -1 when the input has ended. Blocks until a key arrives.
  [[nodiscard]] virtual int read_key() = 0;
  // True once standard input is closed or exhausted: no key will ever come.
  [[nodiscard]] virtual bool input_ended() = 0;
};

// printf-style output to the console. The formats are checked as the C99
// printf family (gnu_printf): MinGW's compiler would otherwise check them
// against the old msvcrt rules and reject %zu, which its C++ runtime formats.
void print(Console& console, const char* format, ...) __attribute__((format(gnu_printf, 2, 3)));
void vprint(Console& console, const char* format, va_list args)
    __attribute__((format(gnu_printf, 2, 0)));

}  // namespace jtagnand
