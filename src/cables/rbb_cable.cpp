#include "cables/rbb_cable.h"

#include <cstdio>

#include "cables/cable_settings.h"

namespace jtagnand {

namespace {

[[nodiscard]] inline char line_command(bool tck, bool tms, bool tdi) {
  return static_cast<char>('0' + (tck ? 4 : 0) + (tms ? 2 : 0) + (tdi ? 1 : 0));
}

}  // namespace

RbbCable::RbbCable(std::unique_ptr<ByteStream> stream, std::string address, int reply_timeout_ms)
    : link_(std::move(stream), reply_timeout_ms), address_(std::move(address)) {
  link_.out.reserve(kSendAt + 64);
  awaited_.reserve(kWindow + 1);
}

RbbCable::~RbbCable() {
  close();
}

void RbbCable::close() {
  if (closed_) return;
  closed_ = true;
  // Unanswered reads are dropped; the lines keep their levels. A server gone
  // by now misses nothing the run needed.
  link_.out.push_back('Q');
  static_cast<void>(link_.send_only());
}

void RbbCable::clock(bool tms, bool tdi) {
  // TCK falls with the new TMS and TDI, then rises: the target takes them on
  // the rising edge and has its TDO bit out since the falling one.
  put(line_command(false, tms, tdi));
  put(line_command(true, tms, tdi));
}

void RbbCable::sample(char* into) {
  put('R');
  awaited_.push_back(into);
  link_.expect(1);
  if (link_.awaited() >= kWindow) take_answers(kWindow / 2);
}

void RbbCable::shift(const char* tdi, char* capture, uint32_t length, bool exit_shift) {
  for (uint32_t i = 0; i < length; ++i) {
    const bool tms = exit_shift && i + 1 == length;
    const bool bit = bit_of(tdi[i]);
    put(line_command(false, tms, bit));
    put(line_command(true, tms, bit));
    if (capture != nullptr) sample(capture + i);
  }
}

void RbbCable::flush() {
  take_answers(0);
}

void RbbCable::trst_pulse() {
  // TRST asserted (nTRST low), then released; SRST stays released.
  put('t');
  put('r');
}

std::string RbbCable::announcement() const {
  return "\nremote_bitbang cable at " + address_ + " is connected.\n";
}

void RbbCable::send_pending() {
  if (!link_.send([this](const char* answers, std::size_t count) { deliver(answers, count); }))
    fail(link_.error());
}

void RbbCable::take_answers(std::size_t left) {
  if (!link_.take(left,
                  [this](const char* answers, std::size_t count) { deliver(answers, count); }))
    fail(link_.error());
  if (awaited_head_ == awaited_.size()) {
    awaited_.clear();
    awaited_head_ = 0;
  }
}

void RbbCable::deliver(const char* answers, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const char a = answers[i];
    if (a != '0' && a != '1') {
      char code[8];
      std::snprintf(code, sizeof code, "0x%02X",
                    static_cast<unsigned>(static_cast<unsigned char>(a)));
      fail(std::string("answered ") + code + " to a TDO read");
    }
    *awaited_[awaited_head_++] = a;
  }
}

void RbbCable::fail(const std::string& why) {
  closed_ = true;  // nothing more can reach the board
  throw LinkLost("remote_bitbang server at " + address_ + ": " + why);
}

CableOpening open_rbb_cable(std::string_view setting) {
  std::string_view address = setting;
  int timeout_ms = kRbbDefaultTimeoutMs;
  constexpr std::string_view kTimeout = ",timeout=";
  if (const std::size_t at = setting.rfind(kTimeout); at != std::string_view::npos) {
    address = setting.substr(0, at);
    const std::string_view value = setting.substr(at + kTimeout.size());
    if (!parse_timeout(value, timeout_ms)) {
      return CableOpening::refused(Refusal::kBadSetting,
                                   "JTAGNAND_PORT=rbb:" + std::string(setting) + ": bad timeout '" +
                                       std::string(value) + "' (seconds, above 0 and up to 3600)");
    }
  }
  if (address.empty()) {
    return CableOpening::refused(Refusal::kBadSetting,
                                 "JTAGNAND_PORT=rbb: needs HOST:PORT or a socket path");
  }
  // HOST:PORT,WORD: the word is an option this cable does not know, not part
  // of the port number (a socket path, with its slash, may hold a comma).
  if (const std::size_t comma = address.find(',');
      comma != std::string_view::npos && address.find('/') == std::string_view::npos) {
    return CableOpening::refused(Refusal::kBadSetting, "JTAGNAND_PORT=rbb:" + std::string(setting) +
                                                           ": unknown option '" +
                                                           std::string(address.substr(comma + 1)) +
                                                           "' (the one option is timeout=SECONDS)");
  }
  StreamOpening opening = open_byte_stream(address, timeout_ms);
  if (opening.ok()) {
    return CableOpening::ready(
        std::make_unique<RbbCable>(std::move(opening.value()), std::string(address), timeout_ms));
  }
  if (opening.kind() == Refusal::kRefused) {
    return CableOpening::refused(Refusal::kRefused,
                                 "rbb:" + std::string(address) + ": " + opening.message() +
                                     " (start a remote_bitbang server there first, e.g. "
                                     "jtagnand-sim --port N or --socket PATH)");
  }
  return CableOpening::refused(
      Refusal::kBadSetting, "JTAGNAND_PORT=rbb:" + std::string(address) + ": " + opening.message());
}

}  // namespace jtagnand
