// The Linux parallel-port device interface: /dev/parportN, claimed for the
// whole run, data lines forward, one ioctl per register access. Each device
// answers at its own I/O base (from /proc), so the probe of the standard bases
// reaches the right one; an address no device sits at reads 0xFF.

#include "platform/backends.h"

#if defined(__linux__)
#include <fcntl.h>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>
#endif

namespace jtagnand {

#if defined(__linux__)

namespace {

struct Device {
  int fd = -1;
  uint16_t base = 0;
};

// The base address the kernel found for parportN ("888\t-1\n" is 0x378).
uint16_t device_base(const std::string& device_path) {
  const std::string name = std::filesystem::path(device_path).filename().string();
  std::ifstream file("/proc/sys/dev/parport/" + name + "/base-addr");
  unsigned long base = 0;
  if (!(file >> base) || base > 0xFFFF) return 0;
  return static_cast<uint16_t>(base);
}

std::vector<std::string> all_devices() {
  std::vector<std::string> devices;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/dev", error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("parport", 0) == 0 && name.size() > 7) devices.push_back(entry.path().string());
  }
  std::sort(devices.begin(), devices.end());
  return devices;
}

class PpdevPort final : public PortIo {
 public:
  explicit PpdevPort(std::vector<Device> devices) : devices_(std::move(devices)) {}
  ~PpdevPort() override {
    for (const Device& device : devices_) {
      ioctl(device.fd, PPRELEASE);
      close(device.fd);
    }
  }

  void write_byte(uint16_t address, uint8_t value) override {
    // Only data registers are written; the status register is read-only and the
    // control register is never touched.
    for (const Device& device : devices_) {
      if (device.base == address) {
        unsigned char byte = value;
        ioctl(device.fd, PPWDATA, &byte);
        return;
      }
    }
  }

  [[nodiscard]] uint8_t read_byte(uint16_t address) override {
    for (const Device& device : devices_) {
      unsigned char byte = 0xFF;
      if (device.base == address) {
        if (ioctl(device.fd, PPRDATA, &byte) != 0) return 0xFF;
        return byte;
      }
      if (device.base + 1 == address) {
        if (ioctl(device.fd, PPRSTATUS, &byte) != 0) return 0xFF;
        return byte;
      }
    }
    return 0xFF;
  }

 private:
  std::vector<Device> devices_;
};

PortOpening refused(const std::string& device, int error) {
  return PortOpening::refused(
      Refusal::kRefused,
      device + ": " + std::strerror(error) +
          " (join group lp and load the ppdev module; if the printer driver holds the "
          "port, rmmod lp; JTAGNAND_PORT=sim runs on the simulated board)");
}

}  // namespace

bool any_ppdev_device() {
  return !all_devices().empty();
}

PortOpening open_ppdev_port(std::string_view device) {
  std::vector<std::string> paths;
  if (device.empty()) {
    paths = all_devices();
  } else {
    paths.emplace_back(device);
  }
  if (paths.empty()) return refused("/dev/parport*", ENOENT);

  std::vector<Device> opened;
  const auto give_back = [&opened] {
    for (const Device& d : opened) {
      ioctl(d.fd, PPRELEASE);
      close(d.fd);
    }
  };
  for (const std::string& path : paths) {
    const int fd = open(path.c_str(), O_RDWR);
    if (fd < 0) {
      const int error = errno;
      give_back();
      return refused(path, error);
    }
    if (ioctl(fd, PPCLAIM) != 0) {
      const int error = errno;
      close(fd);
      give_back();
      return refused(path, error);
    }
    int forward = 0;
    if (ioctl(fd, PPDATADIR, &forward) != 0) {
      const int error = errno;
      ioctl(fd, PPRELEASE);
      close(fd);
      give_back();
      return refused(path, error);
    }
    opened.push_back({fd, device_base(path)});
  }
  return PortOpening::ready(std::make_unique<PpdevPort>(std::move(opened)));
}

#else

bool any_ppdev_device() {
  return false;
}

PortOpening open_ppdev_port(std::string_view) {
  return PortOpening::refused(Refusal::kRefused, "the ppdev interface exists only on Linux");
}

#endif

}  // namespace jtagnand
