#include "jtag/cable.h"

namespace jtagnand {

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

}  // namespace jtagnand
