#include "cables/cmsis_dap_cable.h"

#include <algorithm>
#include <cstdio>

#include "cables/cable_settings.h"
#include "numbers/parse_unsigned.h"

namespace jtagnand {

namespace {

namespace dap {
constexpr uint8_t kInfo = 0x00, kConnect = 0x02, kDisconnect = 0x03, kSwjPins = 0x10;
constexpr uint8_t kSwjClock = 0x11, kJtagSequence = 0x14, kExecuteCommands = 0x7F;
constexpr uint8_t kInfoCapabilities = 0xF0, kInfoPacketCount = 0xFE, kInfoPacketSize = 0xFF;
constexpr uint8_t kCapabilityJtag = 0x02;
constexpr uint8_t kPortJtag = 2;
constexpr uint8_t kOk = 0x00;
// DAP_SWJ_Pins bit of nTRST.
constexpr uint8_t kPinNtrst = 0x20;
}  // namespace dap

// Every probe takes packets of 64 bytes: the size to ask in before it has said its own.
constexpr std::size_t kFirstPacket = 64;
constexpr std::size_t kMaxSequences = 255;
constexpr uint8_t kMaxSequenceBits = 64;
// Room kept in every packet for the DAP_ExecuteCommands header.
constexpr std::size_t kHeader = 2;
constexpr std::size_t kPinsCommand = 7, kPinsAnswer = 2;
// The nTRST low level is held this long, microseconds.
constexpr uint32_t kTrstMicroseconds = 10;

std::string hex_byte(uint8_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
}

}  // namespace

DapCable::DapCable(std::unique_ptr<DapTransport> transport, std::string name, DapProbeInfo probe,
                   uint32_t tck_hz)
    : transport_(std::move(transport)), name_(std::move(name)), probe_(probe), tck_hz_(tck_hz) {
  // Exactly one packet is asked for: an answer as long as the endpoint's packet
  // comes with no short packet after it, so a longer read would wait for the
  // next answer.
  answer_.resize(std::max<std::size_t>(probe_.packet_size, kFirstPacket));
}

DapCable::~DapCable() {
  close_quietly();
}

void DapCable::close() {
  if (closed_) return;
  if (!finish()) fail();
  packet_ = {dap::kDisconnect};
  std::size_t got = 0;
  if (!transport_->write(packet_) || !transport_->read(answer_, got, kDapTimeoutMs)) {
    error_ = "DAP_Disconnect: " + transport_->error();
    fail();
  }
  packet_.clear();
  closed_ = true;
}

bool DapCable::start(std::string& error) {
  std::vector<uint8_t> command{dap::kExecuteCommands, 2, dap::kConnect, dap::kPortJtag,
                               dap::kSwjClock};
  for (int i = 0; i < 4; ++i) command.push_back(static_cast<uint8_t>(tck_hz_ >> (8 * i)));
  std::size_t got = 0;
  if (!transport_->write(command) || !transport_->read(answer_, got, kDapTimeoutMs)) {
    error = transport_->error();
    return false;
  }
  if (got < 6 || answer_[0] != dap::kExecuteCommands || answer_[2] != dap::kConnect ||
      answer_[4] != dap::kSwjClock) {
    error = "the probe does not take DAP_ExecuteCommands (answered " + hex_byte(answer_[0]) + ")";
    return false;
  }
  if (answer_[3] != dap::kPortJtag) {
    error = "DAP_Connect in JTAG mode failed (the probe answered port " +
            std::to_string(answer_[3]) + ")";
    return false;
  }
  if (answer_[5] != dap::kOk) {
    error = "DAP_SWJ_Clock " + format_frequency(tck_hz_) + " refused";
    return false;
  }
  return true;
}

bool DapCable::fits(std::size_t more_out, std::size_t more_in) const {
  const std::size_t limit = probe_.packet_size - kHeader;
  return out_bytes_ + more_out <= limit && in_bytes_ + more_in <= limit;
}

void DapCable::add_bit(bool tms, bool tdi, bool capture) {
  ++traffic_.tck_cycles;
  const auto tdi_byte = static_cast<uint8_t>(tdi ? 1 : 0);
  if (!commands_.empty() && commands_.back().id == dap::kJtagSequence) {
    // A sequence command last in the packet always holds a sequence.
    Command& last = commands_.back();
    Sequence& s = last.sequences.back();
    if (s.tms == tms && s.capture == capture && s.bits < kMaxSequenceBits) {
      const bool new_byte = s.bits % 8 == 0;
      if (fits(new_byte ? 1 : 0, new_byte && capture ? 1 : 0)) {
        s.tdi[s.bits / 8] = static_cast<uint8_t>(s.tdi[s.bits / 8] | tdi_byte << (s.bits % 8));
        ++s.bits;
        out_bytes_ += new_byte ? 1 : 0;
        in_bytes_ += new_byte && capture ? 1 : 0;
        return;
      }
    } else if (last.sequences.size() < kMaxSequences && fits(2, capture ? 1 : 0)) {
      last.sequences.push_back({tms, capture, 1, {tdi_byte}});
      out_bytes_ += 2;
      in_bytes_ += capture ? 1 : 0;
      return;
    }
  }
  // A new DAP_JTAG_Sequence command: its id and count go out, its id and
  // status come back.
  if (!fits(4, capture ? 3 : 2) && !close_packet()) fail();
  commands_.push_back({dap::kJtagSequence, {{tms, capture, 1, {tdi_byte}}}, 0, 0, nullptr});
  out_bytes_ += 4;
  in_bytes_ += capture ? 3 : 2;
}

void DapCable::add_pins(uint8_t value, uint8_t select, char* tdo) {
  if (!fits(kPinsCommand, kPinsAnswer) && !close_packet()) fail();
  commands_.push_back({dap::kSwjPins, {}, value, select, tdo});
  out_bytes_ += kPinsCommand;
  in_bytes_ += kPinsAnswer;
}

void DapCable::drop_last_bit() {
  Command& c = commands_.back();
  Sequence& s = c.sequences.back();
  --s.bits;
  s.tdi[s.bits / 8] = static_cast<uint8_t>(s.tdi[s.bits / 8] & ~(1U << (s.bits % 8)));
  if (s.bits % 8 == 0) out_bytes_ -= 1;  // the bit was the first of its byte
  if (s.bits == 0) {
    out_bytes_ -= 1;  // its info byte
    c.sequences.pop_back();
    if (c.sequences.empty()) {
      out_bytes_ -= 2;
      in_bytes_ -= 2;
      commands_.pop_back();
    }
  }
  --traffic_.tck_cycles;
}

void DapCable::clock(bool tms, bool tdi) {
  add_bit(tms, tdi, false);
}

void DapCable::sample(char* into) {
  const bool clocked = !commands_.empty() && commands_.back().id == dap::kJtagSequence;
  if (!clocked) {
    // No clock since the last packet went: TDO as the pin stands now.
    add_pins(0, 0, into);
    return;
  }
  const Sequence& s = commands_.back().sequences.back();
  if (!s.capture) {
    // The last clock moves into a capturing sequence of its own.
    const bool tms = s.tms;
    const bool tdi = ((s.tdi[(s.bits - 1) / 8] >> ((s.bits - 1) % 8)) & 1U) != 0;
    drop_last_bit();
    add_bit(tms, tdi, true);
  }
  const std::size_t command = commands_.size() - 1;
  const Sequence& captured = commands_.back().sequences.back();
  places_.push_back({command, commands_.back().sequences.size() - 1,
                     static_cast<uint8_t>(captured.bits - 1), into});
}

void DapCable::shift(const char* tdi, char* capture, uint32_t length, bool exit_shift) {
  for (uint32_t i = 0; i < length; ++i) {
    add_bit(exit_shift && i + 1 == length, bit_of(tdi[i]), capture != nullptr);
    if (capture != nullptr) {
      const Sequence& s = commands_.back().sequences.back();
      places_.push_back({commands_.size() - 1, commands_.back().sequences.size() - 1,
                         static_cast<uint8_t>(s.bits - 1), capture + i});
    }
  }
}

void DapCable::flush() {
  if (!finish()) fail();
}

bool DapCable::finish() {
  if (!close_packet()) return false;
  if (!in_flight_.empty()) ++traffic_.round_trips;
  while (!in_flight_.empty())
    if (!receive_one()) return false;
  return true;
}

void DapCable::trst_pulse() {
  add_pins(0, dap::kPinNtrst, nullptr);
  add_pins(dap::kPinNtrst, dap::kPinNtrst, nullptr);
}

bool DapCable::close_packet() {
  if (commands_.empty()) return true;
  Sent sent;
  const bool wrapped = commands_.size() > 1;
  packet_.clear();
  std::size_t at = 0;  // offset in the answer
  if (wrapped) {
    packet_ = {dap::kExecuteCommands, static_cast<uint8_t>(commands_.size())};
    sent.ids.emplace_back(0, dap::kExecuteCommands);
    at = 2;
  }
  // Where the TDO bytes of each capturing sequence start in the answer.
  std::vector<std::vector<std::size_t>> starts(commands_.size());
  for (std::size_t c = 0; c < commands_.size(); ++c) {
    const Command& command = commands_[c];
    packet_.push_back(command.id);
    sent.ids.emplace_back(at, command.id);
    if (command.id == dap::kSwjPins) {
      // Wait 0 microseconds, or the nTRST low time.
      const uint32_t wait =
          (command.pin_select != 0 && command.pin_value == 0) ? kTrstMicroseconds : 0;
      packet_.insert(packet_.end(),
                     {command.pin_value, command.pin_select, static_cast<uint8_t>(wait), 0, 0, 0});
      if (command.tdo != nullptr) sent.bits.push_back({at + 1, 3, command.tdo});
      at += kPinsAnswer;
      continue;
    }
    packet_.push_back(static_cast<uint8_t>(command.sequences.size()));
    sent.statuses.push_back(at + 1);
    at += 2;
    for (const Sequence& s : command.sequences) {
      packet_.push_back(static_cast<uint8_t>((s.bits == kMaxSequenceBits ? 0 : s.bits) |
                                             (s.tms ? 0x40 : 0) | (s.capture ? 0x80 : 0)));
      packet_.insert(packet_.end(), s.tdi, s.tdi + (s.bits + 7) / 8);
      starts[c].push_back(at);
      if (s.capture) at += (s.bits + 7U) / 8;
    }
  }
  for (const Place& p : places_)
    sent.bits.push_back(
        {starts[p.command][p.sequence] + p.bit / 8, static_cast<uint8_t>(p.bit % 8), p.dest});
  sent.length = at;
  in_flight_.push_back(std::move(sent));
  commands_.clear();
  places_.clear();
  out_bytes_ = in_bytes_ = 0;
  return send_packet();
}

bool DapCable::send_packet() {
  // The probe holds at most its packet count; the oldest answer makes room.
  while (in_flight_.size() > probe_.packet_count)
    if (!receive_one()) return false;
  if (!transport_->write(packet_)) {
    error_ = transport_->error();
    return false;
  }
  ++traffic_.packets;
  traffic_.bytes_sent += packet_.size();
  packet_.clear();
  return true;
}

bool DapCable::receive_one() {
  const Sent& sent = in_flight_.front();
  std::size_t got = 0;
  if (!transport_->read(answer_, got, kDapTimeoutMs)) {
    error_ = transport_->error();
    return false;
  }
  if (got < sent.length) {
    error_ = "answered " + std::to_string(got) + " bytes where " + std::to_string(sent.length) +
             " were due (first byte " + hex_byte(got > 0 ? answer_[0] : 0) + ")";
    return false;
  }
  for (const auto& [offset, id] : sent.ids) {
    if (answer_[offset] != id) {
      error_ = "answered " + hex_byte(answer_[offset]) + " to command " + hex_byte(id);
      return false;
    }
  }
  for (const std::size_t offset : sent.statuses) {
    if (answer_[offset] != dap::kOk) {
      error_ = "DAP_JTAG_Sequence failed (status " + hex_byte(answer_[offset]) + ")";
      return false;
    }
  }
  for (const Sent::Bit& b : sent.bits)
    *b.dest = ((answer_[b.offset] >> b.bit) & 1U) != 0 ? '1' : '0';
  in_flight_.pop_front();
  return true;
}

std::string DapCable::announcement() const {
  return "\n" + name_ + " is connected, TCK " + format_frequency(tck_hz_) + ", " +
         std::to_string(probe_.packet_count) + " packets of " + std::to_string(probe_.packet_size) +
         " bytes.\n";
}

void DapCable::fail() {
  closed_ = true;  // nothing more can reach the board
  throw LinkLost(name_ + ": " + error_);
}

namespace {

// One DAP_Info item as its bytes; false with `error` set.
bool dap_info(DapTransport& transport, uint8_t id, std::vector<uint8_t>& value,
              std::string& error) {
  const uint8_t command[] = {dap::kInfo, id};
  // The items asked for all answer in fewer bytes than any probe's packet.
  std::vector<uint8_t> answer(kFirstPacket);
  std::size_t got = 0;
  if (!transport.write(command) || !transport.read(answer, got, kDapTimeoutMs)) {
    error = transport.error();
    return false;
  }
  if (got < 2 || answer[0] != dap::kInfo || got < 2U + answer[1]) {
    error = "DAP_Info " + hex_byte(id) + " answered " + std::to_string(got) + " bytes";
    return false;
  }
  value.assign(answer.begin() + 2, answer.begin() + 2 + answer[1]);
  return true;
}

bool parse_hex16(std::string_view text, uint16_t& value) {
  uint64_t number = 0;
  if (!parse_unsigned(text, 0xFFFF, number, NumberBase::kHex)) return false;
  value = static_cast<uint16_t>(number);
  return true;
}

}  // namespace

CableOpening open_cmsis_dap_cable(std::string_view options) {
  std::string setting = "JTAGNAND_PORT=cmsis-dap";
  if (!options.empty()) setting.append(":").append(options);
  DapSelector selector;
  uint32_t tck_hz = kDapDefaultTckHz;
  SettingItem item;
  std::string_view rest = options;
  while (next_setting(rest, item)) {
    const auto bad = [&](const char* expected) {
      return CableOpening::refused(Refusal::kBadSetting,
                                   setting + ": bad " + std::string(item.key) + " '" +
                                       std::string(item.value) + "' (" + expected + ")");
    };
    if (item.key == "vid" && item.has_value) {
      if (!parse_hex16(item.value, selector.vendor)) return bad("USB vendor id in hex, e.g. 2e8a");
    } else if (item.key == "pid" && item.has_value) {
      if (!parse_hex16(item.value, selector.product))
        return bad("USB product id in hex, e.g. 000c");
    } else if (item.key == "serial" && item.has_value && !item.value.empty()) {
      selector.serial = std::string(item.value);
    } else if (item.key == "tck" && item.has_value) {
      if (!parse_frequency(item.value, tck_hz)) return bad("TCK in Hz, e.g. 1000000, 500k or 10M");
    } else {
      return CableOpening::refused(Refusal::kBadSetting,
                                   setting + ": '" + std::string(item.text) +
                                       "' is not an option (known: vid=HEX, pid=HEX, serial=TEXT, "
                                       "tck=HZ)");
    }
  }
  DapOpening found = open_cmsis_dap_usb(selector);
  if (!found.ok()) return std::move(found).refusal<std::unique_ptr<Cable>>();
  DapDevice& opening = found.value();
  char ids[32];
  std::snprintf(ids, sizeof ids, "USB %04x:%04x", opening.vendor, opening.product);
  std::string name = "CMSIS-DAP probe";
  if (!opening.product_name.empty()) name += " \"" + opening.product_name + "\"";
  if (!opening.serial.empty()) name += " serial " + opening.serial;
  name += std::string(" (") + ids + ")";

  DapTransport& transport = *opening.transport;
  std::vector<uint8_t> value;
  std::string error;
  DapProbeInfo probe;
  const auto refuse = [&](const std::string& why) {
    return CableOpening::refused(Refusal::kRefused, "cmsis-dap: " + name + ": " + why);
  };
  if (!dap_info(transport, dap::kInfoCapabilities, value, error)) return refuse(error);
  if (value.empty() || (value[0] & dap::kCapabilityJtag) == 0)
    return refuse("the probe has no JTAG (SWD only)");
  if (!dap_info(transport, dap::kInfoPacketSize, value, error)) return refuse(error);
  if (value.size() >= 2) probe.packet_size = static_cast<uint16_t>(value[0] | value[1] << 8);
  if (!dap_info(transport, dap::kInfoPacketCount, value, error)) return refuse(error);
  if (!value.empty()) probe.packet_count = value[0];
  if (probe.packet_size < 16 || probe.packet_count == 0)
    return refuse("the probe reports packets of " + std::to_string(probe.packet_size) + " bytes, " +
                  std::to_string(probe.packet_count) + " at a time");
  auto cable = std::make_unique<DapCable>(std::move(opening.transport), name, probe, tck_hz);
  if (!cable->start(error)) return refuse(error);
  return CableOpening::ready(std::move(cable));
}

}  // namespace jtagnand
