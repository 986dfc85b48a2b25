// Direct port I/O on Windows: one in/out instruction per access.
//
// On the NT family a user-mode process may execute in/out only once the giveio
// driver has opened the I/O permission map for it; opening the driver's device
// is what grants the right, so being able to open it is the proof. Windows 9x
// lets every process touch the ports and needs no check.

#if defined(_WIN32)

#include <windows.h>

#include "platform/backends.h"

namespace jtagnand {

namespace {

// The size of OSVERSIONINFOA as the version query expects it.
constexpr DWORD kVersionInfoSize = 148;
static_assert(sizeof(OSVERSIONINFOA) == kVersionInfoSize);

class WindowsDirectPort final : public PortIo {
 public:
  void write_byte(uint16_t address, uint8_t value) override {
    __asm__ __volatile__("outb %0, %1" : : "a"(value), "Nd"(address));
  }
  [[nodiscard]] uint8_t read_byte(uint16_t address) override {
    uint8_t value = 0;
    __asm__ __volatile__("inb %1, %0" : "=a"(value) : "Nd"(address));
    return value;
  }
};

// True unless this is the NT family and the giveio device cannot be opened.
bool port_access_granted() {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = kVersionInfoSize;
  // Its result is not needed: a failed query leaves the platform id 0, which
  // is not the NT family and skips the check like Windows 9x.
  GetVersionExA(&version);
  if (version.dwPlatformId != VER_PLATFORM_WIN32_NT) return true;
  const HANDLE giveio = CreateFileA("\\\\.\\giveio", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (giveio == INVALID_HANDLE_VALUE) return false;
  // The permission stays with the process; the handle itself is not needed.
  CloseHandle(giveio);
  return true;
}

}  // namespace

PortOpening open_direct_port() {
  if (!port_access_granted()) {
    return PortOpening::refused(
        Refusal::kRefused,
        "port I/O needs the giveio driver on this Windows: install and start it (it loads on "
        "32-bit Windows only; use jtagnand.exe from the 32-bit build), or set "
        "JTAGNAND_PORT=sim for the simulated board");
  }
  return PortOpening::ready(std::make_unique<WindowsDirectPort>());
}

}  // namespace jtagnand

#endif
