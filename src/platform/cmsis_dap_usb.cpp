// The CMSIS-DAP v2 probe through libusb-1.0, when the program is built with
// it; else a stand-in that says the program was built without it.

#include <cstdio>
#include <string>

#include "platform/dap_transport.h"

#if defined(JTAGNAND_HAVE_LIBUSB1)

#include <libusb.h>

#include <vector>

namespace jtagnand {

namespace {

constexpr std::string_view kInterfaceName = "CMSIS-DAP";
// A transfer the probe does not finish in this time has failed; the cable
// applies its own, longer, limit to answers it waits for.
constexpr unsigned kWriteTimeoutMs = 5000;

std::string hex16(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", value);
  return text;
}

std::string looked_for(const DapSelector& s) {
  std::string text = "a USB interface named \"CMSIS-DAP...\"";
  text += s.vendor != 0 ? ", vendor " + hex16(s.vendor) : ", any vendor";
  text += s.product != 0 ? ", product " + hex16(s.product) : ", any product";
  text += s.serial.empty() ? ", any serial" : ", serial " + s.serial;
  return text;
}

std::string udev_remedy(const DapSelector& s) {
  const std::string vendor = s.vendor != 0 ? hex16(s.vendor) : "2e8a";
  const std::string product = s.product != 0 ? hex16(s.product) : "000c";
  return "to use it without root, add a udev rule such as SUBSYSTEM==\"usb\", ATTRS{idVendor}==\"" +
         vendor + "\", ATTRS{idProduct}==\"" + product +
         "\", MODE=\"0660\", GROUP=\"plugdev\" (the probe's own ids; these are the Raspberry Pi "
         "debug probe's)";
}

class LibusbDapTransport final : public DapTransport {
 public:
  LibusbDapTransport(libusb_context* context, libusb_device_handle* handle, int interface,
                     uint8_t out, uint8_t in)
      : context_(context), handle_(handle), interface_(interface), out_(out), in_(in) {}
  ~LibusbDapTransport() override {
    static_cast<void>(libusb_release_interface(handle_, interface_));
    libusb_close(handle_);
    libusb_exit(context_);
  }
  LibusbDapTransport(const LibusbDapTransport&) = delete;
  LibusbDapTransport& operator=(const LibusbDapTransport&) = delete;

  bool write(std::span<const uint8_t> packet) override {
    int sent = 0;
    const int rc = libusb_bulk_transfer(handle_, out_, const_cast<uint8_t*>(packet.data()),
                                        static_cast<int>(packet.size()), &sent, kWriteTimeoutMs);
    if (rc != 0) return failed("command packet", rc);
    if (static_cast<std::size_t>(sent) != packet.size()) {
      error_ = "command packet: " + std::to_string(sent) + " of " + std::to_string(packet.size()) +
               " bytes taken";
      return false;
    }
    return true;
  }

  bool read(std::span<uint8_t> into, std::size_t& got, int timeout_ms) override {
    int n = 0;
    const int rc = libusb_bulk_transfer(handle_, in_, into.data(), static_cast<int>(into.size()),
                                        &n, static_cast<unsigned>(timeout_ms));
    if (rc != 0) return failed("answer packet", rc);
    got = static_cast<std::size_t>(n);
    return true;
  }

  const std::string& error() const override { return error_; }

 private:
  bool failed(const char* what, int rc) {
    error_ = std::string(what) + ": " + libusb_strerror(rc);
    return false;
  }

  libusb_context* context_;
  libusb_device_handle* handle_;
  int interface_;
  uint8_t out_;
  uint8_t in_;
  std::string error_;
};

DapOpening refused(std::string message) {
  return DapOpening::refused(Refusal::kRefused, std::move(message));
}

std::string string_of(libusb_device_handle* handle, uint8_t index) {
  if (index == 0) return {};
  unsigned char text[256];
  const int n = libusb_get_string_descriptor_ascii(handle, index, text, sizeof text);
  return n > 0 ? std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(n))
               : std::string();
}

// The CMSIS-DAP v2 interface of an open device: its number and its first bulk
// OUT and IN endpoints; false when it has none.
bool find_interface(libusb_device* device, libusb_device_handle* handle, int& number, uint8_t& out,
                    uint8_t& in) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != 0 &&
      libusb_get_config_descriptor(device, 0, &config) != 0)
    return false;
  bool found = false;
  for (int i = 0; i < config->bNumInterfaces && !found; ++i) {
    for (int a = 0; a < config->interface[i].num_altsetting && !found; ++a) {
      const libusb_interface_descriptor& d = config->interface[i].altsetting[a];
      if (d.bNumEndpoints < 2 ||
          string_of(handle, d.iInterface).find(kInterfaceName) == std::string::npos)
        continue;
      out = in = 0;
      for (int e = 0; e < d.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& ep = d.endpoint[e];
        if ((ep.bmAttributes & 3) != LIBUSB_TRANSFER_TYPE_BULK) continue;
        uint8_t& slot = (ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) != 0 ? in : out;
        if (slot == 0) slot = ep.bEndpointAddress;
      }
      if (out != 0 && in != 0) {
        number = d.bInterfaceNumber;
        found = true;
      }
    }
  }
  libusb_free_config_descriptor(config);
  return found;
}

}  // namespace

DapOpening open_cmsis_dap_usb(const DapSelector& selector) {
  libusb_context* context = nullptr;
  if (libusb_init(&context) != 0) return refused("cmsis-dap: libusb-1.0 could not start");
  libusb_device** list = nullptr;
  const ssize_t count = libusb_get_device_list(context, &list);
  int unopened = 0;
  std::string error;
  DapDevice opening;
  for (ssize_t i = 0; i < count && !opening.transport; ++i) {
    libusb_device_descriptor d{};
    if (libusb_get_device_descriptor(list[i], &d) != 0) continue;
    if ((selector.vendor != 0 && d.idVendor != selector.vendor) ||
        (selector.product != 0 && d.idProduct != selector.product))
      continue;
    libusb_device_handle* handle = nullptr;
    if (const int rc = libusb_open(list[i], &handle); rc != 0) {
      // Without access the interface's name cannot be read: a probe may hide here.
      ++unopened;
      if (rc == LIBUSB_ERROR_ACCESS) error = "no permission to open some USB devices";
      continue;
    }
    int number = 0;
    uint8_t out = 0, in = 0;
    const std::string serial = string_of(handle, d.iSerialNumber);
    if (!find_interface(list[i], handle, number, out, in) ||
        (!selector.serial.empty() && serial != selector.serial)) {
      libusb_close(handle);
      continue;
    }
    static_cast<void>(libusb_set_auto_detach_kernel_driver(handle, 1));
    if (const int rc = libusb_claim_interface(handle, number); rc != 0) {
      error = std::string("found, but its interface could not be claimed: ") + libusb_strerror(rc) +
              " (another program holds it?)";
      libusb_close(handle);
      continue;
    }
    opening.vendor = d.idVendor;
    opening.product = d.idProduct;
    opening.product_name = string_of(handle, d.iProduct);
    opening.serial = serial;
    opening.transport = std::make_unique<LibusbDapTransport>(context, handle, number, out, in);
  }
  // An empty list is a list too: it holds its terminating null.
  if (count >= 0) libusb_free_device_list(list, 1);
  if (opening.transport) return DapOpening::ready(std::move(opening));
  libusb_exit(context);
  std::string message = "cmsis-dap: no CMSIS-DAP v2 probe found (" + looked_for(selector) + ")";
  if (!error.empty()) message += "; " + error;
  if (unopened > 0)
    message += "; " + std::to_string(unopened) + " USB device(s) could not be opened";
  return refused(message + "; plug it in or name it with cmsis-dap:vid=VID,pid=PID,serial=TEXT; " +
                 udev_remedy(selector));
}

}  // namespace jtagnand

#else  // built without libusb-1.0

namespace jtagnand {

DapOpening open_cmsis_dap_usb(const DapSelector&) {
  return DapOpening::refused(
      Refusal::kUnavailable,
      "JTAGNAND_PORT=cmsis-dap: this program was built without libusb-1.0; install it (Debian: "
      "libusb-1.0-0-dev) and build again");
}

}  // namespace jtagnand

#endif
