#pragma once

// The operator's view of what the layers below report: the passes' progress
// and what they meet, how they ended, the chip identified, the IDCODE read,
// the toggle test. Every text below the driver is written here, and ESC on
// the console is the request to stop.

#include <cstdint>

#include "jtag/tap.h"
#include "nand/nand_bus.h"
#include "nand/nand_identify.h"
#include "nand/nand_outcome.h"
#include "nand/pass_observer.h"
#include "platform/console.h"
#include "targets/toggle_observer.h"

namespace jtagnand {

class ConsoleObserver final : public PassObserver, public ToggleObserver {
 public:
  explicit ConsoleObserver(Console& console) : console_(console) {}

  // "Write: ", "Read: ", "Verify: " with "%6d / %d [Byte] at 0x%08X\r";
  // "Scan: %6d / %d [Block] at 0x%08X\r".
  void progress(PassKind pass, uint64_t done, uint64_t total, uint64_t position) override;
  // "Erasing block ....", then the block numbers ten to a line.
  void erase_started() override;
  void erasing_block(uint64_t met, uint64_t block_number) override;
  void noted(PassNote note, uint64_t offset) override;
  // "\n\nCompare ERROR: flash addr: 0x%x\n" and the two bytes.
  void compare_error(uint64_t address, uint8_t read, uint8_t written) override;
  // "\n\nCompare ERROR: flash addr: 0x%x, spare byte %u\n" and the two bytes.
  void spare_compare_error(uint64_t page_offset, uint32_t index, uint8_t read,
                           uint8_t written) override;
  void toggle_started(ToggleStart start) override;
  // True when the operator pressed ESC. Any other key is taken and dropped, so
  // a stray key press does not stop a long pass.
  [[nodiscard]] bool stop_requested() override;

 private:
  Console& console_;
};

// Why `pass` stopped, as the line the operator sees; nothing for kDone and for
// the outcomes whose reason was shown as it was met (a compare error, a failed
// program, the sink's own message).
void print_pass_end(Console& console, PassKind pass, NandOutcome outcome);

// The erase pass's end: as print_pass_end, then the line end after the block
// numbers (there are none when the chip never took the reset before them).
void print_erase_end(Console& console, NandOutcome outcome);

// "Maker = 0x%X, Device = 0x%X\n", "NAND DEVICE: %s\n" and, for a chip that
// described itself, a line with its geometry.
void print_chip(Console& console, const FlashInfo& flash);

// A chip that cannot be driven: "Cannot support this device\n" for an unknown
// one; the chip's lines (or its codes) and "Cannot support this device:
// <reason>\n" for one that was identified.
void print_unsupported_chip(Console& console, const FlashInfo& flash,
                            const ChipIdentification& identification);

// "\nOK!, JTAG ID:   <bits>\n" or "\nERROR, Your ID: <bits>\n".
void print_idcode_check(Console& console, const IdcodeCheck& check);

}  // namespace jtagnand
