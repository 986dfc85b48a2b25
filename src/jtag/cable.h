#pragma once

// The JTAG cable as the TAP layer sees it: TCK periods with TMS and TDI, TDO
// samples, whole shifts, the TRST line. Each cable (parallel port, remote_bitbang,
// USB adapter) owns its own pin assignment or protocol; nothing above this
// interface knows it.
//
// TDO samples may be queued: a cable that pays for a round trip per answer
// (a socket, a USB adapter) collects the places a sample is to go to and fills
// them later, in order. A sample is in its place at the latest when flush()
// returns. A cable that reads TDO at once (the parallel port) fills it at once.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/opened.h"

namespace jtagnand {

// Thrown by a cable whose link to the board is gone (a server that went away
// or stopped answering, an adapter unplugged): nothing more can reach the
// board, so the run ends. what() names the cable and the reason. Only the
// driver catches it; on the way up every file the run had open is closed and
// every file it was writing is abandoned.
class LinkLost : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A bit of a bit string: the low bit of its character code, so '0' and '1'
// (and any other character the callers use) read the same everywhere.
[[nodiscard]] inline bool bit_of(char c) {
  return (static_cast<unsigned char>(c) & 1U) != 0;
}

// How a run may drive the NAND bus through a cable.
enum class BusTraffic : uint8_t {
  // The sequence the parallel-port cable has always sent, byte for byte: every
  // data scan from Run-Test/Idle back to it, a latch cycle framed by scans of
  // its own for CLE or ALE, three scans per byte read.
  kClassic,
  // As few scans and clocks as the bus allows: two scans per bus cycle, each
  // scan straight from the Update-DR of the one before.
  kMinimal,
};

// The highest TCK the devices on a chain take, as their BSDL files give it
// (TAP_SCAN_CLOCK); the slowest device sets the chain's.
struct TckLimit {
  double hz = 0;       // 0: no file gives one
  std::string source;  // the file that gives it
};

class Cable {
 public:
  virtual ~Cable() = default;

  // --- What every cable provides ------------------------------------------

  // One TCK period: TMS and TDI are set while TCK is low; the target takes them
  // on the rising edge and puts out its next TDO bit on the falling edge.
  virtual void clock(bool tms, bool tdi) = 0;
  // TDO as it stands after the last clock: the bit the target put out on that
  // clock's falling edge. A cable that queues samples overrides sample() instead
  // and never needs this.
  [[nodiscard]] virtual bool read_tdo() = 0;

  // --- Sequences, built on the two above unless a cable does better ---------

  // The TDO sample of the last clock, '0' or '1', into *into (see flush()).
  virtual void sample(char* into);
  // `count` clocks (at most 32): TMS from bit 0 of `tms_bits` upward, TDI held
  // at `tdi` throughout.
  virtual void clock_tms(uint32_t tms_bits, uint32_t count, bool tdi);
  // `length` clocks in a Shift state: TDI from bit strings (the low bit of each
  // character, index 0 first), TMS low except on the last clock when
  // `exit_shift` (which then leaves for Exit1). With `capture` not null,
  // capture[i] becomes the TDO bit of clock i, '0' or '1' (see flush()).
  // tdi[i] is read before capture[i] is written, so the two may be one buffer.
  virtual void shift(const char* tdi, char* capture, uint32_t length, bool exit_shift);
  // Puts every queued sample in its place.
  virtual void flush() {}

  // How many ready polls a caller may send ahead before it needs the first
  // answer. A poll repeats the scan before it, so extra polls change nothing on
  // the pins; they spare a cable with a slow round trip a wait per poll.
  [[nodiscard]] virtual uint32_t poll_batch() const { return 1; }

  // How the NAND bus is driven through this cable. A cable whose traffic is
  // fixed by what it always sent keeps the classic sequence; every other cable
  // gets the minimal one.
  [[nodiscard]] virtual BusTraffic bus_traffic() const { return BusTraffic::kMinimal; }

  // The chain's TCK limit, given before the first clock. A cable with a clock
  // of its own runs at the lower of its default and the limit when it was given
  // no TCK, and refuses a higher TCK that was given (returning why) unless told
  // to overclock. A cable without a clock of its own has nothing to do.
  [[nodiscard]] virtual std::string limit_tck(const TckLimit& /*limit*/) { return {}; }

  // Resets the TAP through nTRST, where the cable has that line: low, then high
  // again, with TCK still.
  virtual void trst_pulse() {}

  // The line the run prints about its cable, line ends included (the parallel
  // port's "\nLPT 0x378 Port is detected.\n", a USB adapter's name and TCK).
  [[nodiscard]] virtual std::string announcement() const = 0;

  // Ends the cable's work: what is still collected goes out, with whatever
  // the cable sends last (remote_bitbang's quit). May throw LinkLost. A cable
  // destroyed without it does the same quietly, and after a LinkLost nothing.
  virtual void close() {}
};

// The cable that JTAGNAND_PORT names, opened, or why not.
using CableOpening = Opened<std::unique_ptr<Cable>>;

}  // namespace jtagnand
