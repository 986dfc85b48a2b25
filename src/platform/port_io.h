#pragma once

#include <cstdint>

namespace jtagnand {

// The only hardware the program touches: one byte written to, or read from, an
// address in the PC's legacy I/O space. Backends pass every access through as it
// is; the cable layer sees the registers exactly as the port presents them.
class PortIo {
 public:
  virtual ~PortIo() = default;
  virtual void write_byte(uint16_t address, uint8_t value) = 0;
  [[nodiscard]] virtual uint8_t read_byte(uint16_t address) = 0;
};

}  // namespace jtagnand
