#include "jtag/cable.h"

namespace jtagnand {

void Cable::sample(char* into) {
  *into = read_tdo() ? '1' : '0';
}

void Cable::clock_tms(uint32_t tms_bits, uint32_t count, bool tdi) {
  for (uint32_t i = 0; i < count; ++i, tms_bits >>= 1) clock((tms_bits & 1U) != 0, tdi);
}

void Cable::shift(const char* tdi, char* capture, uint32_t length, bool exit_shift) {
  for (uint32_t i = 0; i < length; ++i) {
    clock(exit_shift && i + 1 == length, bit_of(tdi[i]));
    if (capture != nullptr) sample(capture + i);
  }
}

}  // namespace jtagnand
