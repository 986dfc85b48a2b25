// A stand-in for libusb-1.0 that presents the virtual USB devices: the virtual
// FTDI chip and the virtual CMSIS-DAP v2 probe, each with a simulated board
// behind it. Built as libusb-1.0.so.0 in a directory of its own and put in
// front of the system library with LD_LIBRARY_PATH, for test processes only,
// so that libftdi1 (under the program's ftdi cable), the program's cmsis-dap
// cable, and OpenOCD's own ftdi and cmsis-dap drivers run unchanged against
// the virtual devices.
//
// JTAGNAND_VIRTUAL_FTDI holds the chip's options (those of sim: plus usb_chip,
// usb_id, usb_serial, usb_channel); unset, no chip is attached.
// JTAGNAND_VIRTUAL_CMSIS_DAP holds the probe's (those of sim: plus dap_id,
// dap_serial, dap_packet, dap_count, dap_swd_only); unset, no probe is
// attached. With the `stats` option a device's stats line is printed on
// standard error at exit.
//
// What is implemented is the part of the libusb API that libftdi1 and OpenOCD
// call: device list and descriptors, open and claim, control transfers, the
// synchronous bulk transfer, and asynchronous transfers completed by the
// handle_events functions. Time is not modelled: a transfer that would wait
// completes as soon as nothing else can move, the way a real chip's latency
// timer eventually answers a waiting read.

#include <libusb.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "sim/ftdi/virtual_dap.h"
#include "sim/ftdi/virtual_ftdi.h"

using jtagnand::sim::VirtualDap;
using jtagnand::sim::VirtualFtdi;

// One of the two: the FTDI chip or the CMSIS-DAP probe.
struct libusb_device {
  libusb_context* context;
  VirtualFtdi* chip;
  VirtualDap* dap;
};

struct libusb_device_handle {
  libusb_device* device;
};

struct libusb_context {
  std::deque<libusb_transfer*> queued;     // submitted, not yet completed
  std::deque<libusb_transfer*> cancelled;  // completed as cancelled at the next event handling
  std::vector<std::unique_ptr<libusb_device>> devices;  // those attached
};

namespace {

constexpr const char* kOptionsVariable = "JTAGNAND_VIRTUAL_FTDI";
constexpr const char* kDapOptionsVariable = "JTAGNAND_VIRTUAL_CMSIS_DAP";

// The chip is the process's one USB device, shared by every libusb context
// (libftdi and OpenOCD each start their own), as a plugged-in device is. It
// lives until the process ends: the flash file is written through at every
// store, and the stats line is printed from an exit handler.
struct Machine {
  std::unique_ptr<VirtualFtdi> chip;
  std::unique_ptr<VirtualDap> dap;
  libusb_context default_context;
};

void print_stats();
void print_dap_stats();

void attach_dap(Machine& m) {
  const char* text = std::getenv(kDapOptionsVariable);
  if (text == nullptr || *text == '\0') return;
  jtagnand::sim::VirtualDapOptions options;
  std::string error;
  if (!jtagnand::sim::parse_virtual_dap_options(text, options, error)) {
    std::fprintf(stderr, "virtual CMSIS-DAP: %s=%s: %s\n", kDapOptionsVariable, text,
                 error.c_str());
    return;
  }
  m.dap = VirtualDap::create(options, error);
  if (!m.dap) {
    std::fprintf(stderr, "virtual CMSIS-DAP: %s\n", error.c_str());
  } else if (options.board.stats) {
    std::atexit(print_dap_stats);
  }
}

Machine& machine() {
  static Machine* const m = [] {
    auto* created = new Machine;
    attach_dap(*created);
    const char* text = std::getenv(kOptionsVariable);
    if (text == nullptr || *text == '\0') return created;
    jtagnand::sim::VirtualFtdiOptions options;
    std::string error;
    if (!jtagnand::sim::parse_virtual_ftdi_options(text, options, error)) {
      std::fprintf(stderr, "virtual FTDI: %s=%s: %s\n", kOptionsVariable, text, error.c_str());
      return created;
    }
    created->chip = VirtualFtdi::create(options, error);
    if (!created->chip) {
      std::fprintf(stderr, "virtual FTDI: %s\n", error.c_str());
    } else if (options.board.stats) {
      std::atexit(print_stats);
    }
    return created;
  }();
  return *m;
}

void print_stats() {
  std::fprintf(stderr, "%s\n", machine().chip->stats_line().c_str());
}

void print_dap_stats() {
  std::fprintf(stderr, "%s\n", machine().dap->stats_line().c_str());
}

libusb_context* context_of(libusb_context* context) {
  return context != nullptr ? context : &machine().default_context;
}

bool is_in(unsigned char endpoint) {
  return (endpoint & LIBUSB_ENDPOINT_IN) != 0;
}

// Bulk endpoints: 0x02 / 0x81 channel A, 0x04 / 0x83 channel B.
int channel_of(unsigned char endpoint) {
  const int number = endpoint & 0x0F;
  return is_in(endpoint) ? (number - 1) / 2 : number / 2 - 1;
}

void complete(libusb_transfer* t, libusb_transfer_status status, int actual) {
  libusb_context* context = t->dev_handle->device->context;
  const auto at = std::find(context->queued.begin(), context->queued.end(), t);
  if (at != context->queued.end()) context->queued.erase(at);
  t->status = status;
  t->actual_length = actual;
  const bool free_after = (t->flags & LIBUSB_TRANSFER_FREE_TRANSFER) != 0;
  if (t->callback != nullptr) t->callback(t);
  if (free_after) libusb_free_transfer(t);
}

// Completes the queued IN transfers that have replies to carry now; true when
// any did. A completed transfer may be submitted again by its callback.
bool deliver_ready_ins(libusb_context* context, bool latency_expired) {
  for (libusb_transfer* t : context->queued) {
    if (t->type != LIBUSB_TRANSFER_TYPE_BULK || !is_in(t->endpoint)) continue;
    if (VirtualDap* dap = t->dev_handle->device->dap; dap != nullptr) {
      if (!dap->in_ready()) continue;
      const std::size_t n = dap->bulk_in(std::span(t->buffer, static_cast<std::size_t>(t->length)));
      complete(t, LIBUSB_TRANSFER_COMPLETED, static_cast<int>(n));
      return true;
    }
    VirtualFtdi& chip = *t->dev_handle->device->chip;
    const int channel = channel_of(t->endpoint);
    if (!latency_expired && !chip.in_ready(channel)) continue;
    const std::size_t n = chip.bulk_in(
        channel, std::span(t->buffer, static_cast<std::size_t>(t->length)), latency_expired);
    complete(t, LIBUSB_TRANSFER_COMPLETED, static_cast<int>(n));
    return true;  // the queue changed
  }
  return false;
}

// Moves queued OUT and control transfers on; true when one completed.
bool advance_outs(libusb_context* context) {
  for (libusb_transfer* t : context->queued) {
    if (VirtualDap* dap = t->dev_handle->device->dap; dap != nullptr) {
      if (t->type != LIBUSB_TRANSFER_TYPE_BULK || is_in(t->endpoint)) continue;
      if (!dap->bulk_out(std::span<const uint8_t>(t->buffer, static_cast<std::size_t>(t->length))))
        continue;
      complete(t, LIBUSB_TRANSFER_COMPLETED, t->length);
      return true;
    }
    VirtualFtdi& chip = *t->dev_handle->device->chip;
    if (t->type == LIBUSB_TRANSFER_TYPE_CONTROL) {
      const libusb_control_setup* setup = libusb_control_transfer_get_setup(t);
      const int n = chip.control(
          setup->bmRequestType, setup->bRequest, libusb_le16_to_cpu(setup->wValue),
          libusb_le16_to_cpu(setup->wIndex),
          std::span(libusb_control_transfer_get_data(t), libusb_le16_to_cpu(setup->wLength)));
      if (n < 0) {
        complete(t, LIBUSB_TRANSFER_STALL, 0);
      } else {
        complete(t, LIBUSB_TRANSFER_COMPLETED, n + LIBUSB_CONTROL_SETUP_SIZE);
      }
      return true;
    }
    if (t->type != LIBUSB_TRANSFER_TYPE_BULK || is_in(t->endpoint)) continue;
    // actual_length counts what the chip took so far.
    const std::size_t done = static_cast<std::size_t>(t->actual_length);
    const std::size_t n = chip.bulk_out(
        channel_of(t->endpoint),
        std::span<const uint8_t>(t->buffer + done, static_cast<std::size_t>(t->length) - done));
    t->actual_length += static_cast<int>(n);
    if (t->actual_length == t->length) {
      complete(t, LIBUSB_TRANSFER_COMPLETED, t->length);
      return true;
    }
  }
  return false;
}

int handle_events(libusb_context* context, int* completed) {
  context = context_of(context);
  if (completed != nullptr && *completed != 0) return 0;
  while (!context->cancelled.empty()) {
    libusb_transfer* t = context->cancelled.front();
    context->cancelled.pop_front();
    complete(t, LIBUSB_TRANSFER_CANCELLED, 0);
  }
  bool moved = false;
  while (advance_outs(context) || deliver_ready_ins(context, false)) moved = true;
  if (moved) return 0;
  // Nothing can move without time passing: a waiting IN gets what the chip
  // holds (or an empty packet) as its latency timer runs out; an OUT the chip
  // will not take times out.
  if (deliver_ready_ins(context, true)) return 0;
  for (libusb_transfer* t : context->queued) {
    if (t->type == LIBUSB_TRANSFER_TYPE_BULK && !is_in(t->endpoint)) {
      complete(t, LIBUSB_TRANSFER_TIMED_OUT, t->actual_length);
      return 0;
    }
  }
  return 0;
}

struct ConfigHolder {
  libusb_config_descriptor config;
  libusb_interface interfaces[2];
  libusb_interface_descriptor settings[2];
  libusb_endpoint_descriptor endpoints[4];
};

struct ErrorName {
  int code;
  const char* name;
  const char* text;
};
constexpr ErrorName kErrors[] = {
    {LIBUSB_SUCCESS, "LIBUSB_SUCCESS", "Success"},
    {LIBUSB_ERROR_IO, "LIBUSB_ERROR_IO", "Input/Output Error"},
    {LIBUSB_ERROR_INVALID_PARAM, "LIBUSB_ERROR_INVALID_PARAM", "Invalid parameter"},
    {LIBUSB_ERROR_ACCESS, "LIBUSB_ERROR_ACCESS", "Access denied (insufficient permissions)"},
    {LIBUSB_ERROR_NO_DEVICE, "LIBUSB_ERROR_NO_DEVICE", "No such device"},
    {LIBUSB_ERROR_NOT_FOUND, "LIBUSB_ERROR_NOT_FOUND", "Entity not found"},
    {LIBUSB_ERROR_BUSY, "LIBUSB_ERROR_BUSY", "Resource busy"},
    {LIBUSB_ERROR_TIMEOUT, "LIBUSB_ERROR_TIMEOUT", "Operation timed out"},
    {LIBUSB_ERROR_OVERFLOW, "LIBUSB_ERROR_OVERFLOW", "Overflow"},
    {LIBUSB_ERROR_PIPE, "LIBUSB_ERROR_PIPE", "Pipe error"},
    {LIBUSB_ERROR_INTERRUPTED, "LIBUSB_ERROR_INTERRUPTED", "System call interrupted"},
    {LIBUSB_ERROR_NO_MEM, "LIBUSB_ERROR_NO_MEM", "Insufficient memory"},
    {LIBUSB_ERROR_NOT_SUPPORTED, "LIBUSB_ERROR_NOT_SUPPORTED", "Operation not supported"},
    {LIBUSB_ERROR_OTHER, "LIBUSB_ERROR_OTHER", "Other error"},
};

}  // namespace

// --- Library ----------------------------------------------------------------

int LIBUSB_CALL libusb_init(libusb_context** context) {
  machine();
  if (context != nullptr) *context = new libusb_context;
  return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_exit(libusb_context* context) {
  if (context != nullptr && context != &machine().default_context) delete context;
}

int LIBUSB_CALL libusb_set_option(libusb_context*, enum libusb_option, ...) {
  return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_set_debug(libusb_context*, int) {}

const struct libusb_version* LIBUSB_CALL libusb_get_version(void) {
  static const libusb_version version{1, 0, 26, 0, "", "virtual FTDI stand-in"};
  return &version;
}

int LIBUSB_CALL libusb_has_capability(uint32_t capability) {
  return capability == LIBUSB_CAP_HAS_CAPABILITY ? 1 : 0;
}

const char* LIBUSB_CALL libusb_error_name(int code) {
  for (const ErrorName& e : kErrors)
    if (e.code == code) return e.name;
  return "**UNKNOWN**";
}

const char* LIBUSB_CALL libusb_strerror(int code) {
  for (const ErrorName& e : kErrors)
    if (e.code == code) return e.text;
  return "Unknown error";
}

// --- Devices ----------------------------------------------------------------

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* context, libusb_device*** list) {
  context = context_of(context);
  if (context->devices.empty()) {
    if (VirtualFtdi* chip = machine().chip.get(); chip != nullptr)
      context->devices.push_back(
          std::make_unique<libusb_device>(libusb_device{context, chip, nullptr}));
    if (VirtualDap* dap = machine().dap.get(); dap != nullptr)
      context->devices.push_back(
          std::make_unique<libusb_device>(libusb_device{context, nullptr, dap}));
  }
  const std::size_t count = context->devices.size();
  *list = new libusb_device*[count + 1];
  for (std::size_t i = 0; i < count; ++i) (*list)[i] = context->devices[i].get();
  (*list)[count] = nullptr;
  return static_cast<ssize_t>(count);
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int) {
  delete[] list;
}

// Devices live as long as their context; counting references changes nothing.
libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* device) {
  return device;
}
void LIBUSB_CALL libusb_unref_device(libusb_device*) {}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* device,
                                             struct libusb_device_descriptor* d) {
  const std::string raw =
      device->dap != nullptr ? device->dap->device_descriptor() : device->chip->device_descriptor();
  const auto byte = [&](std::size_t i) { return static_cast<uint8_t>(raw[i]); };
  const auto word = [&](std::size_t i) {
    return static_cast<uint16_t>(byte(i) | byte(i + 1) << 8);
  };
  *d =
      libusb_device_descriptor{byte(0), byte(1),  word(2),  byte(4),  byte(5),  byte(6),  byte(7),
                               word(8), word(10), word(12), byte(14), byte(15), byte(16), byte(17)};
  return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device* device, uint8_t index,
                                             struct libusb_config_descriptor** config) {
  if (index != 0) return LIBUSB_ERROR_NOT_FOUND;
  if (device->dap != nullptr) {
    // One vendor-class interface named by string 4, bulk OUT 0x01 then IN 0x81.
    auto* h = new ConfigHolder{};
    h->config = {LIBUSB_DT_CONFIG_SIZE,
                 LIBUSB_DT_CONFIG,
                 9 + 9 + 2 * 7,
                 1,
                 1,
                 0,
                 0x80,
                 50,
                 h->interfaces,
                 nullptr,
                 0};
    for (int e = 0; e < 2; ++e) {
      h->endpoints[e] = {LIBUSB_DT_ENDPOINT_SIZE,
                         LIBUSB_DT_ENDPOINT,
                         static_cast<uint8_t>(e == 0 ? 0x01 : 0x81),
                         LIBUSB_TRANSFER_TYPE_BULK,
                         device->dap->max_packet(),
                         0,
                         0,
                         0,
                         nullptr,
                         0};
    }
    h->settings[0] = {LIBUSB_DT_INTERFACE_SIZE,
                      LIBUSB_DT_INTERFACE,
                      0,
                      0,
                      2,
                      0xFF,
                      0,
                      0,
                      4,
                      h->endpoints,
                      nullptr,
                      0};
    h->interfaces[0] = {&h->settings[0], 1};
    *config = &h->config;
    return LIBUSB_SUCCESS;
  }
  const VirtualFtdi& chip = *device->chip;
  const int n = chip.interfaces();
  auto* h = new ConfigHolder{};
  h->config = {LIBUSB_DT_CONFIG_SIZE,
               LIBUSB_DT_CONFIG,
               static_cast<uint16_t>(chip.config_descriptor().size()),
               static_cast<uint8_t>(n),
               1,
               0,
               0x80,
               50,
               h->interfaces,
               nullptr,
               0};
  for (int i = 0; i < n; ++i) {
    libusb_endpoint_descriptor* eps = &h->endpoints[2 * i];
    for (int e = 0; e < 2; ++e) {
      eps[e] = {LIBUSB_DT_ENDPOINT_SIZE,
                LIBUSB_DT_ENDPOINT,
                static_cast<uint8_t>(e == 0 ? 0x81 + 2 * i : 0x02 + 2 * i),
                LIBUSB_TRANSFER_TYPE_BULK,
                chip.max_packet(),
                0,
                0,
                0,
                nullptr,
                0};
    }
    h->settings[i] = {LIBUSB_DT_INTERFACE_SIZE,
                      LIBUSB_DT_INTERFACE,
                      static_cast<uint8_t>(i),
                      0,
                      2,
                      0xFF,
                      0xFF,
                      0xFF,
                      2,
                      eps,
                      nullptr,
                      0};
    h->interfaces[i] = {&h->settings[i], 1};
  }
  *config = &h->config;
  return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device* device,
                                                    struct libusb_config_descriptor** config) {
  return libusb_get_config_descriptor(device, 0, config);
}

void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor* config) {
  // The descriptor is the first member of its holder.
  delete reinterpret_cast<ConfigHolder*>(config);
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device*) {
  return 1;
}
uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device*) {
  return 2;
}
uint8_t LIBUSB_CALL libusb_get_port_number(libusb_device*) {
  return 1;
}
int LIBUSB_CALL libusb_get_port_numbers(libusb_device*, uint8_t* ports, int length) {
  if (length < 1) return LIBUSB_ERROR_OVERFLOW;
  ports[0] = 1;
  return 1;
}
int LIBUSB_CALL libusb_get_device_speed(libusb_device* device) {
  if (device->dap != nullptr) return LIBUSB_SPEED_HIGH;
  return device->chip->high_speed_usb() ? LIBUSB_SPEED_HIGH : LIBUSB_SPEED_FULL;
}
int LIBUSB_CALL libusb_get_max_packet_size(libusb_device* device, unsigned char) {
  return device->dap != nullptr ? device->dap->max_packet() : device->chip->max_packet();
}

// --- Handles ------------------------------------------------------------------

int LIBUSB_CALL libusb_open(libusb_device* device, libusb_device_handle** handle) {
  *handle = new libusb_device_handle{device};
  return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_close(libusb_device_handle* handle) {
  if (handle == nullptr) return;
  libusb_context* context = handle->device->context;
  std::erase_if(context->queued, [&](libusb_transfer* t) { return t->dev_handle == handle; });
  std::erase_if(context->cancelled, [&](libusb_transfer* t) { return t->dev_handle == handle; });
  delete handle;
}

libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* handle) {
  return handle->device;
}

int LIBUSB_CALL libusb_get_configuration(libusb_device_handle*, int* config) {
  *config = 1;
  return LIBUSB_SUCCESS;
}
int LIBUSB_CALL libusb_set_configuration(libusb_device_handle*, int) {
  return LIBUSB_SUCCESS;
}
int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* handle, int number) {
  const int interfaces = handle->device->dap != nullptr ? 1 : handle->device->chip->interfaces();
  return number >= 0 && number < interfaces ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_FOUND;
}
int LIBUSB_CALL libusb_release_interface(libusb_device_handle*, int) {
  return LIBUSB_SUCCESS;
}
int LIBUSB_CALL libusb_set_interface_alt_setting(libusb_device_handle*, int, int) {
  return LIBUSB_SUCCESS;
}
int LIBUSB_CALL libusb_clear_halt(libusb_device_handle*, unsigned char) {
  return LIBUSB_SUCCESS;
}
int LIBUSB_CALL libusb_reset_device(libusb_device_handle*) {
  return LIBUSB_SUCCESS;
}
// No kernel driver is bound to the virtual chip.
int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle*, int) {
  return 0;
}
int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle*, int) {
  return LIBUSB_ERROR_NOT_FOUND;
}
int LIBUSB_CALL libusb_attach_kernel_driver(libusb_device_handle*, int) {
  return LIBUSB_ERROR_NOT_FOUND;
}
int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle*, int) {
  return LIBUSB_SUCCESS;
}

// --- Synchronous transfers ----------------------------------------------------

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* handle, uint8_t request_type,
                                        uint8_t request, uint16_t value, uint16_t index,
                                        unsigned char* data, uint16_t length, unsigned int) {
  if (handle->device->dap != nullptr) return LIBUSB_ERROR_PIPE;  // a probe takes none
  const int n = handle->device->chip->control(request_type, request, value, index,
                                              std::span(data, data == nullptr ? 0 : length));
  return n < 0 ? LIBUSB_ERROR_PIPE : n;
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t index,
                                                   unsigned char* data, int length) {
  const std::string text = handle->device->dap != nullptr ? handle->device->dap->string(index)
                                                          : handle->device->chip->string(index);
  if (text.empty()) return LIBUSB_ERROR_PIPE;
  if (length <= 0) return LIBUSB_ERROR_INVALID_PARAM;
  const int n = std::min(static_cast<int>(text.size()), length - 1);
  std::memcpy(data, text.data(), static_cast<std::size_t>(n));
  data[n] = 0;
  return n;
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint,
                                     unsigned char* data, int length, int* actual, unsigned int) {
  if (VirtualDap* dap = handle->device->dap; dap != nullptr) {
    // A packet the probe cannot take yet, or an answer not there, is NAKed
    // until the transfer times out.
    int done = 0;
    if (is_in(endpoint)) {
      done = static_cast<int>(dap->bulk_in(std::span(data, static_cast<std::size_t>(length))));
    } else if (dap->bulk_out(std::span<const uint8_t>(data, static_cast<std::size_t>(length)))) {
      done = length;
    }
    if (actual != nullptr) *actual = done;
    return done > 0 || length == 0 ? LIBUSB_SUCCESS : LIBUSB_ERROR_TIMEOUT;
  }
  VirtualFtdi& chip = *handle->device->chip;
  libusb_context* context = handle->device->context;
  const int channel = channel_of(endpoint);
  if (is_in(endpoint)) {
    // Commands queued asynchronously go first, as they would on the bus.
    while (advance_outs(context)) {
    }
    const std::size_t n =
        chip.bulk_in(channel, std::span(data, static_cast<std::size_t>(length)), true);
    if (actual != nullptr) *actual = static_cast<int>(n);
    return LIBUSB_SUCCESS;
  }
  std::size_t done = 0;
  const auto total = static_cast<std::size_t>(length);
  for (;;) {
    const std::size_t n =
        chip.bulk_out(channel, std::span<const uint8_t>(data + done, total - done));
    done += n;
    // Waiting for this transfer runs the context's other transfers too: an IN
    // submitted before collects the replies that free the chip's buffer.
    bool moved = false;
    while (deliver_ready_ins(context, false)) moved = true;
    if (done == total) break;
    if (n == 0 && !moved) {
      if (actual != nullptr) *actual = static_cast<int>(done);
      return LIBUSB_ERROR_TIMEOUT;
    }
  }
  if (actual != nullptr) *actual = length;
  return LIBUSB_SUCCESS;
}

// --- Asynchronous transfers ---------------------------------------------------

struct libusb_transfer* LIBUSB_CALL libusb_alloc_transfer(int iso_packets) {
  const std::size_t size =
      sizeof(libusb_transfer) +
      static_cast<std::size_t>(std::max(iso_packets, 0)) * sizeof(libusb_iso_packet_descriptor);
  return static_cast<libusb_transfer*>(std::calloc(1, size));
}

void LIBUSB_CALL libusb_free_transfer(struct libusb_transfer* t) {
  if (t == nullptr) return;
  if ((t->flags & LIBUSB_TRANSFER_FREE_BUFFER) != 0) std::free(t->buffer);
  std::free(t);
}

int LIBUSB_CALL libusb_submit_transfer(struct libusb_transfer* t) {
  libusb_context* context = t->dev_handle->device->context;
  if (std::find(context->queued.begin(), context->queued.end(), t) != context->queued.end())
    return LIBUSB_ERROR_BUSY;
  t->actual_length = 0;
  context->queued.push_back(t);
  return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_cancel_transfer(struct libusb_transfer* t) {
  libusb_context* context = t->dev_handle->device->context;
  const auto at = std::find(context->queued.begin(), context->queued.end(), t);
  if (at == context->queued.end()) return LIBUSB_ERROR_NOT_FOUND;
  context->queued.erase(at);
  context->cancelled.push_back(t);
  return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_handle_events(libusb_context* context) {
  return handle_events(context, nullptr);
}
int LIBUSB_CALL libusb_handle_events_completed(libusb_context* context, int* completed) {
  return handle_events(context, completed);
}
int LIBUSB_CALL libusb_handle_events_timeout(libusb_context* context, struct timeval*) {
  return handle_events(context, nullptr);
}
int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context* context, struct timeval*,
                                                       int* completed) {
  return handle_events(context, completed);
}
