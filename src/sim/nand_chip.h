#pragma once

// The simulated 8-bit NAND flash and the bus between it and the CPU, with the
// protocol checker that watches every change of the bus.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/chip_model.h"
#include "sim/flash_store.h"
#include "sim/sim_board.h"
#include "sim/spare_store.h"

namespace jtagnand::sim {

// Violation counts; with `strict` the first one ends the process.
struct Checker {
  std::array<uint64_t, kViolationKinds> counts{};
  bool strict = false;
  void report(Violation kind);
  [[nodiscard]] uint64_t total() const;
};

// What the CPU puts on the flash's pins (levels, true = high) and which data
// lines it drives.
struct CpuPins {
  bool nce = true;
  bool cle = false;
  bool ale = false;
  bool nwe = true;
  bool nre = true;
  uint8_t drive_mask = 0;  // bit k: the CPU drives IO k
  uint8_t out = 0;         // the levels it drives
  bool operator==(const CpuPins&) const = default;
};

// Where the chip keeps what it holds: the main area and the spare area.
struct ChipStores {
  std::unique_ptr<FlashStore> main;
  std::unique_ptr<SpareStore> spare;
};

// The stores for `options`: in memory, or the flash= file and the spare-area
// file beside it (neither is changed when either cannot be used); then the
// factory marks of marked= are put in. False + error when a file cannot be
// used or a marked block is past the chip.
[[nodiscard]] bool open_chip_stores(const SimOptions& options, const ChipGeometry& geometry,
                                    ChipStores& stores, std::string& error);

class NandChip {
 public:
  NandChip(const SimOptions& options, ChipModel model, ChipStores stores, Checker& checker);

  // The CPU's side of the bus changed, all pins at once.
  void apply(const CpuPins& cpu);
  // One Capture-DR event has passed (the busy time base). What it sampled of
  // a data output cycle counts once the cable reads the capture out.
  void tick() {
    if (busy_left_ > 0) --busy_left_;
    output_at_capture_ = !pins_.nce && !pins_.nre;
    read_before_output_ = false;
  }
  // The data scan under way reaches Update-DR; `capture_read` says whether the
  // cable read its capture out through TDO. Called before the pins change.
  void scan_ends(bool capture_read);

  [[nodiscard]] bool ready() const { return !hung_ && busy_left_ == 0; }
  [[nodiscard]] uint8_t io() const { return io_; }  // resolved data-line levels
  // The level of `which` as the flash's pins show it (R/nB: its own output).
  [[nodiscard]] uint8_t level(Net which) const {
    // The control nets in Net's order, ahead of IO0-IO7.
    const std::array control{pins_.nce, pins_.cle, pins_.ale, pins_.nwe, pins_.nre, ready()};
    static_assert(std::tuple_size_v<decltype(control)> == static_cast<std::size_t>(Net::kIo0));
    const auto net = static_cast<std::size_t>(which);
    if (net < control.size()) return control[net];
    return static_cast<uint8_t>((io_ >> (net - control.size())) & 1U);
  }

  [[nodiscard]] const ChipGeometry& geometry() const { return geometry_; }
  [[nodiscard]] const NandCounts& counts() const { return counts_; }
  [[nodiscard]] FlashStore& store() { return *store_; }
  [[nodiscard]] const FlashStore& store() const { return *store_; }
  [[nodiscard]] SpareStore& spare() { return *spare_; }
  [[nodiscard]] const SpareStore& spare() const { return *spare_; }

 private:
  enum class Mode : uint8_t {
    kIdle,
    kIdAddress,
    kParameterAddress,
    kReadAddress,
    kProgram,
    kEraseAddress
  };
  enum class Output : uint8_t { kNone, kId, kOnfiSignature, kParameterPage, kStatus, kData };

  [[nodiscard]] uint8_t resolve(const CpuPins& cpu) const;
  void latch(bool cle, bool ale, uint8_t value);
  void command(uint8_t code);
  void address(uint8_t value);
  void data_in(uint8_t value);
  [[nodiscard]] uint8_t next_output();
  void start_busy(NandOp op);
  void start_read();
  // A setup command: the chip shows nothing and takes its address cycles anew.
  void await_address(Mode setup);
  // A confirm command acts only after its own setup command and all of its
  // address cycles; anything else is reported as the host's fault.
  [[nodiscard]] bool confirm_follows(Mode setup, int address_cycles);
  // Program and erase confirms: `finish` runs when the confirm is in place,
  // else the operation fails.
  void confirm_operation(Mode setup, int address_cycles, void (NandChip::*finish)());
  void finish_program();
  void finish_erase();
  [[nodiscard]] uint32_t row(std::size_t first_byte) const;
  [[nodiscard]] uint32_t column() const;
  [[nodiscard]] uint32_t area_column() const;

  ChipGeometry geometry_;
  std::vector<uint8_t> id_;    // Read ID at address 0x00
  std::vector<uint8_t> onfi_;  // parameter page copies; empty: no ONFI
  std::unique_ptr<FlashStore> store_;
  std::unique_ptr<SpareStore> spare_;
  Checker& checker_;
  uint32_t busy_scans_;
  bool busy_never_;
  std::array<bool, kNandOps> hang_;
  std::vector<uint32_t> bad_blocks_;
  std::vector<uint32_t> progfail_pages_;
  std::vector<BitFlip> flips_;

  CpuPins pins_;       // the CPU's side as last applied
  uint8_t io_ = 0xFF;  // resolved data lines
  bool flash_drives_ = false;
  uint8_t flash_out_ = 0xFF;
  bool conflict_ = false;
  bool we_re_low_ = false;
  // A byte is on the bus from the falling nRE to the rising one. Its capture
  // is the first one taken after the fall, in the scan after the one whose
  // update dropped nRE: a cable that reads the capture of the dropping scan
  // instead, and none while nRE is low, has taken the bus before the byte.
  bool output_at_capture_ = false;   // nCE and nRE low at the last Capture-DR
  bool read_before_output_ = false;  // this scan's capture, read out, saw nRE high
  bool output_read_early_ = false;   // the current output cycle began in such a scan
  bool output_seen_ = false;         // a capture taken during it was read out

  Mode mode_ = Mode::kIdle;
  Output output_ = Output::kNone;
  // 512-byte pages: where the pointer commands (0x00, 0x01, 0x50) point, for a
  // read and for the data of a program: 0 first half, 1 second half, 2 spare.
  int read_area_ = 0;
  std::vector<uint8_t> address_;
  std::vector<uint8_t> page_;  // page register: main area then spare
  bool page_loaded_ = false;
  uint32_t column_ = 0;
  std::size_t id_index_ = 0;  // next byte of the ID, the signature or the parameter page
  bool fail_ = false;
  uint32_t busy_left_ = 0;
  bool hung_ = false;
  NandCounts counts_;
};

}  // namespace jtagnand::sim
