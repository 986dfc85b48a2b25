#pragma once

// A CMSIS-DAP v2 probe as the program reaches it: a USB interface whose name
// contains "CMSIS-DAP", with one bulk OUT endpoint that takes command packets
// and one bulk IN endpoint that returns their answers, one answer packet per
// command packet, in order.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/opened.h"

namespace jtagnand {

struct DapSelector {
  uint16_t vendor = 0;  // 0: any
  uint16_t product = 0;
  std::string serial;  // empty: any
};

class DapTransport {
 public:
  virtual ~DapTransport() = default;
  // Sends one command packet; false when the probe is gone (`error()` says why).
  [[nodiscard]] virtual bool write(std::span<const uint8_t> packet) = 0;
  // Takes one answer packet into `into`, waiting at most `timeout_ms`; its
  // length in `got`. False when none came in time or the probe is gone.
  [[nodiscard]] virtual bool read(std::span<uint8_t> into, std::size_t& got, int timeout_ms) = 0;
  [[nodiscard]] virtual const std::string& error() const = 0;
};

// A probe found, its interface claimed.
struct DapDevice {
  std::unique_ptr<DapTransport> transport;
  uint16_t vendor = 0;
  uint16_t product = 0;
  std::string product_name;  // the probe's product string (may be empty)
  std::string serial;        // its serial number (may be empty)
};

// Not found or no access: kRefused, the message naming what was looked for and
// the remedy; built without libusb-1.0: kUnavailable.
using DapOpening = Opened<DapDevice>;

// Finds the first CMSIS-DAP v2 interface that `selector` admits and claims it.
[[nodiscard]] DapOpening open_cmsis_dap_usb(const DapSelector& selector);

}  // namespace jtagnand
