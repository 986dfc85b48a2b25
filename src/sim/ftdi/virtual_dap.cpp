#include "sim/ftdi/virtual_dap.h"

#include <algorithm>
#include <cstdio>

#include "numbers/parse_unsigned.h"
#include "sim/ftdi/usb_descriptor.h"
#include "sim/option_list.h"

namespace jtagnand::sim {

namespace {

namespace dap {
constexpr uint8_t kInfo = 0x00, kHostStatus = 0x01, kConnect = 0x02, kDisconnect = 0x03;
constexpr uint8_t kTransferConfigure = 0x04, kDelay = 0x08, kSwjPins = 0x10, kSwjClock = 0x11;
constexpr uint8_t kSwjSequence = 0x12, kSwdConfigure = 0x13, kJtagSequence = 0x14;
constexpr uint8_t kJtagConfigure = 0x15, kExecuteCommands = 0x7F, kInvalid = 0xFF;
constexpr uint8_t kOk = 0x00, kError = 0xFF;
constexpr uint8_t kPortJtag = 2;
}  // namespace dap

// DAP_SWJ_Pins bits.
constexpr uint8_t kPinTck = 0x01, kPinTms = 0x02, kPinTdi = 0x04, kPinTdo = 0x08;
constexpr uint8_t kPinNtrst = 0x20, kPinNreset = 0x80;

}  // namespace

bool parse_virtual_dap_options(std::string_view text, VirtualDapOptions& options,
                               std::string& error) {
  std::string board;
  const auto take = [&](const OptionItem& item) {
    uint64_t number = 0;
    if (item.key == "dap_id" && parse_usb_id(item.value, options.vendor, options.product)) {
    } else if (item.key == "dap_serial") {
      options.serial = std::string(item.value);
    } else if (item.key == "dap_packet" && parse_unsigned(item.value, 1024, number) &&
               number >= 64) {
      options.packet_size = static_cast<uint16_t>(number);
    } else if (item.key == "dap_count" && parse_unsigned(item.value, 255, number) && number >= 1) {
      options.packet_count = static_cast<uint8_t>(number);
    } else if (item.text == "dap_swd_only") {
      options.jtag = false;
    } else {
      error = "bad option '" + std::string(item.text) +
              "' (known: dap_id=VID:PID, dap_serial=TEXT, dap_packet=64..1024, dap_count=1..255, "
              "dap_swd_only, and the board options of sim:)";
      return false;
    }
    return true;
  };
  return split_adapter_options(text, "dap_", take, board) &&
         parse_sim_options(board, "", options.board, error);
}

std::unique_ptr<VirtualDap> VirtualDap::create(const VirtualDapOptions& options,
                                               std::string& error) {
  std::unique_ptr<SimBoard> board = SimBoard::create(options.board, error);
  if (!board) return nullptr;
  return std::unique_ptr<VirtualDap>(new VirtualDap(options, std::move(board)));
}

VirtualDap::VirtualDap(const VirtualDapOptions& options, std::unique_ptr<SimBoard> board)
    : options_(options), board_(std::move(board)) {}

std::string VirtualDap::string(uint8_t index) const {
  switch (index) {
    case 1:
      return "Raspberry Pi";
    case 2:
      return "Debugprobe on Pico (CMSIS-DAP)";
    case 3:
      return options_.serial;
    case 4:
      return "CMSIS-DAP v2 Interface";
    default:
      return {};
  }
}

std::string VirtualDap::device_descriptor() const {
  // Class 0xEF/2/1 (miscellaneous, interface association): the interfaces say
  // what they are.
  return usb_device_descriptor({.bcd_usb = 0x0210,
                                .device_class = 0xEF,
                                .subclass = 2,
                                .protocol = 1,
                                .vendor = options_.vendor,
                                .product = options_.product,
                                .bcd_device = 0x0201,
                                .serial = !options_.serial.empty()});
}

bool VirtualDap::bulk_out(std::span<const uint8_t> packet) {
  if (answers_.size() >= options_.packet_count) return false;
  answers_.push_back(execute(packet));
  return true;
}

std::size_t VirtualDap::bulk_in(std::span<uint8_t> into) {
  if (answers_.empty()) return 0;
  const std::vector<uint8_t>& answer = answers_.front();
  const std::size_t n = std::min(into.size(), answer.size());
  std::copy_n(answer.begin(), n, into.begin());
  answers_.pop_front();
  return n;
}

std::vector<uint8_t> VirtualDap::execute(std::span<const uint8_t> packet) {
  ++counts_.packets;
  std::vector<uint8_t> out;
  if (packet.size() > options_.packet_size || packet.empty() || command(packet, out) == 0) {
    ++counts_.bad_commands;
    return {dap::kInvalid};
  }
  return out;
}

void VirtualDap::drive() {
  if (!options_.board.target_off) board_->drive(tck_, tms_, tdi_, ntrst_);
}

bool VirtualDap::clock(bool tms, bool tdi) {
  tck_ = false;
  tms_ = tms;
  tdi_ = tdi;
  drive();
  // Without a target the pull-up holds TDO high.
  const bool tdo = options_.board.target_off || board_->tdo();
  tck_ = true;
  drive();
  ++counts_.tck_cycles;
  return tdo;
}

std::size_t VirtualDap::command(std::span<const uint8_t> in, std::vector<uint8_t>& out) {
  ++counts_.commands;
  const uint8_t id = in[0];
  const auto need = [&](std::size_t n) { return in.size() >= n; };
  const auto ok = [&](std::size_t used) {
    out.push_back(id);
    out.push_back(dap::kOk);
    return used;
  };
  switch (id) {
    case dap::kInfo: {
      if (!need(2)) return 0;
      out.push_back(id);
      const auto text = [&](const std::string& s) {
        out.push_back(static_cast<uint8_t>(s.size() + 1));
        out.insert(out.end(), s.begin(), s.end());
        out.push_back(0);
      };
      switch (in[1]) {
        case 0x01:
          text(string(1));
          break;
        case 0x02:
          text(string(2));
          break;
        case 0x03:
          text(options_.serial);
          break;
        case 0x04:
          text("2.1.0");  // the CMSIS-DAP protocol version
          break;
        case 0xF0:  // capabilities: bit 0 SWD, bit 1 JTAG
          out.insert(out.end(), {1, static_cast<uint8_t>(options_.jtag ? 0x03 : 0x01)});
          break;
        case 0xFE:
          out.insert(out.end(), {1, options_.packet_count});
          break;
        case 0xFF:
          out.insert(out.end(), {2, static_cast<uint8_t>(options_.packet_size & 0xFF),
                                 static_cast<uint8_t>(options_.packet_size >> 8)});
          break;
        default:
          out.push_back(0);  // no such information
      }
      return 2;
    }
    case dap::kHostStatus:
      return need(3) ? ok(3) : 0;
    case dap::kConnect: {
      if (!need(2)) return 0;
      const bool jtag = options_.jtag && (in[1] == 0 || in[1] == dap::kPortJtag);
      connected_ = jtag;
      out.push_back(id);
      out.push_back(jtag ? dap::kPortJtag : 0);  // 0: failed
      return 2;
    }
    case dap::kDisconnect:
      connected_ = false;
      return ok(1);
    case dap::kTransferConfigure:
      return need(6) ? ok(6) : 0;
    case dap::kDelay:
      return need(3) ? ok(3) : 0;
    case dap::kSwdConfigure:
      return need(2) ? ok(2) : 0;
    case dap::kSwjClock:
      if (!need(5)) return 0;
      counts_.clock_hz = static_cast<uint64_t>(in[1]) | static_cast<uint64_t>(in[2]) << 8 |
                         static_cast<uint64_t>(in[3]) << 16 | static_cast<uint64_t>(in[4]) << 24;
      return ok(5);
    case dap::kSwjPins: {
      if (!need(7)) return 0;
      const uint8_t value = in[1], select = in[2];
      if ((select & kPinNtrst) != 0) ntrst_ = (value & kPinNtrst) != 0;
      if ((select & kPinTck) != 0) tck_ = (value & kPinTck) != 0;
      if ((select & kPinTms) != 0) tms_ = (value & kPinTms) != 0;
      if ((select & kPinTdi) != 0) tdi_ = (value & kPinTdi) != 0;
      if ((select & (kPinNtrst | kPinTck | kPinTms | kPinTdi)) != 0) drive();
      const bool tdo = options_.board.target_off || board_->tdo();
      out.push_back(id);
      out.push_back(static_cast<uint8_t>((tck_ ? kPinTck : 0) | (tms_ ? kPinTms : 0) |
                                         (tdi_ ? kPinTdi : 0) | (tdo ? kPinTdo : 0) |
                                         (ntrst_ ? kPinNtrst : 0) | kPinNreset));
      return 7;
    }
    case dap::kSwjSequence: {
      if (!need(2)) return 0;
      const std::size_t bits = in[1] == 0 ? 256 : in[1];
      if (!need(2 + (bits + 7) / 8)) return 0;
      for (std::size_t i = 0; i < bits; ++i) clock(((in[2 + i / 8] >> (i % 8)) & 1) != 0, tdi_);
      return ok(2 + (bits + 7) / 8);
    }
    case dap::kJtagSequence: {
      if (!need(2)) return 0;
      const std::size_t sequences = in[1];
      std::size_t at = 2;
      out.push_back(id);
      out.push_back(connected_ ? dap::kOk : dap::kError);
      for (std::size_t s = 0; s < sequences; ++s) {
        if (!need(at + 1)) return 0;
        const uint8_t info = in[at++];
        const std::size_t bits = (info & 0x3F) == 0 ? 64 : (info & 0x3F);
        const bool tms = (info & 0x40) != 0, capture = (info & 0x80) != 0;
        const std::size_t bytes = (bits + 7) / 8;
        if (!need(at + bytes)) return 0;
        const std::size_t first = out.size();
        if (capture) out.resize(out.size() + bytes, 0);
        for (std::size_t i = 0; i < bits; ++i) {
          const bool tdo = clock(tms, ((in[at + i / 8] >> (i % 8)) & 1) != 0);
          if (capture && tdo) out[first + i / 8] |= static_cast<uint8_t>(1U << (i % 8));
        }
        at += bytes;
      }
      return at;
    }
    case dap::kJtagConfigure:
      return need(2) && need(2 + in[1]) ? ok(2 + in[1]) : 0;
    case dap::kExecuteCommands: {
      if (!need(2)) return 0;
      const std::size_t count = in[1];
      out.push_back(id);
      out.push_back(static_cast<uint8_t>(count));
      std::size_t at = 2;
      for (std::size_t c = 0; c < count; ++c) {
        if (!need(at + 1) || in[at] == dap::kExecuteCommands) return 0;
        const std::size_t used = command(in.subspan(at), out);
        if (used == 0) return 0;
        at += used;
      }
      return at;
    }
    default:
      return 0;
  }
}

std::string VirtualDap::stats_line() const {
  char text[256];
  std::snprintf(text, sizeof text, "virtual CMSIS-DAP: packets=%llu tck=%llu %s bad_commands=%llu",
                static_cast<unsigned long long>(counts_.packets),
                static_cast<unsigned long long>(counts_.tck_cycles), board_->scan_stats().c_str(),
                static_cast<unsigned long long>(counts_.bad_commands));
  return text;
}

bool VirtualDapTransport::write(std::span<const uint8_t> packet) {
  if (probe_.bulk_out(packet)) return true;
  error_ = "command packet not taken: " + std::to_string(probe_.options().packet_count) +
           " answers unread";
  return false;
}

bool VirtualDapTransport::read(std::span<uint8_t> into, std::size_t& got, int) {
  got = probe_.bulk_in(into);
  if (got > 0) return true;
  error_ = "no answer waiting";
  return false;
}

}  // namespace jtagnand::sim
