#include "cables/ftdi_cable.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "cables/cable_settings.h"
#include "numbers/parse_unsigned.h"

namespace jtagnand {

namespace {

// TCK = base / (2 * (1 + divisor)); the divisor is 16 bits.
constexpr uint64_t kFastBaseHz = 60'000'000;  // H-series, divide-by-5 off
constexpr uint64_t kSlowBaseHz = 12'000'000;  // FT2232C/D, or H-series with divide-by-5 on
constexpr uint64_t kMaxDivisor = 0xFFFF;
// Bytes in one byte-shift command: its count is 16 bits, length - 1.
constexpr uint32_t kMaxShiftBytes = 65536;
// Bits in one TMS command: bit 7 of its data byte is the TDI level.
constexpr uint8_t kMaxTmsClocks = 7;
// The nTRST low level is written this many times: one GPIO command lasts a few
// cycles of the chip's 60 MHz engine clock, a TAP needs some tens of ns.
constexpr int kTrstLowCommands = 8;
constexpr int kSyncTimeoutMs = 1000;

[[nodiscard]] inline uint8_t pack_bits(const char* bits, uint32_t count) {
  uint8_t byte = 0;
  for (uint32_t j = 0; j < count; ++j)
    if (bit_of(bits[j])) byte = static_cast<uint8_t>(byte | (1U << j));
  return byte;
}

// Six significant digits, or as many more as it takes to show `hz` exactly
// (`exact`: a frequency the user asked for, 30000001 Hz is not "30 MHz").
std::string format_hz(double hz, bool exact = false) {
  char text[48];
  const double scale = hz >= 1e6 ? 1e6 : hz >= 1e3 ? 1e3 : 1;
  const char* unit = hz >= 1e6 ? "MHz" : hz >= 1e3 ? "kHz" : "Hz";
  for (int digits = 6; digits <= 12; ++digits) {
    std::snprintf(text, sizeof text, "%.*g %s", digits, hz / scale, unit);
    if (!exact || std::abs(std::strtod(text, nullptr) * scale - hz) < 0.5) break;
  }
  return text;
}

}  // namespace

bool parse_ftdi_settings(std::string_view text, FtdiSettings& settings, std::string& error) {
  bool layout_given = false;
  bool gpio_given = false;
  SettingItem item;
  while (next_setting(text, item)) {
    const std::string_view key = item.key;
    const std::string_view value = item.value;
    const auto bad = [&](const char* expected) {
      error = "bad " + std::string(key) + " '" + std::string(value) + "' (" + expected + ")";
      return false;
    };
    if (item.text == "overclock") {
      settings.overclock = true;
      continue;
    }
    if (!item.has_value || value.empty()) {
      error = std::string(item.text);
      error.insert(0, 1, '\'');
      error.append(
          "' is not an option (known: id=VID:PID, channel=A|B, serial=TEXT, tck=HZ, "
          "layout=minimodule|buffered|olimex, gpio=VALUE/DIRECTION)");
      return false;
    }
    if (key == "id") {
      const std::size_t colon = value.find(':');
      uint64_t vendor = 0, product = 0;
      if (colon == std::string_view::npos ||
          !parse_unsigned(value.substr(0, colon), 0xFFFF, vendor, NumberBase::kHex) ||
          !parse_unsigned(value.substr(colon + 1), 0xFFFF, product, NumberBase::kHex))
        return bad("USB vendor and product id in hex, e.g. 0403:6010");
      settings.usb.vendor = static_cast<uint16_t>(vendor);
      settings.usb.product = static_cast<uint16_t>(product);
    } else if (key == "channel") {
      if (value != "A" && value != "B" && value != "a" && value != "b")
        return bad("A or B, the channel whose MPSSE engine drives JTAG");
      settings.usb.channel = static_cast<char>(value[0] & ~0x20);
    } else if (key == "serial") {
      settings.usb.serial = std::string(value);
    } else if (key == "tck") {
      if (!parse_frequency(value, settings.tck_hz))
        return bad("TCK in Hz, e.g. 1000000, 500k or 15M");
    } else if (key == "layout") {
      const auto* found = std::find_if(kGpioLayouts.begin(), kGpioLayouts.end(),
                                       [&](const GpioLayout& l) { return l.name == value; });
      if (found == kGpioLayouts.end()) return bad("minimodule, buffered or olimex");
      settings.layout = *found;
      layout_given = true;
    } else if (key == "gpio") {
      const std::size_t slash = value.find('/');
      uint64_t pins = 0, outputs = 0;
      if (slash == std::string_view::npos ||
          !parse_unsigned(value.substr(0, slash), 0xFFFF, pins) ||
          !parse_unsigned(value.substr(slash + 1), 0xFFFF, outputs))
        return bad("VALUE/DIRECTION, 16 bits each: ADBUS in the low byte, ACBUS in the high one");
      // ADBUS0-3 are the JTAG lines, set by the cable whatever is given here.
      settings.layout = GpioLayout{
          .name = "gpio",
          .value = static_cast<uint16_t>(pins & outputs & ~kJtagPins),
          .direction = static_cast<uint16_t>(outputs & ~kJtagPins),
      };
      gpio_given = true;
    } else {
      error = "unknown option '" + std::string(key) +
              "' (known: id, channel, serial, tck, layout, gpio, overclock)";
      return false;
    }
  }
  if (layout_given && gpio_given) {
    error = "layout= and gpio= both set the pins; give one of them";
    return false;
  }
  return true;
}

bool choose_tck(FtdiChip chip, uint32_t asked_hz, TckSetting& setting) {
  const bool fast = is_high_speed(chip);
  const uint64_t highest = (fast ? kFastBaseHz : kSlowBaseHz) / 2;
  const auto make = [&](uint64_t base, bool divide_by_5) {
    const uint64_t twice = 2 * uint64_t{asked_hz};
    const uint64_t divisor = (base + twice - 1) / twice - 1;  // the smallest not above asked_hz
    if (divisor > kMaxDivisor) return false;
    setting.divisor = static_cast<uint16_t>(divisor);
    setting.divide_by_5 = divide_by_5;
    setting.hz = static_cast<double>(base) / static_cast<double>(2 * (1 + divisor));
    return true;
  };
  if (asked_hz == 0 || asked_hz >= highest) {
    setting = {.divisor = 0, .divide_by_5 = false, .hz = static_cast<double>(highest)};
    return true;
  }
  if (fast && make(kFastBaseHz, false)) return true;
  return make(kSlowBaseHz, fast);
}

FtdiCable::FtdiCable(std::unique_ptr<UsbTransport> usb, FtdiChip chip, const FtdiSettings& settings,
                     std::string name)
    : usb_(std::move(usb)), chip_(chip), settings_(settings), name_(std::move(name)) {
  static_cast<void>(choose_tck(chip_, settings_.tck_hz, tck_));
  out_.reserve(kSendAt + 1024);
}

FtdiCable::~FtdiCable() {
  close_quietly();
}

void FtdiCable::close() {
  if (closed_) return;
  send_tms_run();
  // Nothing waits for replies any more; the commands still go out.
  extracts_.clear();
  copies_.clear();
  exchange();
  closed_ = true;
}

void FtdiCable::send_clock_setting() {
  using namespace mpsse;
  if (is_high_speed(chip_)) out_.push_back(tck_.divide_by_5 ? kDivideBy5On : kDivideBy5Off);
  out_.insert(out_.end(), {kDivisor, static_cast<uint8_t>(tck_.divisor & 0xFF),
                           static_cast<uint8_t>(tck_.divisor >> 8)});
}

std::string FtdiCable::limit_tck(const TckLimit& limit) {
  if (limit.hz <= 0) return {};
  const uint32_t asked = settings_.tck_hz;
  if (asked == 0) {
    // No TCK given: the fastest the divisor makes within the limit.
    const auto within = static_cast<uint32_t>(std::min(limit.hz, 4.0e9));
    if (static_cast<double>(within) < tck_.hz && choose_tck(chip_, within, tck_)) {
      send_clock_setting();
      after_command();
    }
    return {};
  }
  if (static_cast<double>(asked) <= limit.hz || settings_.overclock) return {};
  return "JTAGNAND_PORT=ftdi: TCK " + format_hz(asked) + " is above " + format_hz(limit.hz) +
         ", the highest TCK " + limit.source +
         " gives (TAP_SCAN_CLOCK); add ,overclock to the ftdi options to run at it anyway";
}

bool FtdiCable::start(std::string& error) {
  using namespace mpsse;
  out_.push_back(kLoopbackOff);
  if (is_high_speed(chip_)) {
    out_.push_back(tck_.divide_by_5 ? kDivideBy5On : kDivideBy5Off);
    out_.push_back(kAdaptiveOff);
    out_.push_back(kThreePhaseOff);
  }
  out_.insert(out_.end(), {kDivisor, static_cast<uint8_t>(tck_.divisor & 0xFF),
                           static_cast<uint8_t>(tck_.divisor >> 8)});
  // TCK low (it idles low), TDI low, TMS high; the layout's pins as it says.
  const uint16_t value = run_value();
  const uint16_t direction = settings_.layout.direction | kJtagOutputs;
  out_.insert(out_.end(),
              {kSetLow, static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>(direction & 0xFF),
               kSetHigh, high_byte(value), high_byte(direction), kSyncProbe, kSendImmediate});
  tms_pin_ = true;
  const bool sent = usb_->write(out_);
  traffic_.bytes_sent += out_.size();
  out_.clear();
  uint8_t answer[2] = {0, 0};
  if (!sent || !usb_->read(answer, kSyncTimeoutMs)) {
    error = "the adapter did not answer its MPSSE engine's set-up: " + usb_->error();
    return false;
  }
  traffic_.bytes_received += 2;
  ++traffic_.round_trips;
  if (answer[0] != kBadCommandReply || answer[1] != kSyncProbe) {
    char text[96];
    std::snprintf(text, sizeof text,
                  "the adapter answered 0x%02X 0x%02X where its MPSSE engine answers 0xFA 0xAA",
                  answer[0], answer[1]);
    error = text;
    return false;
  }
  return true;
}

uint16_t FtdiCable::run_value() const {
  return static_cast<uint16_t>((settings_.layout.value & ~kJtagPins) | (tms_pin_ ? kPinTms : 0));
}

void FtdiCable::clock(bool tms, bool tdi) {
  add_clock(tms, tdi);
  after_command();
}

void FtdiCable::clock_tms(uint32_t tms_bits, uint32_t count, bool tdi) {
  for (uint32_t i = 0; i < count; ++i, tms_bits >>= 1) add_clock((tms_bits & 1U) != 0, tdi);
  after_command();
}

void FtdiCable::add_clock(bool tms, bool tdi) {
  if (run_count_ == kMaxTmsClocks || (run_count_ > 0 && tdi != run_tdi_)) send_tms_run();
  if (run_count_ == 0) run_tdi_ = tdi;
  if (tms) run_tms_ = static_cast<uint8_t>(run_tms_ | (1U << run_count_));
  run_capture_[run_count_] = nullptr;
  ++run_count_;
  last_tdo_ = 0;
}

bool FtdiCable::last_tms_level() const {
  return run_count_ > 0 ? ((run_tms_ >> (run_count_ - 1)) & 1U) != 0 : tms_pin_;
}

void FtdiCable::send_tms_run() {
  if (run_count_ == 0) return;
  const bool reads = std::any_of(run_capture_.begin(), run_capture_.begin() + run_count_,
                                 [](const char* d) { return d != nullptr; });
  out_.insert(out_.end(),
              {reads ? mpsse::kTmsInOut : mpsse::kTmsOut, static_cast<uint8_t>(run_count_ - 1),
               static_cast<uint8_t>((run_tdi_ ? 0x80 : 0) | run_tms_)});
  if (reads) {
    // The n TDO bits arrive at the top of the reply byte: clock i in bit 8 - n + i.
    for (uint8_t i = 0; i < run_count_; ++i) {
      if (run_capture_[i] != nullptr)
        extracts_.push_back(
            {replies_, run_capture_[i], static_cast<uint8_t>(8 - run_count_ + i), 1});
    }
    ++replies_;
  }
  tms_pin_ = ((run_tms_ >> (run_count_ - 1)) & 1U) != 0;
  traffic_.tck_cycles += run_count_;
  run_tms_ = 0;
  run_count_ = 0;
}

void FtdiCable::expect(char* dest, uint8_t shift, uint8_t count) {
  extracts_.push_back({replies_, dest, shift, count});
  ++replies_;
}

void FtdiCable::send_data_bits(const char* tdi, char* capture, uint32_t first, uint32_t end) {
  uint32_t position = first;
  uint32_t bytes = (end - first) / 8;
  while (bytes > 0) {
    const uint32_t chunk = std::min(bytes, kMaxShiftBytes);
    out_.insert(out_.end(),
                {capture != nullptr ? mpsse::kBytesInOut : mpsse::kBytesOut,
                 static_cast<uint8_t>((chunk - 1) & 0xFF), static_cast<uint8_t>((chunk - 1) >> 8)});
    for (uint32_t k = 0; k < chunk; ++k, position += 8) {
      out_.push_back(pack_bits(tdi + position, 8));
      // Byte replies come LSB first: bit j is clock 8k + j.
      if (capture != nullptr) expect(capture + position, 0, 8);
    }
    bytes -= chunk;
    traffic_.tck_cycles += 8ULL * chunk;
  }
  const uint32_t rest = end - position;
  if (rest > 0) {
    out_.insert(out_.end(), {capture != nullptr ? mpsse::kBitsInOut : mpsse::kBitsOut,
                             static_cast<uint8_t>(rest - 1), pack_bits(tdi + position, rest)});
    // A bit read of n bits arrives at the top of its byte.
    if (capture != nullptr)
      expect(capture + position, static_cast<uint8_t>(8 - rest), static_cast<uint8_t>(rest));
    traffic_.tck_cycles += rest;
  }
}

void FtdiCable::shift(const char* tdi, char* capture, uint32_t length, bool exit_shift) {
  if (length == 0) return;
  const bool last_tdi = bit_of(tdi[length - 1]);
  // Data commands hold TMS where the last TMS command left it, and every data
  // bit but an exiting last one needs it low. The last bit always goes into a
  // TMS command: with the path that follows it when it exits, or so that a
  // sample() can still ask for its TDO.
  const uint32_t data_end = length - 1;
  uint32_t first = 0;
  if (data_end > 0 && last_tms_level()) {
    add_clock(false, bit_of(tdi[0]));
    if (capture != nullptr) run_capture_[run_count_ - 1] = capture;
    first = 1;
  }
  if (first < data_end) {
    send_tms_run();
    send_data_bits(tdi, capture, first, data_end);
  }
  add_clock(exit_shift, last_tdi);
  if (capture != nullptr) run_capture_[run_count_ - 1] = capture + data_end;
  after_command();
}

void FtdiCable::sample(char* into) {
  if (run_count_ > 0) {
    char*& slot = run_capture_[run_count_ - 1];
    if (slot == nullptr) {
      slot = into;
    } else if (slot != into) {
      // The same clock sampled twice: the second copy is made at delivery.
      copies_.push_back({into, slot});
    }
  } else if (last_tdo_ != 0) {
    *into = last_tdo_;
  } else {
    // No clock since the cable opened or the last TRST pulse: TDO as it stands.
    out_.push_back(mpsse::kGetLow);
    expect(into, 2, 1);  // ADBUS2
  }
}

void FtdiCable::flush() {
  char* last = nullptr;
  if (run_count_ > 0) {
    char*& slot = run_capture_[run_count_ - 1];
    const bool reads =
        replies_ > 0 || std::any_of(run_capture_.begin(), run_capture_.begin() + run_count_,
                                    [](const char* d) { return d != nullptr; });
    // While replies are fetched anyway, the last clock's TDO comes along, so a
    // sample() right after this flush needs no clock of its own.
    if (reads) {
      if (slot == nullptr) slot = &last_tdo_;
      last = slot;
    }
    send_tms_run();
  }
  exchange();
  if (last != nullptr) last_tdo_ = *last;
}

void FtdiCable::after_command() {
  if (replies_ == 0 ? out_.size() >= kSendAt
                    : replies_ >= kReplyLimit || out_.size() >= kCommandLimit)
    exchange();
}

void FtdiCable::exchange() {
  if (replies_ > 0) {
    out_.push_back(mpsse::kSendImmediate);
    in_.resize(replies_);
    if (!usb_->exchange(out_, in_)) fail(usb_->error());
    traffic_.bytes_received += replies_;
    ++traffic_.round_trips;
    deliver();
  } else if (!out_.empty()) {
    if (!usb_->write(out_)) fail(usb_->error());
  }
  traffic_.bytes_sent += out_.size();
  out_.clear();
  extracts_.clear();
  copies_.clear();
  replies_ = 0;
}

void FtdiCable::deliver() {
  for (const Extract& e : extracts_) {
    const unsigned byte = static_cast<unsigned>(in_[e.reply]) >> e.shift;
    for (uint8_t j = 0; j < e.count; ++j) e.dest[j] = ((byte >> j) & 1U) != 0 ? '1' : '0';
  }
  for (const auto& [to, from] : copies_) *to = *from;
}

void FtdiCable::trst_pulse() {
  const uint16_t ntrst = settings_.layout.ntrst;
  if (ntrst == 0) return;
  send_tms_run();
  const uint16_t direction = settings_.layout.direction | kJtagOutputs;
  const auto set = [&](uint16_t value) {
    if ((ntrst & 0xFF00) != 0) {
      out_.insert(out_.end(), {mpsse::kSetHigh, high_byte(value), high_byte(direction)});
    } else {
      out_.insert(out_.end(), {mpsse::kSetLow, static_cast<uint8_t>(value & 0xFF),
                               static_cast<uint8_t>(direction & 0xFF)});
    }
  };
  for (int i = 0; i < kTrstLowCommands; ++i) set(static_cast<uint16_t>(run_value() & ~ntrst));
  set(run_value());
  last_tdo_ = 0;
  after_command();
}

std::string FtdiCable::announcement() const {
  char ids[64];
  std::snprintf(ids, sizeof ids, "USB %04x:%04x, channel %c", settings_.usb.vendor,
                settings_.usb.product, settings_.usb.channel);
  std::string clock = "TCK " + format_hz(tck_.hz);
  const uint32_t asked = settings_.tck_hz;
  if (asked != 0 && static_cast<double>(asked) > tck_.hz) {
    const bool above = tck_.divisor == 0 && !tck_.divide_by_5;
    clock += " (" + format_hz(asked, true) + " asked, " +
             (above ? std::string("above the ") + chip_name(chip_) + "'s highest)"
                    : std::string("rounded down to what the clock divisor makes)"));
  }
  return "\n" + name_ + " (" + ids + ") is connected, " + clock + ".\n";
}

void FtdiCable::fail(const std::string& why) {
  closed_ = true;  // nothing more can reach the board
  char adapter[64];
  std::snprintf(adapter, sizeof adapter,
                "FTDI adapter %04x:%04x channel %c: ", settings_.usb.vendor, settings_.usb.product,
                settings_.usb.channel);
  throw LinkLost(adapter + why);
}

CableOpening open_ftdi_cable(std::string_view options) {
  std::string setting = "JTAGNAND_PORT=ftdi";
  if (!options.empty()) setting.append(":").append(options);
  FtdiSettings settings;
  std::string error;
  if (!parse_ftdi_settings(options, settings, error))
    return CableOpening::refused(Refusal::kBadSetting, setting + ": " + error);
  FtdiOpening found = open_ftdi_usb(settings.usb);
  if (!found.ok()) return std::move(found).refusal<std::unique_ptr<Cable>>();
  FtdiDevice& opening = found.value();
  TckSetting tck;
  if (!choose_tck(opening.chip, settings.tck_hz, tck)) {
    return CableOpening::refused(Refusal::kBadSetting, setting + ": TCK " +
                                                           format_hz(settings.tck_hz) +
                                                           " is below the slowest the " +
                                                           chip_name(opening.chip) + " makes");
  }
  std::string name = std::string("FTDI ") + chip_name(opening.chip);
  if (!opening.product.empty()) name += " \"" + opening.product + "\"";
  if (!opening.serial.empty()) name += " serial " + opening.serial;
  auto cable =
      std::make_unique<FtdiCable>(std::move(opening.transport), opening.chip, settings, name);
  if (!cable->start(error)) return CableOpening::refused(Refusal::kRefused, "ftdi: " + error);
  return CableOpening::ready(std::move(cable));
}

}  // namespace jtagnand
