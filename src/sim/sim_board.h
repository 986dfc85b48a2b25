#pragma once

// The simulated board: a virtual parallel port, a JTAG cable behind it, one of
// four CPUs with its TAP controller and boundary register, and a NAND chip wired
// to the CPU's pins. It is described here in its own terms (nets by name,
// IDCODEs as numbers, which cell drives, senses or enables which net) and knows
// nothing of the program beyond the PortIo interface.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/port_io.h"

namespace jtagnand::sim {

enum class Cpu : uint8_t { kRq7220, kZelt, kKelda, kTomux };

// NAND operations that keep the chip busy; index of SimOptions::hang.
enum class NandOp : uint8_t { kReset, kRead, kProgram, kErase };
inline constexpr std::size_t kNandOps = 4;

// A bit that reads back inverted (the cell is weak; what is stored stays
// right): in the main area at a byte offset, or in the spare area of a page.
struct BitFlip {
  bool spare = false;
  uint64_t where = 0;  // main-area byte offset, or the page of the spare byte
  uint32_t spare_byte = 0;
  uint8_t bit = 0;

  friend bool operator==(const BitFlip&, const BitFlip&) = default;
};

struct SimOptions {
  Cpu cpu = Cpu::kRq7220;
  std::string board_path;     // board description (board=FILE): a CPU from its BSDL file instead
  uint8_t nand_code = 0xDA;   // second Read ID byte; unknown codes act as a 128 MiB 2 KiB-page chip
  uint8_t maker_code = 0xEC;  // first Read ID byte
  std::vector<uint8_t>
      id_bytes;            // id=: every Read ID byte (maker and device first); overrides both
  std::string onfi_path;   // onfi=: the chip's ONFI parameter page (one, or copies)
  std::string flash_path;  // empty: the chip lives in memory
  std::vector<uint32_t> bad_blocks;      // erase of these blocks fails
  std::vector<uint32_t> marked_blocks;   // factory bad-block mark in the first page's spare area
  std::vector<uint32_t> progfail_pages;  // program of these pages fails
  std::vector<BitFlip> flips;            // flip=OFFSET[:BIT], flip=spare:PAGE:BYTE[:BIT]
  uint32_t busy_scans = 2;               // Capture-DR events R/nB stays low after each operation
  bool busy_never = false;               // R/nB never rises again after the first operation
  std::array<bool, kNandOps> hang{};     // R/nB never rises after this operation (others behave)
  bool target_off = false;               // cable with nothing behind it: TDO reads high
  uint16_t port_base = 0x378;            // 0: no port at all
  bool stats = false;                    // print the stats line when the port goes away
  bool strict = false;                   // first violation: message on stderr, std::exit(3)
};

// Parses the text after "sim:" (empty for plain "sim"), options separated by
// commas. cpu_hint is the CPU name the user gave on the command line; it sets
// the CPU when it names one of the four and no cpu= option does. Returns false
// with a one-line error for an unknown option or a bad value.
[[nodiscard]] bool parse_sim_options(std::string_view text, std::string_view cpu_hint,
                                     SimOptions& options, std::string& error);

// Kinds of bus-protocol violation the board counts.
enum class Violation : uint8_t {
  kBusConflict,            // CPU and flash drive the data lines at the same time
  kStrobeSkew,             // data, CLE or ALE changed in the update that raised nWE
  kCleAndAle,              // CLE and ALE both high when nWE latched
  kCommandWhileBusy,       // a command other than 0x70 or 0xFF while R/nB is low
  kWeAndRe,                // nWE and nRE low together
  kConfirmWithoutAddress,  // 0x10, 0xD0 or 0x30 without the chip's address cycles
  kFloatingInput,          // a line the flash latches was not driven (board= boards)
  kSecondDriver,           // the CPU drives the flash's R/nB output (board= boards)
  kEarlyCapture,           // a byte read from the capture of the scan that dropped nRE
  kReadAfterLatch,         // nRE fell while CLE or ALE was high, or in the update that lowered it
};
inline constexpr std::size_t kViolationKinds = 10;
[[nodiscard]] std::string_view violation_name(Violation kind);

// The nets between CPU and flash. Levels are electrical: true = high.
enum class Net : uint8_t {
  kNce,
  kCle,
  kAle,
  kNwe,
  kNre,
  kRnb,
  kIo0,
  kIo1,
  kIo2,
  kIo3,
  kIo4,
  kIo5,
  kIo6,
  kIo7
};

// IEEE 1149.1 TAP controller states.
enum class TapState : uint8_t {
  kTestLogicReset,
  kRunTestIdle,
  kSelectDrScan,
  kCaptureDr,
  kShiftDr,
  kExit1Dr,
  kPauseDr,
  kExit2Dr,
  kUpdateDr,
  kSelectIrScan,
  kCaptureIr,
  kShiftIr,
  kExit1Ir,
  kPauseIr,
  kExit2Ir,
  kUpdateIr,
};

// What the NAND chip has seen so far.
struct NandCounts {
  std::array<uint64_t, 256> commands{};  // commands latched, by code
  std::vector<uint8_t> last_address;     // address bytes latched since the last command
  uint64_t address_bytes = 0;            // all address bytes latched
  uint64_t data_bytes_in = 0;            // data bytes latched (program data)
  uint64_t data_bytes_out = 0;           // bytes the flash put on the bus
  uint64_t reads = 0;                    // page reads started
  uint64_t programs = 0;                 // program confirms (0x10) carried out
  uint64_t erases = 0;                   // erase confirms (0xD0) carried out
};

// The chip's organisation as the simulated flash has it.
struct ChipGeometry {
  uint8_t device_code = 0;
  uint64_t total_size = 0;  // main area, bytes
  uint32_t page_size = 0;
  uint32_t block_size = 0;
  uint32_t spare_size = 0;
  bool large_page = false;  // reads confirmed with 0x30; no half-page pointers 0x01/0x50
  int column_cycles = 0;    // the column part of a read or program address
  int address_cycles = 0;   // read and program: column and row
  int erase_cycles = 0;     // row cycles of a block erase
};

// The board at pin level: cable lines in, TDO out.
class SimBoard {
 public:
  // false (null) + error when e.g. the flash file cannot be created or opened.
  [[nodiscard]] static std::unique_ptr<SimBoard> create(const SimOptions& options,
                                                        std::string& error);
  ~SimBoard();
  SimBoard(const SimBoard&) = delete;
  SimBoard& operator=(const SimBoard&) = delete;

  // Sets the four cable lines; edges are taken from the previous levels.
  void drive(bool tck, bool tms, bool tdi, bool trst_n);
  // The TDO line (high while no register is shifting).
  [[nodiscard]] bool tdo() const;
  // The same, taken by the cable as a sample: the board notes that the
  // capture of the data scan under way was read out.
  [[nodiscard]] bool sample_tdo();

  [[nodiscard]] Cpu cpu() const;  // the built-in CPU (meaningless with board=)
  [[nodiscard]] uint32_t idcode() const;
  [[nodiscard]] uint8_t idcode_instruction() const;  // register value, bit 0 nearest TDO
  [[nodiscard]] int boundary_length() const;
  [[nodiscard]] std::size_t chain_length() const;  // TAPs between TDI and TDO, the CPU included
  [[nodiscard]] TapState tap_state() const;
  [[nodiscard]] uint8_t instruction() const;  // the instruction in force
  [[nodiscard]] bool net(Net which) const;    // current level of a NAND net
  [[nodiscard]] uint8_t data_bus() const;     // IO0-7 levels as a byte

  [[nodiscard]] uint64_t violations() const;
  [[nodiscard]] uint64_t violations(Violation kind) const;
  [[nodiscard]] uint64_t ir_scans() const;  // Update-IR events
  [[nodiscard]] uint64_t dr_scans() const;  // Update-DR events
  // "ir_scans=N dr_scans=N violations=N": the board's part of the stats line
  // of every cable in front of it.
  [[nodiscard]] std::string scan_stats() const;
  [[nodiscard]] const NandCounts& nand_counts() const;
  [[nodiscard]] const ChipGeometry& chip() const;
  [[nodiscard]] bool nand_ready() const;

  // The chip's main area, bypassing the bus (for tests). write_flash stores the
  // bytes as they are (no AND), so it can also put erased bytes back.
  [[nodiscard]] std::vector<uint8_t> read_flash(uint64_t offset, std::size_t length) const;
  void write_flash(uint64_t offset, std::span<const uint8_t> bytes);
  // The spare area of page `page` (every byte), and bytes stored at its start
  // as they are, bypassing the bus.
  [[nodiscard]] std::vector<uint8_t> read_spare(uint64_t page) const;
  void write_spare(uint64_t page, std::span<const uint8_t> bytes);

  // Called at every Update-DR of the boundary register with its update latches,
  // one '0'/'1' per cell, index 0 = the first bit shifted in.
  void set_update_observer(std::function<void(std::string_view latches)> observer);
  // Called at every Update-IR with the new instruction (bit 0 nearest TDO).
  void set_instruction_observer(std::function<void(uint8_t instruction)> observer);

  struct Impl;

 private:
  explicit SimBoard(std::unique_ptr<Impl> impl);
  friend class SimPort;
  std::unique_ptr<Impl> impl_;
};

struct SimStats {
  uint64_t writes = 0;  // accesses at base, base + 1, base + 2
  uint64_t reads = 0;
  uint64_t ir_scans = 0;
  uint64_t dr_scans = 0;
  uint64_t violations = 0;
};

// The virtual parallel port in front of a SimBoard. Data register at the base
// (D0 TDI, D1 TMS, D2 TCK, D3 nTRST; reads back what was written), status
// register at base + 1 (bit 6 TDO, BUSY in bit 7 inverted like real hardware),
// control register at base + 2. Other addresses: writes ignored, reads 0xFF.
class SimPort final : public PortIo {
 public:
  SimPort(const SimOptions& options, std::unique_ptr<SimBoard> board);
  ~SimPort() override;  // prints the stats line on stderr when the option asks
  SimPort(const SimPort&) = delete;
  SimPort& operator=(const SimPort&) = delete;

  void write_byte(uint16_t address, uint8_t value) override;
  [[nodiscard]] uint8_t read_byte(uint16_t address) override;

  [[nodiscard]] SimBoard& board() { return *board_; }
  [[nodiscard]] const SimBoard& board() const { return *board_; }
  [[nodiscard]] uint16_t base() const { return base_; }  // 0: no port
  [[nodiscard]] SimStats stats() const;
  // "sim: writes=N reads=N ir_scans=N dr_scans=N violations=N"
  [[nodiscard]] std::string stats_line() const;

 private:
  std::unique_ptr<SimBoard> board_;
  SimBoard::Impl* impl_;  // the board's state, reached without a second hop
  uint16_t base_;
  bool connected_;  // a target sits behind the cable
  bool print_stats_;
  uint8_t data_ = 0xFF;
  uint8_t control_ = 0x0C;
  uint64_t writes_ = 0;
  uint64_t reads_ = 0;
};

// false (null) + error when e.g. the flash file cannot be created or opened.
[[nodiscard]] std::unique_ptr<SimPort> make_sim_port(const SimOptions& options, std::string& error);

}  // namespace jtagnand::sim
