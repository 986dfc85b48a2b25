#include "sim/ftdi/mpsse_engine.h"

#include <algorithm>

namespace jtagnand::sim {

namespace {

// Shift opcode flags.
constexpr uint8_t kWriteOnFall = 0x01;
constexpr uint8_t kBitMode = 0x02;
constexpr uint8_t kReadOnFall = 0x04;
constexpr uint8_t kLsbFirst = 0x08;
constexpr uint8_t kWriteTdi = 0x10;
constexpr uint8_t kReadTdo = 0x20;
constexpr uint8_t kWriteTms = 0x40;

constexpr uint8_t kTck = 0x01, kTdi = 0x02, kTdo = 0x04, kTms = 0x08;
constexpr uint8_t kNtrst = 0x01;  // ACBUS0

constexpr uint8_t kBadCommand = 0xFA;
constexpr double kBaseHz = 60e6;

}  // namespace

MpsseEngine::MpsseEngine(SimBoard* board, bool high_speed, std::size_t command_buffer,
                         std::size_t reply_buffer)
    : board_(board),
      high_speed_(high_speed),
      command_buffer_(command_buffer),
      reply_buffer_(reply_buffer) {}

void MpsseEngine::set_mpsse(bool on) {
  mpsse_ = on;
  purge_commands();
  purge_replies();
  // Entering or leaving MPSSE mode leaves every pin an input.
  low_value_ = low_dir_ = high_value_ = high_dir_ = 0;
  loopback_ = false;
  drive();
}

std::size_t MpsseEngine::take(std::span<const uint8_t> bytes) {
  if (!mpsse_) return bytes.size();
  std::size_t taken = 0;
  for (;;) {
    const std::size_t room =
        command_buffer_ - std::min(command_buffer_, commands_.size() - command_head_);
    const std::size_t n = std::min(room, bytes.size() - taken);
    commands_.insert(commands_.end(), bytes.begin() + static_cast<long>(taken),
                     bytes.begin() + static_cast<long>(taken + n));
    taken += n;
    counts_.bytes_in += n;
    const std::size_t before = command_head_;
    run();
    if (taken == bytes.size() || (n == 0 && command_head_ == before)) return taken;
  }
}

void MpsseEngine::run() {
  while (replies_waiting() < reply_buffer_) {
    const std::size_t length = command_length();
    if (length == 0) break;
    execute(commands_.data() + command_head_);
    command_head_ += length;
    ++counts_.commands;
  }
  if (command_head_ == commands_.size()) {
    commands_.clear();
    command_head_ = 0;
  } else if (command_head_ > 65536) {
    commands_.erase(commands_.begin(), commands_.begin() + static_cast<long>(command_head_));
    command_head_ = 0;
  }
}

bool MpsseEngine::known(uint8_t op) const {
  if (op < 0x80) {
    if ((op & kWriteTms) != 0) return (op & kBitMode) != 0 && (op & kWriteTdi) == 0;
    return (op & (kWriteTdi | kReadTdo)) != 0;
  }
  switch (op) {
    case 0x80:  // set ADBUS value, direction
    case 0x81:  // read ADBUS
    case 0x82:  // set ACBUS value, direction
    case 0x83:  // read ACBUS
    case 0x84:  // loopback on
    case 0x85:  // loopback off
    case 0x86:  // clock divisor
    case 0x87:  // send immediate
    case 0x88:  // wait for GPIOL1 high
    case 0x89:  // wait for GPIOL1 low
      return true;
    case 0x8A:  // divide-by-5 off
    case 0x8B:  // divide-by-5 on
    case 0x8C:  // three-phase clocking on
    case 0x8D:  // three-phase clocking off
    case 0x8E:  // clock bits, no data
    case 0x8F:  // clock bytes, no data
    case 0x94:  // clock until GPIOL1 high
    case 0x95:  // clock until GPIOL1 low
    case 0x96:  // adaptive clocking on
    case 0x97:  // adaptive clocking off
    case 0x9C:  // clock bytes until GPIOL1 high
    case 0x9D:  // clock bytes until GPIOL1 low
      return high_speed_;
    default:
      return false;
  }
}

std::size_t MpsseEngine::command_length() const {
  const std::size_t have = commands_.size() - command_head_;
  if (have == 0) return 0;
  const uint8_t* c = commands_.data() + command_head_;
  const uint8_t op = c[0];
  std::size_t need = 1;
  if (!known(op)) {
    need = 1;
  } else if (op < 0x80) {
    const bool writes = (op & (kWriteTdi | kWriteTms)) != 0;
    if ((op & kBitMode) != 0) {
      need = writes ? 3 : 2;
    } else {
      need = 3;
      if (have >= 3 && writes) need += static_cast<std::size_t>(c[1] | c[2] << 8) + 1;
    }
  } else if (op == 0x80 || op == 0x82 || op == 0x86 || op == 0x8F || op == 0x9C || op == 0x9D) {
    need = 3;
  } else if (op == 0x8E) {
    need = 2;
  }
  return have >= need ? need : 0;
}

void MpsseEngine::execute(const uint8_t* c) {
  const uint8_t op = c[0];
  if (!known(op)) {
    ++counts_.bad_commands;
    reply(kBadCommand);
    reply(op);
    return;
  }
  if (op < 0x80) {
    shift(c);
    return;
  }
  switch (op) {
    case 0x80:
    case 0x82:
      // Set Data Bits of the low (ADBUS) or the high (ACBUS) byte: levels, then
      // directions.
      (op == 0x80 ? low_value_ : high_value_) = c[1];
      (op == 0x80 ? low_dir_ : high_dir_) = c[2];
      drive();
      break;
    case 0x81:
      // Inputs read what is outside: TDO on ADBUS2, pull-ups elsewhere.
      {
        const unsigned outside = (0xFFU & ~unsigned{kTdo}) | (tdo() ? kTdo : 0U);
        reply(static_cast<uint8_t>((low_value_ & low_dir_) | (outside & ~unsigned{low_dir_})));
      }
      break;
    case 0x83:
      reply(static_cast<uint8_t>((high_value_ & high_dir_) | (~high_dir_ & 0xFF)));
      break;
    case 0x84:
    case 0x85:
      loopback_ = op == 0x84;
      break;
    case 0x86:
      divisor_ = static_cast<uint16_t>(c[1] | c[2] << 8);
      break;
    case 0x87:
      sendable_end_ = replies_.size();
      break;
    case 0x8A:
    case 0x8B:
      divide_by_5_ = op == 0x8B;
      break;
    case 0x8E:
    case 0x8F: {
      // Clocks with TDI and TMS held.
      const uint32_t clocks =
          op == 0x8E ? (c[1] & 7U) + 1 : 8 * (static_cast<uint32_t>(c[1] | c[2] << 8) + 1);
      for (uint32_t i = 0; i < clocks; ++i)
        static_cast<void>(clock_bit(line(kTdi), line(kTms), true, false, false));
      break;
    }
    default:
      // Waits on GPIOL1 (nothing is wired there), clocking modes with no
      // effect on this board.
      break;
  }
}

void MpsseEngine::shift(const uint8_t* c) {
  const uint8_t op = c[0];
  const bool write_on_fall = (op & kWriteOnFall) != 0;
  const bool read_on_fall = (op & kReadOnFall) != 0;
  const bool lsb = (op & kLsbFirst) != 0;
  const bool reads = (op & kReadTdo) != 0;
  if ((op & kWriteTms) != 0) {
    // Up to 7 TMS bits from bit 0; bit 7 is TDI, held throughout. What is read
    // comes in at the top of the reply byte.
    const uint32_t n = std::min<uint32_t>((c[1] & 7U) + 1, 7);
    const bool tdi = (c[2] & 0x80) != 0;
    unsigned in = 0;
    for (uint32_t i = 0; i < n; ++i) {
      const bool bit = clock_bit(tdi, ((c[2] >> i) & 1U) != 0, write_on_fall, read_on_fall, reads);
      in = (in >> 1) | (bit ? 0x80U : 0U);
    }
    if (reads) reply(static_cast<uint8_t>(in));
    return;
  }
  const bool writes = (op & kWriteTdi) != 0;
  const bool tms = line(kTms);
  const auto shift_byte = [&](uint8_t out, uint32_t n) {
    // LSB first: bits out from bit 0, read bits in from the top; MSB first
    // the other way round. n < 8 leaves a bit read at the top (LSB first) or
    // at the bottom (MSB first) of its byte.
    unsigned in = 0;
    for (uint32_t i = 0; i < n; ++i) {
      const bool tdi =
          writes ? (lsb ? ((out >> i) & 1U) != 0 : ((out >> (7 - i)) & 1U) != 0) : line(kTdi);
      const bool bit = clock_bit(tdi, tms, write_on_fall, read_on_fall, reads);
      in = lsb ? (in >> 1) | (bit ? 0x80U : 0U) : ((in << 1) | (bit ? 1U : 0U)) & 0xFFU;
    }
    return static_cast<uint8_t>(in);
  };
  if ((op & kBitMode) != 0) {
    const uint8_t in = shift_byte(writes ? c[2] : 0, (c[1] & 7U) + 1);
    if (reads) reply(in);
    return;
  }
  const uint32_t bytes = static_cast<uint32_t>(c[1] | c[2] << 8) + 1;
  for (uint32_t k = 0; k < bytes; ++k) {
    const uint8_t in = shift_byte(writes ? c[3 + k] : 0, 8);
    if (reads) reply(in);
  }
}

bool MpsseEngine::clock_bit(bool tdi, bool tms, bool write_on_fall, bool read_on_fall, bool reads) {
  const auto set = [&](uint8_t pin, bool level) {
    low_value_ = static_cast<uint8_t>(level ? low_value_ | pin : low_value_ & ~pin);
  };
  // Written on the falling edge: the level is out before this clock rises.
  if (write_on_fall) {
    set(kTdi, tdi);
    set(kTms, tms);
    drive();
  }
  bool sampled = reads && !read_on_fall && sample_tdo();
  set(kTck, true);
  drive();
  // Written on the rising edge: the target took the old level on this edge.
  if (!write_on_fall) {
    set(kTdi, tdi);
    set(kTms, tms);
    drive();
  }
  set(kTck, false);
  drive();
  if (reads && read_on_fall) sampled = sample_tdo();
  ++counts_.tck_cycles;
  return sampled;
}

bool MpsseEngine::line(uint8_t pin) const {
  return (low_dir_ & pin) == 0 || (low_value_ & pin) != 0;
}

bool MpsseEngine::tdo() const {
  // Loopback ties the engine's data output to its input inside the chip.
  if (loopback_) return (low_value_ & kTdi) != 0;
  return board_ == nullptr || board_->tdo();
}

bool MpsseEngine::sample_tdo() {
  if (loopback_) return (low_value_ & kTdi) != 0;
  return board_ == nullptr || board_->sample_tdo();
}

void MpsseEngine::drive() {
  if (board_ == nullptr) return;
  const bool trst_n = (high_dir_ & kNtrst) == 0 || (high_value_ & kNtrst) != 0;
  board_->drive(line(kTck), line(kTms), line(kTdi), trst_n);
}

void MpsseEngine::reply(uint8_t byte) {
  replies_.push_back(byte);
  ++counts_.bytes_out;
}

std::size_t MpsseEngine::replies_sendable(std::size_t payload) const {
  const std::size_t waiting = replies_waiting();
  const std::size_t immediate = sendable_end_ > reply_head_ ? sendable_end_ - reply_head_ : 0;
  return std::max(immediate, payload == 0 ? 0 : waiting / payload * payload);
}

std::size_t MpsseEngine::give_replies(uint8_t* into, std::size_t max) {
  const std::size_t n = std::min(max, replies_waiting());
  std::copy_n(replies_.begin() + static_cast<long>(reply_head_), n, into);
  reply_head_ += n;
  if (reply_head_ == replies_.size()) {
    replies_.clear();
    reply_head_ = 0;
    sendable_end_ = 0;
  } else if (reply_head_ > 65536) {
    replies_.erase(replies_.begin(), replies_.begin() + static_cast<long>(reply_head_));
    sendable_end_ = sendable_end_ > reply_head_ ? sendable_end_ - reply_head_ : 0;
    reply_head_ = 0;
  }
  // Room in the reply buffer lets waiting commands go on.
  run();
  return n;
}

void MpsseEngine::purge_commands() {
  commands_.clear();
  command_head_ = 0;
}

void MpsseEngine::purge_replies() {
  replies_.clear();
  reply_head_ = 0;
  sendable_end_ = 0;
}

double MpsseEngine::tck_hz() const {
  const double base = high_speed_ && !divide_by_5_ ? kBaseHz : kBaseHz / 5;
  return base / (2.0 * (1 + divisor_));
}

}  // namespace jtagnand::sim
