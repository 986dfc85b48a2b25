#include "sim/xvc_server.h"

#include <cstdio>

namespace jtagnand::sim {

namespace {

constexpr std::string_view kGetInfo = "getinfo:";
constexpr std::string_view kSetTck = "settck:";
constexpr std::string_view kShift = "shift:";

uint32_t le32(std::string_view bytes) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i)
    value = value << 8 | static_cast<uint8_t>(bytes[static_cast<std::size_t>(i)]);
  return value;
}

void put_le32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// The start of `input` as text a person can read in a message.
std::string shown(std::string_view input) {
  std::string out = "'";
  for (const char c : input.substr(0, 16)) {
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

XvcServer::XvcServer(SimBoard& board, bool target_connected)
    : board_(board), connected_(target_connected) {}

XvcServer::FeedResult XvcServer::feed(std::string_view input, std::string& answers) {
  FeedResult result;
  for (;;) {
    const std::string_view rest = input.substr(result.consumed);
    if (rest.empty()) return result;
    // A message's name may still be arriving: wait for more while what has
    // come is the start of one.
    const auto starts = [&](std::string_view name) {
      return rest.substr(0, name.size()) == name.substr(0, rest.size());
    };
    if (rest.substr(0, kGetInfo.size()) == kGetInfo) {
      answers += "xvcServer_v1.0:" + std::to_string(kXvcServerVectorBytes) + "\n";
      result.consumed += kGetInfo.size();
    } else if (rest.substr(0, kSetTck.size()) == kSetTck) {
      if (rest.size() < kSetTck.size() + 4) return result;
      const uint32_t period = le32(rest.substr(kSetTck.size()));
      if (period != 0) period_ns_ = period;
      put_le32(answers, period_ns_);
      result.consumed += kSetTck.size() + 4;
    } else if (rest.substr(0, kShift.size()) == kShift) {
      if (rest.size() < kShift.size() + 4) return result;
      const uint32_t bits = le32(rest.substr(kShift.size()));
      const std::size_t bytes = (static_cast<std::size_t>(bits) + 7) / 8;
      if (bytes > kXvcServerVectorBytes) {
        result.stop = Stop::kBadMessage;
        result.bad = "shift: of " + std::to_string(bits) + " bits (at most " +
                     std::to_string(kXvcServerVectorBytes * 8) + ")";
        return result;
      }
      const std::size_t length = kShift.size() + 4 + 2 * bytes;
      if (rest.size() < length) return result;
      const std::string_view tms = rest.substr(kShift.size() + 4, bytes);
      const std::string_view tdi = rest.substr(kShift.size() + 4 + bytes, bytes);
      const std::size_t first = answers.size();
      answers.append(bytes, '\0');
      for (uint32_t i = 0; i < bits; ++i) {
        const auto mask = static_cast<uint8_t>(1U << (i % 8));
        const bool tms_bit = (static_cast<uint8_t>(tms[i / 8]) & mask) != 0;
        const bool tdi_bit = (static_cast<uint8_t>(tdi[i / 8]) & mask) != 0;
        // Without a target the cable's pull-up holds TDO high.
        if (connected_) board_.drive(false, tms_bit, tdi_bit, true);
        if (!connected_ || board_.tdo()) answers[first + i / 8] |= static_cast<char>(mask);
        if (connected_) board_.drive(true, tms_bit, tdi_bit, true);
      }
      ++shifts_;
      tck_ += bits;
      result.consumed += length;
    } else if (!starts(kGetInfo) && !starts(kSetTck) && !starts(kShift)) {
      result.stop = Stop::kBadMessage;
      result.bad = shown(rest);
      return result;
    } else {
      return result;
    }
  }
}

std::string XvcServer::stats_line() const {
  return "sim: shifts=" + std::to_string(shifts_) + " tck=" + std::to_string(tck_) + " " +
         board_.scan_stats();
}

}  // namespace jtagnand::sim
