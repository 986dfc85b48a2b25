// Direct port I/O: one in/out instruction per access on the three standard
// parallel-port bases. Linux on x86 only; elsewhere the backend refuses.

#include "platform/backends.h"

#if defined(__linux__) && (defined(__x86_64__) || defined(__i386__))
#include <sys/io.h>

#include <array>
#include <cerrno>
#include <cstring>
#endif

namespace jtagnand {

#if defined(__linux__) && (defined(__x86_64__) || defined(__i386__))

namespace {

// Data, status and control register of each standard base.
constexpr std::array<unsigned long, 3> kBases{0x378, 0x278, 0x3BC};
constexpr unsigned long kRegisterCount = 3;

class DirectPort final : public PortIo {
 public:
  ~DirectPort() override {
    for (const unsigned long base : kBases) ioperm(base, kRegisterCount, 0);
  }
  void write_byte(uint16_t address, uint8_t value) override { outb(value, address); }
  [[nodiscard]] uint8_t read_byte(uint16_t address) override { return inb(address); }
};

}  // namespace

PortOpening open_direct_port() {
  for (const unsigned long base : kBases) {
    if (ioperm(base, kRegisterCount, 1) != 0) {
      const int error = errno;
      for (const unsigned long granted : kBases) ioperm(granted, kRegisterCount, 0);
      return PortOpening::refused(
          Refusal::kRefused,
          std::string("direct port I/O refused (") + std::strerror(error) +
              "): run as root or with CAP_SYS_RAWIO (kernel lockdown refuses it even "
              "to root), or use JTAGNAND_PORT=ppdev, or JTAGNAND_PORT=sim for the "
              "simulated board");
    }
  }
  return PortOpening::ready(std::make_unique<DirectPort>());
}

#elif !defined(_WIN32)

PortOpening open_direct_port() {
  return PortOpening::refused(
      Refusal::kRefused,
      "direct port I/O exists only on x86 PCs; use JTAGNAND_PORT=ppdev, or JTAGNAND_PORT=sim "
      "for the simulated board");
}

#endif

}  // namespace jtagnand
