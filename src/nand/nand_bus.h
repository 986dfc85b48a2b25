#pragma once

#include <cstdint>
#include <vector>

#include "jtag/cable.h"
#include "targets/profile.h"

namespace jtagnand {

// NAND command codes.
inline constexpr uint8_t kNandCmdReset = 0xFF;
inline constexpr uint8_t kNandCmdReadId = 0x90;
inline constexpr uint8_t kNandCmdRead = 0x00;
inline constexpr uint8_t kNandCmdReadConfirm = 0x30;
inline constexpr uint8_t kNandCmdProgram = 0x80;
inline constexpr uint8_t kNandCmdProgramConfirm = 0x10;
inline constexpr uint8_t kNandCmdErase = 0x60;
inline constexpr uint8_t kNandCmdEraseConfirm = 0xD0;
inline constexpr uint8_t kNandCmdStatus = 0x70;

inline constexpr uint8_t kNandStatusFail = 0x01;

// A ready line still busy after this many polls is a time-out.
inline constexpr int32_t kNandReadyPolls = 4096;

enum class AddressKind {
  kColumnAndRow = 1,  // page program and page read
  kRowOnly = 2,       // block erase
};

// The detected chip.
struct FlashInfo {
  char name[128]{};
  uint8_t maker_code = 0;
  uint8_t device_code = 0;
  uint32_t total_size = 0;
  uint32_t page_size = 0;
  uint32_t block_size = 0;
  uint32_t spare_size = 0;
};

// The flash as the program reaches it: through the active CPU's boundary
// register in EXTEST. Every pin change is one full scan of the active vector.
struct NandBus {
  Cable& cable;
  ActiveProfile& target;
  CaptureVector capture{};
  FlashInfo flash{};
  // One capture per byte of a read, so that a cable that queues its samples
  // delivers a whole read at once.
  std::vector<CaptureVector> read_captures{};
};

// nCE := level ('0' select, '1' release); one scan.
void nand_chip_select(NandBus& bus, char level);
// Command latch cycle; four scans.
void nand_command(NandBus& bus, uint8_t command);
// Address latch cycle for the chip in bus.flash; 2n + 2 scans for n bytes.
void nand_address(NandBus& bus, AddressKind kind, uint32_t offset);
// The same latch cycle for bytes given as they are (ALE up, one nWE pulse per
// byte, ALE down): what Read ID uses for its single 0x00 address byte.
void nand_address_cycles(NandBus& bus, const uint8_t* bytes, int count);
// Data input, two scans per byte; nothing when count <= 0.
void nand_write_bytes(NandBus& bus, const uint8_t* data, int32_t count);
// Data output, three scans per byte (one capturing). The data lines are left
// listening, even when count <= 0.
void nand_read_bytes(NandBus& bus, uint8_t* destination, int32_t count);
// Polls R/nB with capturing scans: 0 when ready within 4096 polls, else -1
// after a 4097th poll. A cable that asks for it gets its polls sent in batches;
// the polls after the first ready one repeat the same pins and change nothing.
[[nodiscard]] int32_t nand_wait_ready(NandBus& bus);

// The address bytes a cycle of `kind` sends for `offset` on chip
// `device_code`; returns how many were written into `bytes` (0 for an unknown
// code).
[[nodiscard]] int nand_address_bytes(uint8_t device_code, AddressKind kind, uint32_t offset,
                                     uint8_t (&bytes)[5]);

}  // namespace jtagnand
