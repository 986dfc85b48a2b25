// The FTDI adapter through libftdi1, when the program is built with it; else
// a stand-in that says the program was built without it.

#include <cstdio>
#include <string>
#include <vector>

#include "platform/usb_transport.h"

#if defined(JTAGNAND_HAVE_LIBFTDI1)

#include <libftdi1/ftdi.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <thread>
#include <utility>

namespace jtagnand {

namespace {

// libftdi's own transfer time-out for each USB transfer, milliseconds.
constexpr int kUsbTimeoutMs = 5000;
// Below this the latency timer only matters for replies without a
// send-immediate, which the cable never leaves behind.
constexpr unsigned char kLatencyMs = 2;
// All eight low pins start as inputs; the cable sets them with its first command.
constexpr unsigned char kMpssePinMask = 0x00;
// The chips with an MPSSE engine, as libftdi tells them apart.
constexpr std::pair<ftdi_chip_type, FtdiChip> kMpsseChips[] = {
    {TYPE_2232C, FtdiChip::kFt2232c},
    {TYPE_2232H, FtdiChip::kFt2232h},
    {TYPE_4232H, FtdiChip::kFt4232h},
    {TYPE_232H, FtdiChip::kFt232h},
};

std::string ids_text(const FtdiSelector& s) {
  char text[64];
  std::snprintf(text, sizeof text, "%04x:%04x (channel %c, ", s.vendor, s.product, s.channel);
  std::string out = text;
  out += s.serial.empty() ? "any serial)" : "serial " + s.serial + ")";
  return out;
}

std::string udev_remedy(const FtdiSelector& s) {
  char text[256];
  std::snprintf(text, sizeof text,
                "to use it without root, add a udev rule such as SUBSYSTEM==\"usb\", "
                "ATTRS{idVendor}==\"%04x\", ATTRS{idProduct}==\"%04x\", MODE=\"0660\", "
                "GROUP=\"plugdev\" (libftdi detaches the ftdi_sio driver itself)",
                s.vendor, s.product);
  return text;
}

class LibftdiTransport final : public UsbTransport {
 public:
  explicit LibftdiTransport(ftdi_context* context) : ftdi_(context) {}
  ~LibftdiTransport() override {
    // Back to the serial mode: the pins go to inputs and release the JTAG lines.
    static_cast<void>(ftdi_set_bitmode(ftdi_, 0, BITMODE_RESET));
    static_cast<void>(ftdi_usb_close(ftdi_));
    ftdi_free(ftdi_);
  }
  LibftdiTransport(const LibftdiTransport&) = delete;
  LibftdiTransport& operator=(const LibftdiTransport&) = delete;

  bool write(std::span<const uint8_t> bytes) override {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const int n =
          ftdi_write_data(ftdi_, bytes.data() + sent, static_cast<int>(bytes.size() - sent));
      if (n < 0) return failed("write");
      if (n == 0) return failed("write (nothing taken)");
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }

  bool read(std::span<uint8_t> reply, int timeout_ms) override {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::size_t got = 0;
    while (got < reply.size()) {
      const int n = ftdi_read_data(ftdi_, reply.data() + got, static_cast<int>(reply.size() - got));
      if (n < 0) return failed("read");
      got += static_cast<std::size_t>(n);
      if (got < reply.size()) {
        if (std::chrono::steady_clock::now() > until) {
          error_ = "read: " + std::to_string(got) + " of " + std::to_string(reply.size()) +
                   " bytes in " + std::to_string(timeout_ms) + " ms";
          return false;
        }
        if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    return true;
  }

  bool exchange(std::span<const uint8_t> bytes, std::span<uint8_t> reply) override {
    if (reply.empty()) return write(bytes);
    // The read is under way before the first command goes out; the writes
    // below run libusb's event loop, which collects replies as they come.
    ftdi_transfer_control* reading =
        ftdi_read_data_submit(ftdi_, reply.data(), static_cast<int>(reply.size()));
    if (reading == nullptr) return failed("read submit");
    if (!write(bytes)) {
      timeval wait{1, 0};
      ftdi_transfer_data_cancel(reading, &wait);
      return false;
    }
    const int got = ftdi_transfer_data_done(reading);
    if (got < 0) return failed("read");
    if (static_cast<std::size_t>(got) != reply.size()) {
      error_ = "read: " + std::to_string(got) + " of " + std::to_string(reply.size()) + " bytes";
      return false;
    }
    return true;
  }

  const std::string& error() const override { return error_; }

 private:
  bool failed(const char* what) {
    error_ = std::string(what) + ": " + ftdi_get_error_string(ftdi_);
    return false;
  }

  ftdi_context* ftdi_;
  std::string error_;
};

struct Candidate {
  libusb_device* device;
  std::string product;
  std::string serial;
  bool readable;  // its strings could be read (the device could be opened)
};

FtdiOpening refused(std::string message) {
  return FtdiOpening::refused(Refusal::kRefused, std::move(message));
}

}  // namespace

FtdiOpening open_ftdi_usb(const FtdiSelector& selector) {
  ftdi_context* ftdi = ftdi_new();
  if (ftdi == nullptr) return refused("ftdi: libftdi could not start (libusb failed to start)");
  const auto give_up = [&](std::string message) {
    ftdi_free(ftdi);
    return refused(std::move(message));
  };
  if (ftdi_set_interface(ftdi, selector.channel == 'B' ? INTERFACE_B : INTERFACE_A) < 0)
    return give_up(std::string("ftdi: ") + ftdi_get_error_string(ftdi));

  ftdi_device_list* list = nullptr;
  const int found = ftdi_usb_find_all(ftdi, &list, selector.vendor, selector.product);
  if (found < 0)
    return give_up("ftdi: looking for " + ids_text(selector) + ": " + ftdi_get_error_string(ftdi));

  std::vector<Candidate> candidates;
  for (ftdi_device_list* entry = list; entry != nullptr; entry = entry->next) {
    char manufacturer[128] = "", product[128] = "", serial[128] = "";
    const int rc = ftdi_usb_get_strings(ftdi, entry->dev, manufacturer, sizeof manufacturer,
                                        product, sizeof product, serial, sizeof serial);
    candidates.push_back({entry->dev, product, serial, rc >= 0});
  }

  const Candidate* chosen = nullptr;
  std::string seen;
  bool unreadable = false;
  for (const Candidate& c : candidates) {
    if (!c.readable) unreadable = true;
    if (c.readable && !c.serial.empty()) seen += (seen.empty() ? "" : ", ") + c.serial;
    if (chosen == nullptr &&
        (selector.serial.empty() || (c.readable && c.serial == selector.serial)))
      chosen = &c;
  }
  if (chosen == nullptr) {
    std::string message = "ftdi: no FTDI adapter " + ids_text(selector) + " found";
    if (!candidates.empty()) {
      message += " (" + std::to_string(candidates.size()) + " with these ids";
      if (!seen.empty()) message += ", serials " + seen;
      if (unreadable) message += ", some not readable: permissions?";
      message += ")";
    }
    message += "; plug it in or name it with ftdi:id=VID:PID,channel=A|B,serial=TEXT; " +
               udev_remedy(selector);
    ftdi_list_free(&list);
    return give_up(std::move(message));
  }

  FtdiDevice opening;
  opening.product = chosen->product;
  opening.serial = chosen->serial;
  const int opened = ftdi_usb_open_dev(ftdi, chosen->device);
  ftdi_list_free(&list);
  if (opened < 0) {
    return give_up("ftdi: adapter " + ids_text(selector) + " found but not opened: " +
                   ftdi_get_error_string(ftdi) + "; " + udev_remedy(selector));
  }

  const auto* mpsse = std::find_if(std::begin(kMpsseChips), std::end(kMpsseChips),
                                   [&](const auto& chip) { return chip.first == ftdi->type; });
  if (mpsse == std::end(kMpsseChips)) {
    static_cast<void>(ftdi_usb_close(ftdi));
    return give_up("ftdi: adapter " + ids_text(selector) +
                   " is an FTDI chip without an MPSSE engine (no JTAG)");
  }
  opening.chip = mpsse->second;
  ftdi->usb_read_timeout = kUsbTimeoutMs;
  ftdi->usb_write_timeout = kUsbTimeoutMs;
  if (ftdi_usb_reset(ftdi) < 0 || ftdi_set_latency_timer(ftdi, kLatencyMs) < 0 ||
      ftdi_set_bitmode(ftdi, kMpssePinMask, BITMODE_RESET) < 0 ||
      ftdi_set_bitmode(ftdi, kMpssePinMask, BITMODE_MPSSE) < 0 || ftdi_tcioflush(ftdi) < 0) {
    std::string message = "ftdi: adapter " + ids_text(selector) +
                          " did not enter MPSSE mode: " + ftdi_get_error_string(ftdi);
    static_cast<void>(ftdi_usb_close(ftdi));
    return give_up(std::move(message));
  }
  opening.transport = std::make_unique<LibftdiTransport>(ftdi);
  return FtdiOpening::ready(std::move(opening));
}

}  // namespace jtagnand

#else  // built without libftdi1

namespace jtagnand {

FtdiOpening open_ftdi_usb(const FtdiSelector&) {
#if defined(_WIN32)
  return FtdiOpening::refused(
      Refusal::kUnavailable,
      "JTAGNAND_PORT=ftdi: this program was built without libftdi1 (the Windows build has no "
      "USB adapter support); use the Linux build for FTDI adapters");
#else
  return FtdiOpening::refused(Refusal::kUnavailable,
                              "JTAGNAND_PORT=ftdi: this program was built without libftdi1; "
                              "install it (Debian: libftdi1-dev) and build again");
#endif
}

}  // namespace jtagnand

#endif
