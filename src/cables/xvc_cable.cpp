#include "cables/xvc_cable.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "cables/cable_settings.h"
#include "numbers/parse_unsigned.h"

namespace jtagnand {

namespace {

constexpr std::string_view kInfoPrefix = "xvcServer_v1.0:";
// The getinfo: answer is one short line.
constexpr std::size_t kMaxInfoLine = 64;

void put_le32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

[[nodiscard]] std::size_t vector_bytes(uint32_t bits) {
  return (static_cast<std::size_t>(bits) + 7) / 8;
}

}  // namespace

XvcCable::XvcCable(std::unique_ptr<ByteStream> stream, std::string address, int reply_timeout_ms,
                   uint32_t vector_bytes_allowed, double tck_hz)
    : link_(std::move(stream), reply_timeout_ms),
      address_(std::move(address)),
      max_bits_(std::min(vector_bytes_allowed, kMaxVectorBytes) * 8),
      tck_hz_(tck_hz) {
  tms_.reserve(max_bits_ / 8);
  tdi_.reserve(max_bits_ / 8);
  link_.out.reserve(kSendAt + 2 * kMaxVectorBytes + 16);
}

XvcCable::~XvcCable() {
  close_quietly();
}

void XvcCable::close() {
  if (closed_) return;
  if (bits_ > 0) close_shift();
  if (!take_answers(0)) fail();
  closed_ = true;
}

void XvcCable::add_bit(bool tms, bool tdi) {
  if (bits_ == max_bits_) close_shift();
  const uint32_t byte = bits_ / 8;
  const auto mask = static_cast<uint8_t>(1U << (bits_ % 8));
  if (byte == tms_.size()) {
    tms_.push_back(0);
    tdi_.push_back(0);
  }
  if (tms) tms_[byte] |= mask;
  if (tdi) tdi_[byte] |= mask;
  ++bits_;
}

void XvcCable::clock(bool tms, bool tdi) {
  add_bit(tms, tdi);
}

void XvcCable::sample(char* into) {
  if (bits_ > 0) {
    places_.emplace_back(bits_ - 1, into);
  } else if (!sent_.empty()) {
    sent_.back().places.emplace_back(sent_.back().bits - 1, into);
  } else {
    *into = last_tdo_;
  }
}

void XvcCable::shift(const char* tdi, char* capture, uint32_t length, bool exit_shift) {
  for (uint32_t i = 0; i < length; ++i) {
    add_bit(exit_shift && i + 1 == length, bit_of(tdi[i]));
    if (capture != nullptr) places_.emplace_back(bits_ - 1, capture + i);
  }
}

void XvcCable::flush() {
  if (bits_ > 0) close_shift();
  if (!take_answers(0)) fail();
}

void XvcCable::close_shift() {
  std::string& out = link_.out;
  out.append("shift:");
  put_le32(out, bits_);
  out.append(reinterpret_cast<const char*>(tms_.data()), tms_.size());
  out.append(reinterpret_cast<const char*>(tdi_.data()), tdi_.size());
  sent_.push_back({bits_, std::move(places_)});
  link_.expect(vector_bytes(bits_));
  ++traffic_.shifts;
  traffic_.tck_cycles += bits_;
  places_ = {};
  tms_.clear();
  tdi_.clear();
  bits_ = 0;
  if (link_.awaited() > kWindow) {
    if (!take_answers(kWindow / 2)) fail();
  } else if (out.size() >= kSendAt) {
    if (!send_out()) fail();
  }
}

bool XvcCable::send_out() {
  const bool sent =
      link_.send([this](const char* bytes, std::size_t count) { deliver(bytes, count); });
  traffic_.bytes_sent = link_.bytes_sent();
  return sent;
}

bool XvcCable::take_answers(std::size_t left) {
  const bool taken =
      link_.take(left, [this](const char* bytes, std::size_t count) { deliver(bytes, count); });
  traffic_.bytes_sent = link_.bytes_sent();
  traffic_.round_trips = link_.waits();
  return taken;
}

void XvcCable::deliver(const char* answer, std::size_t count) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(answer);
  while (count > 0) {
    Sent& oldest = sent_.front();
    const std::size_t need = vector_bytes(oldest.bits) - answer_.size();
    const std::size_t take = std::min(need, count);
    answer_.insert(answer_.end(), bytes, bytes + take);
    bytes += take;
    count -= take;
    if (answer_.size() < vector_bytes(oldest.bits)) break;
    const auto bit = [&](uint32_t i) { return ((answer_[i / 8] >> (i % 8)) & 1U) != 0; };
    for (const auto& [index, dest] : oldest.places) *dest = bit(index) ? '1' : '0';
    last_tdo_ = bit(oldest.bits - 1) ? '1' : '0';
    answer_.clear();
    sent_.pop_front();
  }
}

std::string XvcCable::announcement() const {
  std::string line = "\nXilinx Virtual Cable at " + address_ + " is connected";
  if (tck_hz_ > 0) line += ", TCK " + format_frequency(tck_hz_);
  return line + ".\n";
}

void XvcCable::fail() {
  closed_ = true;  // nothing more can reach the board
  throw LinkLost("XVC server at " + address_ + ": " + link_.error());
}

namespace {

// Sends `message` and takes exactly `size` answer bytes, or up to a newline
// when `line`; false with `error` set.
bool ask(ByteStream& stream, std::string_view message, std::size_t size, bool line, int timeout_ms,
         std::string& answer, std::string& error) {
  if (!stream.send_all(message, timeout_ms)) {
    error = stream.error();
    return false;
  }
  answer.clear();
  while (answer.size() < size && (!line || answer.empty() || answer.back() != '\n')) {
    char c[64];
    const long got = stream.receive(c, line ? 1 : size - answer.size(), timeout_ms);
    if (got < 0) {
      error = stream.error();
      return false;
    }
    if (got == 0) {
      error = "no answer to " + std::string(message.substr(0, message.find(':') + 1)) + " in " +
              std::to_string(timeout_ms) + " ms";
      return false;
    }
    answer.append(c, static_cast<std::size_t>(got));
  }
  return true;
}

// 'text' with anything unprintable as \xNN.
std::string quoted(std::string_view text) {
  std::string out(1, '\'');
  for (const char c : text) {
    if (c >= 0x20 && c < 0x7F) {
      out.push_back(c);
    } else {
      char code[8];
      std::snprintf(code, sizeof code, "\\x%02X", static_cast<unsigned>(static_cast<uint8_t>(c)));
      out += code;
    }
  }
  return out += '\'';
}

}  // namespace

CableOpening open_xvc_cable(std::string_view setting) {
  const std::string whole = "JTAGNAND_PORT=xvc:" + std::string(setting);
  const std::size_t comma = setting.find(',');
  std::string address(setting.substr(0, comma));
  std::string_view options =
      comma == std::string_view::npos ? std::string_view{} : setting.substr(comma + 1);
  if (address.empty())
    return CableOpening::refused(Refusal::kBadSetting, whole + ": needs HOST or HOST:PORT");
  // A port is what follows the last colon outside IPv6 brackets.
  const std::size_t bracket = address.rfind(']');
  const std::size_t colon = address.rfind(':');
  if (colon == std::string::npos || (bracket != std::string::npos && colon < bracket))
    address.append(":").append(std::to_string(kXvcDefaultPort));

  int timeout_ms = kXvcDefaultTimeoutMs;
  uint32_t tck_hz = 0;
  SettingItem item;
  while (next_setting(options, item)) {
    if (item.key == "tck" && item.has_value) {
      if (!parse_frequency(item.value, tck_hz))
        return CableOpening::refused(Refusal::kBadSetting,
                                     whole + ": bad tck '" + std::string(item.value) +
                                         "' (TCK in Hz, e.g. 1000000, 500k or 10M)");
    } else if (item.key == "timeout" && item.has_value) {
      if (!parse_timeout(item.value, timeout_ms))
        return CableOpening::refused(Refusal::kBadSetting,
                                     whole + ": bad timeout '" + std::string(item.value) +
                                         "' (seconds, above 0 and up to 3600)");
    } else {
      return CableOpening::refused(Refusal::kBadSetting,
                                   whole + ": '" + std::string(item.text) +
                                       "' is not an option (known: tck=HZ, timeout=SECONDS)");
    }
  }

  StreamOpening opening = open_byte_stream(address, timeout_ms);
  if (!opening.ok()) {
    if (opening.kind() == Refusal::kRefused)
      return CableOpening::refused(Refusal::kRefused,
                                   "xvc:" + address + ": " + opening.message() +
                                       " (start an XVC server there first, e.g. jtagnand-sim "
                                       "--xvc N)");
    return CableOpening::refused(Refusal::kBadSetting, whole + ": " + opening.message());
  }
  ByteStream& stream = *opening.value();
  std::string answer, error;
  if (!ask(stream, "getinfo:", kMaxInfoLine, true, timeout_ms, answer, error))
    return CableOpening::refused(Refusal::kRefused, "xvc:" + address + ": getinfo: " + error);
  uint64_t vector_limit = 0;
  const std::string_view info = answer;
  if (info.substr(0, kInfoPrefix.size()) != kInfoPrefix || info.back() != '\n' ||
      !parse_unsigned(info.substr(kInfoPrefix.size(), info.size() - kInfoPrefix.size() - 1),
                      UINT32_MAX, vector_limit) ||
      vector_limit < 2) {
    return CableOpening::refused(
        Refusal::kRefused,
        "xvc:" + address + ": not an XVC 1.0 server (getinfo: answered " + quoted(answer) + ")");
  }
  // Servers differ in whether the length counts one vector or both; taking
  // half of it suits either.
  const auto vector_bytes_allowed = static_cast<uint32_t>(vector_limit / 2);

  double reported_hz = 0;
  if (tck_hz != 0) {
    const auto period_ns = static_cast<uint32_t>(std::max(1.0, 1e9 / tck_hz + 0.5));
    std::string message = "settck:";
    put_le32(message, period_ns);
    if (!ask(stream, message, 4, false, timeout_ms, answer, error))
      return CableOpening::refused(Refusal::kRefused, "xvc:" + address + ": settck: " + error);
    uint32_t set = 0;
    for (int i = 3; i >= 0; --i)
      set = set << 8 | static_cast<uint8_t>(answer[static_cast<std::size_t>(i)]);
    if (set != 0) reported_hz = 1e9 / set;
  }
  return CableOpening::ready(std::make_unique<XvcCable>(
      std::move(opening.value()), address, timeout_ms, vector_bytes_allowed, reported_hz));
}

}  // namespace jtagnand
