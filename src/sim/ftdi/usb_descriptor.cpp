#include "sim/ftdi/usb_descriptor.h"

namespace jtagnand::sim {

void put16(std::string& bytes, uint16_t value) {
  bytes.push_back(static_cast<char>(value & 0xFF));
  bytes.push_back(static_cast<char>(value >> 8));
}

std::string usb_device_descriptor(const UsbDeviceFacts& facts) {
  std::string d;
  d += static_cast<char>(18);
  d += '\1';  // device
  put16(d, facts.bcd_usb);
  d += static_cast<char>(facts.device_class);
  d += static_cast<char>(facts.subclass);
  d += static_cast<char>(facts.protocol);
  d += static_cast<char>(64);  // control packets
  put16(d, facts.vendor);
  put16(d, facts.product);
  put16(d, facts.bcd_device);
  d += '\1';  // manufacturer string
  d += '\2';  // product string
  d += facts.serial ? '\3' : '\0';
  d += '\1';  // one configuration
  return d;
}

}  // namespace jtagnand::sim
