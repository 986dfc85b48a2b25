#pragma once

// An FTDI USB adapter as the MPSSE cable needs it: found by USB ids, channel
// and serial number, switched to MPSSE mode, then command bytes out and reply
// bytes back. The USB library (libftdi1) stays behind this interface, so the
// MPSSE encoding above it is tested with a recording fake and runs unchanged on
// a virtual chip.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/opened.h"

namespace jtagnand {

// The FTDI chips with an MPSSE engine. H-series chips clock it from 60 MHz
// (30 MHz TCK at most), the FT2232C/D from 12 MHz (6 MHz TCK).
enum class FtdiChip : uint8_t { kFt2232c, kFt2232h, kFt4232h, kFt232h };

[[nodiscard]] constexpr bool is_high_speed(FtdiChip chip) {
  return chip != FtdiChip::kFt2232c;
}
[[nodiscard]] constexpr const char* chip_name(FtdiChip chip) {
  switch (chip) {
    case FtdiChip::kFt2232c:
      return "FT2232C/D";
    case FtdiChip::kFt2232h:
      return "FT2232H";
    case FtdiChip::kFt4232h:
      return "FT4232H";
    case FtdiChip::kFt232h:
      return "FT232H";
  }
  return "FTDI";
}

// Which adapter to open.
struct FtdiSelector {
  uint16_t vendor = 0x0403;
  uint16_t product = 0x6010;  // FT2232H
  char channel = 'A';         // 'A' or 'B': the MPSSE engine of that channel
  std::string serial;         // empty: the first adapter with these ids
};

class UsbTransport {
 public:
  virtual ~UsbTransport() = default;
  // Sends every byte; false when the adapter is gone (`error()` says why).
  [[nodiscard]] virtual bool write(std::span<const uint8_t> bytes) = 0;
  // Takes exactly `reply.size()` bytes, waiting at most `timeout_ms`; false
  // when fewer came in time or the adapter is gone.
  [[nodiscard]] virtual bool read(std::span<uint8_t> reply, int timeout_ms) = 0;
  // Sends `bytes` and takes exactly `reply.size()` bytes back, receiving while
  // it sends: the chip holds only a few KiB of replies and stops taking
  // commands while they wait, so a long batch of reads is never sent whole
  // before its replies are collected.
  [[nodiscard]] virtual bool exchange(std::span<const uint8_t> bytes, std::span<uint8_t> reply) = 0;
  [[nodiscard]] virtual const std::string& error() const = 0;
};

// An adapter found and opened: in MPSSE mode, its buffers purged.
struct FtdiDevice {
  std::unique_ptr<UsbTransport> transport;
  FtdiChip chip = FtdiChip::kFt2232h;
  std::string product;  // the adapter's product string
  std::string serial;   // the adapter's serial number (may be empty)
};

// Refused: not found, no access, or no MPSSE engine. Unavailable: this program
// was built without USB support. The message says which.
using FtdiOpening = Opened<FtdiDevice>;

// Finds the adapter `selector` names and opens its channel in MPSSE mode.
[[nodiscard]] FtdiOpening open_ftdi_usb(const FtdiSelector& selector);

}  // namespace jtagnand
