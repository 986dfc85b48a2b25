#pragma once

#include <cstdint>

namespace jtagnand {

// How a NAND step or pass ended. Every routine of this layer that can fail
// says so with one of these; the driver alone turns it into text and an exit
// status.
enum class [[nodiscard]] NandOutcome : uint8_t{
    kDone,
    kResetNotReady,     // the chip never became ready after Reset
    kEraseNotReady,     // ... after a block erase
    kProgramNotReady,   // ... after a page program
    kReadNotReady,      // ... after a read (page, spare area, marks)
    kProgramFailed,     // the status after a page program reported a failure
    kCompareError,      // a page read back differs from what was written
    kBadBlockListFull,  // more bad blocks than the list holds
    kPastChipEnd,       // bad or marked blocks pushed the work past the chip's end
    kStoppedByUser,     // the observer asked the pass to stop (ESC)
    kSinkFailed,        // the taker of the read bytes could not take them
    kUnknownChip,       // identification: no way to tell what the chip is
    kUnsupportedChip,   // identification: the chip is known but cannot be driven
};

}  // namespace jtagnand
