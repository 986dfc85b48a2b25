#pragma once

// What the virtual USB devices (the FTDI chip, the CMSIS-DAP probe) share in
// showing themselves to the USB stack: little-endian fields and the device
// descriptor.

#include <cstdint>
#include <string>

namespace jtagnand::sim {

// Appends `value` as a little-endian 16-bit field.
void put16(std::string& bytes, uint16_t value);

// The facts of a device descriptor that differ between the devices. Both take
// 64-byte control packets, name maker (string 1) and product (string 2), a
// serial (string 3) when they have one, and one configuration.
struct UsbDeviceFacts {
  uint16_t bcd_usb = 0x0200;
  uint8_t device_class = 0;  // 0: each interface says what it is
  uint8_t subclass = 0;
  uint8_t protocol = 0;
  uint16_t vendor = 0;
  uint16_t product = 0;
  uint16_t bcd_device = 0;
  bool serial = false;
};

// The 18-byte device descriptor.
[[nodiscard]] std::string usb_device_descriptor(const UsbDeviceFacts& facts);

}  // namespace jtagnand::sim
