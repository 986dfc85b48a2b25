#pragma once

// One MPSSE channel of a virtual FTDI chip: the command bytes the host sends,
// executed on the simulated board's TAP lines, and the reply bytes the chip
// holds for the host. Like the real chip it has a small receive buffer for
// commands and a small transmit buffer for replies, and stops taking commands
// while its replies wait unread.
//
// Wiring: ADBUS0 TCK, ADBUS1 TDI, ADBUS2 TDO (input), ADBUS3 TMS, ACBUS0 nTRST.
// A line whose pin is not an output is pulled high. TCK idles low, so each
// clock is a rising edge (the target takes TMS and TDI, the engine samples TDO
// unless told to sample on the falling edge) and a falling edge (the target
// puts out its next TDO bit).

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "sim/sim_board.h"

namespace jtagnand::sim {

struct MpsseCounts {
  uint64_t tck_cycles = 0;    // clocks the commands made
  uint64_t commands = 0;      // commands carried out
  uint64_t bad_commands = 0;  // unknown opcodes (answered 0xFA, opcode)
  uint64_t bytes_in = 0;      // command bytes taken
  uint64_t bytes_out = 0;     // reply bytes produced
};

class MpsseEngine {
 public:
  // `board` may be null: a channel with nothing attached (TDO pulled high).
  // `high_speed`: an H-series engine, which also knows the 0x8A-0x9E commands.
  MpsseEngine(SimBoard* board, bool high_speed, std::size_t command_buffer,
              std::size_t reply_buffer);

  // MPSSE mode on (fresh engine state, pins inputs) or off (commands ignored).
  void set_mpsse(bool on);
  [[nodiscard]] bool mpsse() const { return mpsse_; }

  // Takes command bytes while the command buffer has room, running every
  // complete command while the reply buffer has room; returns how many it took.
  // Outside MPSSE mode every byte is taken and dropped.
  std::size_t take(std::span<const uint8_t> bytes);
  // Runs what waits in the command buffer, as far as the reply buffer allows.
  void run();

  // Replies the chip would send now: all up to the last send-immediate, and
  // the rest in whole packets of `payload` bytes.
  [[nodiscard]] std::size_t replies_sendable(std::size_t payload) const;
  [[nodiscard]] std::size_t replies_waiting() const { return replies_.size() - reply_head_; }
  // Moves up to `max` waiting reply bytes to `into`; returns the count.
  std::size_t give_replies(uint8_t* into, std::size_t max);

  void purge_commands();
  void purge_replies();

  [[nodiscard]] const MpsseCounts& counts() const { return counts_; }
  // The TCK frequency the divisor settings make, Hz.
  [[nodiscard]] double tck_hz() const;
  [[nodiscard]] uint16_t pins() const {
    return static_cast<uint16_t>(low_value_ | high_value_ << 8);
  }
  [[nodiscard]] uint16_t directions() const {
    return static_cast<uint16_t>(low_dir_ | high_dir_ << 8);
  }

 private:
  // Length of the command at the head of the buffer (0: not all there yet).
  [[nodiscard]] std::size_t command_length() const;
  void execute(const uint8_t* command);
  void shift(const uint8_t* command);
  // One TCK period; with `reads`, TDO is sampled (on the edge read_on_fall
  // names) and returned, else false.
  [[nodiscard]] bool clock_bit(bool tdi, bool tms, bool write_on_fall, bool read_on_fall,
                               bool reads);
  void drive();
  [[nodiscard]] bool line(uint8_t pin) const;  // ADBUS pin level as the board sees it
  [[nodiscard]] bool tdo() const;
  [[nodiscard]] bool sample_tdo();  // as a read command takes it
  void reply(uint8_t byte);
  [[nodiscard]] bool known(uint8_t opcode) const;

  SimBoard* board_;
  bool high_speed_;
  std::size_t command_buffer_;
  std::size_t reply_buffer_;
  bool mpsse_ = false;
  std::vector<uint8_t> commands_;
  std::size_t command_head_ = 0;
  std::vector<uint8_t> replies_;
  std::size_t reply_head_ = 0;
  std::size_t sendable_end_ = 0;  // index in replies_ just past the last send-immediate

  uint8_t low_value_ = 0, low_dir_ = 0, high_value_ = 0, high_dir_ = 0;
  bool loopback_ = false;
  bool divide_by_5_ = true;  // the chip starts at 12 MHz, like an FT2232D
  uint16_t divisor_ = 0;
  MpsseCounts counts_;
};

}  // namespace jtagnand::sim
