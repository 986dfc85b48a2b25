#pragma once

// The virtual FTDI chip under a test process: the environment that puts the
// libusb-1.0 stand-in (built in the build tree's virtual-usb/) in front of the
// system library and gives the chip its board options.

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace jtagnand::testing {

// Empty when the stand-in was not built (no libusb-1.0 header).
inline const std::string kVirtualUsbDir = JTAGNAND_VIRTUAL_USB_DIR;

// LD_LIBRARY_PATH and JTAGNAND_VIRTUAL_FTDI for a process that is to see the
// virtual chip with `options` (those of sim: plus usb_chip, usb_id,
// usb_serial, usb_channel); an empty `options` attaches no device at all.
inline std::vector<std::string> virtual_ftdi_env(const std::string& options) {
  return {"LD_LIBRARY_PATH=" + kVirtualUsbDir, "JTAGNAND_VIRTUAL_FTDI=" + options};
}

// The same for the virtual CMSIS-DAP v2 probe (the options of sim: plus dap_id,
// dap_serial, dap_packet, dap_count, dap_swd_only).
inline std::vector<std::string> virtual_dap_env(const std::string& options) {
  return {"LD_LIBRARY_PATH=" + kVirtualUsbDir, "JTAGNAND_VIRTUAL_CMSIS_DAP=" + options};
}

#define JTAGNAND_SKIP_WITHOUT_VIRTUAL_USB()                                                   \
  if (::jtagnand::testing::kVirtualUsbDir.empty())                                            \
  GTEST_SKIP() << "the libusb-1.0 header is missing (Debian: libusb-1.0-0-dev): the virtual " \
                  "FTDI chip was not built"

}  // namespace jtagnand::testing
