#include "sim/ftdi/virtual_ftdi.h"

#include <algorithm>
#include <cstdio>

#include "sim/ftdi/usb_descriptor.h"
#include "sim/option_list.h"

namespace jtagnand::sim {

namespace {

// The two bytes at the start of every IN packet: modem status and line status
// as an idle FTDI chip reports them.
constexpr uint8_t kModemStatus0 = 0x32;
constexpr uint8_t kModemStatus1 = 0x60;

// Buffers per channel: FT2232H and FT232H 4 KiB / 1 KiB each way, FT2232D
// 128 bytes of commands and 384 of replies.
struct ModelFacts {
  uint16_t product;
  uint16_t bcd_device;
  int interfaces;
  uint16_t max_packet;
  std::size_t command_buffer;
  std::size_t reply_buffer;
  bool high_speed;
  const char* product_string;
};

constexpr ModelFacts kModels[] = {
    {0x6010, 0x0700, 2, 512, 4096, 4096, true, "Dual RS232-HS"},
    {0x6010, 0x0500, 2, 64, 128, 384, false, "Dual RS232"},
    {0x6014, 0x0900, 1, 512, 1024, 1024, true, "Single RS232-HS"},
};

const ModelFacts& facts(FtdiModel model) {
  return kModels[static_cast<int>(model)];
}

// USB standard request and descriptor types.
constexpr uint8_t kGetDescriptor = 0x06;
constexpr uint8_t kDescriptorDevice = 1, kDescriptorConfig = 2, kDescriptorString = 3;
constexpr uint8_t kRequestTypeMask = 0x60, kVendor = 0x40;

}  // namespace

bool parse_virtual_ftdi_options(std::string_view text, VirtualFtdiOptions& options,
                                std::string& error) {
  std::string board;
  const auto take = [&](const OptionItem& item) {
    const std::string_view key = item.key, value = item.value;
    if (key == "usb_chip" && value == "ft2232h") {
      options.model = FtdiModel::kFt2232h;
    } else if (key == "usb_chip" && value == "ft2232d") {
      options.model = FtdiModel::kFt2232d;
    } else if (key == "usb_chip" && value == "ft232h") {
      options.model = FtdiModel::kFt232h;
    } else if (key == "usb_serial") {
      options.serial = std::string(value);
    } else if (key == "usb_channel" && (value == "A" || value == "B")) {
      options.board_channel = value == "A" ? 0 : 1;
    } else if (key == "usb_id") {
      if (!parse_usb_id(value, options.vendor, options.product)) {
        error = "bad usb_id '" + std::string(value) + "' (VID:PID in hex)";
        return false;
      }
    } else {
      error = "bad option '" + std::string(item.text) +
              "' (known: usb_chip=ft2232h|ft2232d|ft232h, usb_id=VID:PID, usb_serial=TEXT, "
              "usb_channel=A|B, and the board options of sim:)";
      return false;
    }
    return true;
  };
  if (!split_adapter_options(text, "usb_", take, board)) return false;
  if (options.board_channel >= facts(options.model).interfaces) {
    error = "usb_channel=B: this chip has one channel";
    return false;
  }
  return parse_sim_options(board, "", options.board, error);
}

std::unique_ptr<VirtualFtdi> VirtualFtdi::create(const VirtualFtdiOptions& options,
                                                 std::string& error) {
  std::unique_ptr<SimBoard> board = SimBoard::create(options.board, error);
  if (!board) return nullptr;
  return std::unique_ptr<VirtualFtdi>(new VirtualFtdi(options, std::move(board)));
}

VirtualFtdi::VirtualFtdi(const VirtualFtdiOptions& options, std::unique_ptr<SimBoard> board)
    : options_(options), board_(std::move(board)) {
  const ModelFacts& f = facts(options_.model);
  for (int c = 0; c < 2; ++c) {
    // A cable with nothing behind it: the channel runs, TDO stays high.
    SimBoard* wired =
        c == options_.board_channel && !options_.board.target_off ? board_.get() : nullptr;
    engines_[static_cast<std::size_t>(c)] =
        std::make_unique<MpsseEngine>(wired, f.high_speed, f.command_buffer, f.reply_buffer);
  }
}

VirtualFtdi::~VirtualFtdi() = default;

uint16_t VirtualFtdi::product() const {
  return options_.product != 0 ? options_.product : facts(options_.model).product;
}
uint16_t VirtualFtdi::bcd_device() const {
  return facts(options_.model).bcd_device;
}
int VirtualFtdi::interfaces() const {
  return facts(options_.model).interfaces;
}
uint16_t VirtualFtdi::max_packet() const {
  return facts(options_.model).max_packet;
}

std::string VirtualFtdi::string(uint8_t index) const {
  switch (index) {
    case 1:
      return "FTDI";
    case 2:
      return facts(options_.model).product_string;
    case 3:
      return options_.serial;
    default:
      return {};
  }
}

std::string VirtualFtdi::device_descriptor() const {
  return usb_device_descriptor({.bcd_usb = 0x0200,
                                .vendor = options_.vendor,
                                .product = product(),
                                .bcd_device = bcd_device(),
                                .serial = !options_.serial.empty()});
}

std::string VirtualFtdi::config_descriptor() const {
  const int n = interfaces();
  std::string d;
  d += static_cast<char>(9);
  d += static_cast<char>(kDescriptorConfig);
  put16(d, static_cast<uint16_t>(9 + n * (9 + 2 * 7)));
  d += static_cast<char>(n);
  d += '\1';                     // bConfigurationValue
  d += '\0';                     // no string
  d += static_cast<char>(0x80);  // bus powered
  d += static_cast<char>(50);    // 100 mA
  for (int i = 0; i < n; ++i) {
    d += static_cast<char>(9);
    d += '\4';  // interface
    d += static_cast<char>(i);
    d += '\0';                             // alternate setting
    d += '\2';                             // two endpoints
    d.append(3, static_cast<char>(0xFF));  // vendor class
    d += '\2';                             // product string
    for (const uint8_t address :
         {static_cast<uint8_t>(0x81 + 2 * i), static_cast<uint8_t>(0x02 + 2 * i)}) {
      d += static_cast<char>(7);
      d += '\5';  // endpoint
      d += static_cast<char>(address);
      d += '\2';  // bulk
      put16(d, max_packet());
      d += '\0';
    }
  }
  return d;
}

int VirtualFtdi::channel_of(uint16_t index) const {
  // wIndex carries the interface, 1 = A, 2 = B (0: the first).
  const int channel = (index & 0xFF) == 2 ? 1 : 0;
  return channel < interfaces() ? channel : 0;
}

int VirtualFtdi::control(uint8_t request_type, uint8_t request, uint16_t value, uint16_t index,
                         std::span<uint8_t> data) {
  ++counts_.control_requests;
  const auto answer = [&](std::string_view bytes) {
    const std::size_t n = std::min(bytes.size(), data.size());
    std::copy_n(bytes.begin(), n, data.begin());
    return static_cast<int>(n);
  };
  if ((request_type & kRequestTypeMask) != kVendor) {
    if (request != kGetDescriptor) return 0;  // SET_CONFIGURATION and the like
    switch (value >> 8) {
      case kDescriptorDevice:
        return answer(device_descriptor());
      case kDescriptorConfig:
        return answer(config_descriptor());
      case kDescriptorString: {
        std::string d;
        if ((value & 0xFF) == 0) {
          d = std::string("\4\3\x09\x04", 4);  // US English only
        } else {
          const std::string text = string(static_cast<uint8_t>(value & 0xFF));
          if (text.empty()) return -1;
          d += static_cast<char>(2 + 2 * text.size());
          d += static_cast<char>(kDescriptorString);
          for (const char c : text) put16(d, static_cast<uint8_t>(c));  // UTF-16LE
        }
        return answer(d);
      }
      default:
        return -1;
    }
  }
  MpsseEngine& engine = *engines_[static_cast<std::size_t>(channel_of(index))];
  const std::size_t c = static_cast<std::size_t>(channel_of(index));
  switch (request) {
    case ftdi_request::kReset:
      if (value != 2) engine.purge_commands();
      if (value != 1) engine.purge_replies();
      return 0;
    case ftdi_request::kSetBitMode:
      // Mode 2 is the MPSSE; every other mode (0 = reset to serial) leaves it.
      engine.set_mpsse((value >> 8) == 0x02);
      return 0;
    case ftdi_request::kSetLatency:
      latency_ms_[c] = static_cast<uint8_t>(value & 0xFF);
      return 0;
    case ftdi_request::kGetLatency:
      return answer(std::string(1, static_cast<char>(latency_ms_[c])));
    case ftdi_request::kModemStatus:
      return answer(
          std::string{static_cast<char>(kModemStatus0), static_cast<char>(kModemStatus1)});
    case ftdi_request::kReadPins:
      return answer(std::string(1, static_cast<char>(engine.pins() & 0xFF)));
    case ftdi_request::kReadEeprom:
      return answer("\xFF\xFF");  // a blank EEPROM
    case ftdi_request::kModemControl:
    case ftdi_request::kFlowControl:
    case ftdi_request::kBaudRate:
    case ftdi_request::kData:
    case ftdi_request::kEventChar:
    case ftdi_request::kErrorChar:
    case ftdi_request::kWriteEeprom:
    case ftdi_request::kEraseEeprom:
      return 0;  // taken; nothing of the serial side matters here
    default:
      ++counts_.unknown_requests;
      return -1;
  }
}

std::size_t VirtualFtdi::bulk_out(int channel, std::span<const uint8_t> bytes) {
  if (channel < 0 || channel >= interfaces()) return 0;
  return engines_[static_cast<std::size_t>(channel)]->take(bytes);
}

bool VirtualFtdi::in_ready(int channel) const {
  return engines_[static_cast<std::size_t>(channel)]->replies_sendable(max_packet() - 2U) > 0;
}

bool VirtualFtdi::replies_waiting(int channel) const {
  return engines_[static_cast<std::size_t>(channel)]->replies_waiting() > 0;
}

std::size_t VirtualFtdi::bulk_in(int channel, std::span<uint8_t> into, bool latency_expired) {
  if (into.size() < 2 || channel < 0 || channel >= interfaces()) return 0;
  MpsseEngine& engine = *engines_[static_cast<std::size_t>(channel)];
  const std::size_t payload = max_packet() - 2U;
  std::size_t sendable = engine.replies_sendable(payload);
  if (sendable == 0 && latency_expired && engine.replies_waiting() > 0) {
    sendable = engine.replies_waiting();
    ++counts_.latency_waits;
  }
  std::size_t filled = 0;
  while (into.size() - filled >= 2) {
    into[filled] = kModemStatus0;
    into[filled + 1] = kModemStatus1;
    filled += 2;
    ++counts_.in_packets;
    const std::size_t n = std::min({payload, sendable, into.size() - filled});
    filled += engine.give_replies(into.data() + filled, n);
    sendable -= n;
    // A short packet ends the transfer.
    if (n < payload || sendable == 0) break;
  }
  return filled;
}

std::string VirtualFtdi::stats_line() const {
  const MpsseCounts& e = engine(options_.board_channel).counts();
  char text[256];
  std::snprintf(text, sizeof text,
                "virtual FTDI: tck=%llu command_bytes=%llu reply_bytes=%llu %s bad_commands=%llu "
                "latency_waits=%llu",
                static_cast<unsigned long long>(e.tck_cycles),
                static_cast<unsigned long long>(e.bytes_in),
                static_cast<unsigned long long>(e.bytes_out), board_->scan_stats().c_str(),
                static_cast<unsigned long long>(e.bad_commands),
                static_cast<unsigned long long>(counts_.latency_waits));
  return text;
}

FtdiChip ftdi_chip_of(FtdiModel model) {
  switch (model) {
    case FtdiModel::kFt2232h:
      return FtdiChip::kFt2232h;
    case FtdiModel::kFt2232d:
      return FtdiChip::kFt2232c;
    case FtdiModel::kFt232h:
      return FtdiChip::kFt232h;
  }
  return FtdiChip::kFt2232h;
}

// --- The in-process transport ------------------------------------------------

VirtualFtdiTransport::VirtualFtdiTransport(VirtualFtdi& chip, int channel)
    : chip_(chip), channel_(channel) {
  const auto index = static_cast<uint16_t>(channel + 1);
  constexpr uint8_t kOut = 0x40;
  static_cast<void>(chip_.control(kOut, ftdi_request::kReset, 0, index, {}));
  static_cast<void>(chip_.control(kOut, ftdi_request::kSetLatency, 2, index, {}));
  static_cast<void>(chip_.control(kOut, ftdi_request::kSetBitMode, 0x0000, index, {}));
  static_cast<void>(chip_.control(kOut, ftdi_request::kSetBitMode, 0x0200, index, {}));
  static_cast<void>(chip_.control(kOut, ftdi_request::kReset, 1, index, {}));
  static_cast<void>(chip_.control(kOut, ftdi_request::kReset, 2, index, {}));
}

bool VirtualFtdiTransport::write(std::span<const uint8_t> bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const std::size_t n = chip_.bulk_out(channel_, bytes.subspan(sent));
    if (n == 0) {
      error_ = "write: the chip stopped taking commands (its reply buffer is full and unread)";
      return false;
    }
    sent += n;
  }
  return true;
}

bool VirtualFtdiTransport::receive(std::span<uint8_t> reply, std::size_t& got,
                                   bool latency_expired) {
  if (got == reply.size()) return false;
  const std::size_t packet = chip_.max_packet();
  const std::size_t payload = packet - 2;
  const std::size_t want = reply.size() - got;
  // Room for exactly what is still expected, with a status pair per packet.
  std::vector<uint8_t> in(
      std::min<std::size_t>(want + 2 * ((want + payload - 1) / payload), 64 * packet));
  const std::size_t n = chip_.bulk_in(channel_, in, latency_expired);
  std::size_t came = 0;
  for (std::size_t at = 0; at < n; at += packet) {
    const std::size_t end = std::min(n, at + packet);
    for (std::size_t i = at + 2; i < end; ++i) reply[got + came++] = in[i];
  }
  got += came;
  return came > 0;
}

bool VirtualFtdiTransport::read(std::span<uint8_t> reply, int) {
  std::size_t got = 0;
  while (got < reply.size()) {
    if (!receive(reply, got, true)) {
      error_ = "read: " + std::to_string(got) + " of " + std::to_string(reply.size()) + " bytes";
      return false;
    }
  }
  return true;
}

bool VirtualFtdiTransport::exchange(std::span<const uint8_t> bytes, std::span<uint8_t> reply) {
  std::size_t sent = 0;
  std::size_t got = 0;
  // What a USB host does: bulk OUT in pieces while the IN side collects the
  // packets the chip sends meanwhile.
  constexpr std::size_t kPiece = 4096;
  while (sent < bytes.size()) {
    const std::size_t n =
        chip_.bulk_out(channel_, bytes.subspan(sent, std::min(kPiece, bytes.size() - sent)));
    sent += n;
    bool came = false;
    while (receive(reply, got, false)) came = true;
    if (n == 0 && !came) {
      error_ = "exchange: the chip stopped taking commands with " + std::to_string(got) + " of " +
               std::to_string(reply.size()) + " replies in";
      return false;
    }
  }
  while (got < reply.size()) {
    if (!receive(reply, got, true)) {
      error_ =
          "exchange: " + std::to_string(got) + " of " + std::to_string(reply.size()) + " replies";
      return false;
    }
  }
  return true;
}

}  // namespace jtagnand::sim
