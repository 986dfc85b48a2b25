#include "cables/lpt_cable.h"

#include <cstdio>

namespace jtagnand {

namespace {

[[nodiscard]] inline uint8_t tdi_of(char bit) {
  // A bit string carries each bit in the low bit of its character code.
  return static_cast<uint8_t>(static_cast<unsigned char>(bit) & kLineTdi);
}

}  // namespace

uint16_t lpt_detect(PortIo& io) {
  uint16_t found = 0;
  for (const uint16_t candidate : kCandidateBases) {
    io.write_byte(candidate, kProbePattern);
    if (io.read_byte(candidate) == kProbePattern) found = candidate;
  }
  return found;
}

void delay_loop(int32_t count) {
  // The volatile counter keeps the compiler from removing the loop.
  volatile int32_t turn = 0;
  while (turn < count) {
    turn = turn + 1;
  }
}

void cable_trst_pulse(const LptCable& cable) {
  cable.io->write_byte(cable.base, kLineTrstN | kLineTck);
  delay_loop(kTrstPulseDelay);
  cable.io->write_byte(cable.base, kLineTck);
  delay_loop(kTrstPulseDelay);
  cable.io->write_byte(cable.base, kLineTrstN | kLineTck);
}

void LptCable::clock_tms(uint32_t tms_bits, uint32_t count, bool tdi) {
  const uint8_t tdi_line = tdi ? kLineTdi : 0;
  for (uint32_t i = 0; i < count; ++i, tms_bits >>= 1)
    clock_lines(static_cast<uint8_t>(((tms_bits & 1U) != 0 ? kLineTms : 0) | tdi_line));
}

// The hot loop of every scan: two port writes per bit (and a status read when
// capturing), with no call through the Cable interface per bit.
void LptCable::shift(const char* tdi, char* capture, uint32_t length, bool exit_shift) {
  if (length == 0) return;
  const LptCable local(io, base);  // keeps io and base in registers across the clocks
  const uint32_t last = length - 1;
  if (capture == nullptr) {
    for (uint32_t i = 0; i < last; ++i) local.clock_lines(tdi_of(tdi[i]));
  } else {
    for (uint32_t i = 0; i < last; ++i) {
      local.clock_lines(tdi_of(tdi[i]));
      capture[i] = cable_read_tdo(local) ? '1' : '0';
    }
  }
  local.clock_lines(static_cast<uint8_t>((exit_shift ? kLineTms : 0) | tdi_of(tdi[last])));
  if (capture != nullptr) capture[last] = cable_read_tdo(local) ? '1' : '0';
}

void LptCable::trst_pulse() {
  cable_trst_pulse(*this);
}

std::string LptCable::announcement() const {
  char line[64];
  std::snprintf(line, sizeof line, "\nLPT 0x%X Port is detected.\n", static_cast<unsigned>(base));
  return line;
}

}  // namespace jtagnand
