// The simulated board: the TAP state machine and the devices on the chain (a
// built-in CPU, or a CPU from a BSDL file with bypass-only devices beside it),
// and the virtual parallel port in front of it all.

#include "sim/sim_board.h"

#include <cstdio>
#include <string>
#include <utility>

#include "sim/board_layouts.h"
#include "sim/bsdl_cpu.h"
#include "sim/chip_model.h"
#include "sim/flash_store.h"
#include "sim/nand_chip.h"
#include "sim/tap_device.h"

namespace jtagnand::sim {
namespace {

using S = TapState;

// Next state on a rising TCK edge, [state][TMS].
constexpr TapState kNext[16][2] = {
    /* TestLogicReset */ {S::kRunTestIdle, S::kTestLogicReset},
    /* RunTestIdle    */ {S::kRunTestIdle, S::kSelectDrScan},
    /* SelectDrScan   */ {S::kCaptureDr, S::kSelectIrScan},
    /* CaptureDr      */ {S::kShiftDr, S::kExit1Dr},
    /* ShiftDr        */ {S::kShiftDr, S::kExit1Dr},
    /* Exit1Dr        */ {S::kPauseDr, S::kUpdateDr},
    /* PauseDr        */ {S::kPauseDr, S::kExit2Dr},
    /* Exit2Dr        */ {S::kShiftDr, S::kUpdateDr},
    /* UpdateDr       */ {S::kRunTestIdle, S::kSelectDrScan},
    /* SelectIrScan   */ {S::kCaptureIr, S::kTestLogicReset},
    /* CaptureIr      */ {S::kShiftIr, S::kExit1Ir},
    /* ShiftIr        */ {S::kShiftIr, S::kExit1Ir},
    /* Exit1Ir        */ {S::kPauseIr, S::kUpdateIr},
    /* PauseIr        */ {S::kPauseIr, S::kExit2Ir},
    /* Exit2Ir        */ {S::kShiftIr, S::kUpdateIr},
    /* UpdateIr       */ {S::kRunTestIdle, S::kSelectDrScan},
};

constexpr uint8_t kExtest = 0x0;
constexpr uint8_t kIrCapture = 0x1;  // binary 0001: the two bits nearest TDO read 1, then 0

constexpr uint8_t kTdi = 0x01;
constexpr uint8_t kTms = 0x02;
constexpr uint8_t kTck = 0x04;
constexpr uint8_t kTrstN = 0x08;

// A boundary cell that senses a net.
struct SenseCell {
  int cell;
  Net net;
};

// One of the four built-in CPUs, from its layout: a 4-bit IR, EXTEST 0000,
// the IDCODE instruction, every other code BYPASS.
// Capture-DR and Update-DR touch only the boundary cells wired to the flash.
class LayoutCpu final : public CpuTap {
 public:
  LayoutCpu(const BoardLayout& board, NandChip& nand)
      : CpuTap(4, kIrCapture),
        layout(board),
        length(static_cast<uint32_t>(board.length)),
        chip(nand),
        dr(length) {
    auto add = [&](int cell, Net net) {
      for (const auto& s : sense)
        if (s.cell == cell) return;
      sense.push_back({cell, net});
    };
    add(layout.nce, Net::kNce);
    add(layout.cle, Net::kCle);
    add(layout.ale, Net::kAle);
    add(layout.nwe, Net::kNwe);
    add(layout.nre, Net::kNre);
    add(layout.rnb, Net::kRnb);
    for (int k = 0; k < 8; ++k) {
      add(layout.io_in[static_cast<std::size_t>(k)],
          static_cast<Net>(static_cast<int>(Net::kIo0) + k));
    }
    reset_latches();
    select(layout.idcode_instruction);
  }

  [[nodiscard]] uint64_t instruction() const override { return instruction_; }
  [[nodiscard]] uint64_t idcode_instruction() const override { return layout.idcode_instruction; }
  [[nodiscard]] uint32_t idcode() const override { return layout.idcode; }
  [[nodiscard]] int boundary_length() const override { return layout.length; }

  void reset() override {
    reset_latches();
    select(layout.idcode_instruction);
  }

  [[nodiscard]] uint8_t dr_out() const override { return dr.out(); }
  void shift_dr(uint8_t tdi) override { dr.shift(tdi); }

  void capture_dr() override {
    if (dr.selected == DataRegister::kBoundary) {
      for (const auto& s : sense) cell(s.cell) = chip.level(s.net);
    }
    dr.capture(layout.idcode);
    chip.tick();  // R/nB was sampled above; the busy time runs on capture events
  }

  void update_dr() override {
    if (dr.selected != DataRegister::kBoundary) return;
    latch.nce = cell(layout.nce);
    latch.cle = cell(layout.cle);
    latch.ale = cell(layout.ale);
    latch.nwe = cell(layout.nwe);
    latch.nre = cell(layout.nre);
    uint8_t mask = 0;
    uint8_t out = 0;
    for (std::size_t k = 0; k < 8; ++k) {
      if (cell(layout.io_enable[k]) == layout.enable_level)
        mask = static_cast<uint8_t>(mask | (1U << k));
      if (cell(layout.io_out[k]) != 0) out = static_cast<uint8_t>(out | (1U << k));
    }
    latch.drive_mask = mask;
    latch.out = out;
    if (update_observer) {
      latches_text.resize(length);
      for (uint32_t i = 0; i < length; ++i) latches_text[i] = cell(static_cast<int>(i)) ? '1' : '0';
      update_observer(latches_text);
    }
    apply_pins();
  }

 private:
  void select(uint64_t code) override {
    instruction_ = static_cast<uint8_t>(code);
    if (code == kExtest) {
      dr.selected = DataRegister::kBoundary;
    } else if (code == layout.idcode_instruction) {
      dr.selected = DataRegister::kIdcode;
    } else {
      dr.selected = DataRegister::kBypass;  // BYPASS (1111) and every code the CPU does not know
    }
    apply_pins();
  }

  [[nodiscard]] uint8_t& cell(int index) { return dr.cell(static_cast<uint32_t>(index)); }

  // Power-up state of the update latches: the flash deselected and idle, the
  // data lines listening, so loading EXTEST changes nothing on the bus.
  void reset_latches() { latch = CpuPins{}; }

  // Outside EXTEST the CPU's own logic holds the flash idle.
  void apply_pins() {
    const CpuPins pins = instruction_ == kExtest ? latch : CpuPins{};
    chip.apply(pins);
  }

  const BoardLayout& layout;
  const uint32_t length;
  NandChip& chip;

  uint8_t instruction_ = 0;
  CpuDataRegisters dr;
  CpuPins latch;  // update latches of the wired cells
  std::vector<SenseCell> sense;
  std::string latches_text;
};

class BypassTap final : public TapDevice {
 public:
  explicit BypassTap(int ir_length) : TapDevice(ir_length, kIrCapture) {}
  void reset() override {}
  void capture_dr() override { bit = 0; }
  void shift_dr(uint8_t tdi) override { bit = tdi; }
  [[nodiscard]] uint8_t dr_out() const override { return bit; }
  void update_dr() override {}

 private:
  void select(uint64_t) override {}
  uint8_t bit = 0;
};

}  // namespace

std::unique_ptr<TapDevice> make_bypass_tap(int ir_length) {
  return std::make_unique<BypassTap>(ir_length);
}

// The board: the cable lines, the one TAP state machine the chain shares, the
// devices from TDI to TDO, and the flash behind the CPU.
struct SimBoard::Impl {
  Impl(const SimOptions& options, ChipModel model, ChipStores stores)
      : cpu_kind(options.cpu), chip(options, std::move(model), std::move(stores), checker) {
    checker.strict = options.strict;
  }

  // The chain, nearest TDI first; `cpu_device` is one of them.
  void set_chain(std::vector<std::unique_ptr<TapDevice>> chain, CpuTap* cpu_device) {
    devices = std::move(chain);
    cpu = cpu_device;
    outs.assign(devices.size(), 1);
    solo = devices.size() == 1 ? dynamic_cast<LayoutCpu*>(cpu) : nullptr;
  }

  // --- cable lines -------------------------------------------------------
  void set_lines(uint8_t value) {
    const uint8_t changed = static_cast<uint8_t>(lines ^ value);
    lines = value;
    if ((value & kTrstN) == 0) {  // nTRST low: held in Test-Logic-Reset
      if (changed & kTrstN) test_logic_reset();
      return;
    }
    if ((changed & kTck) == 0) return;
    if (value & kTck) {
      rising(value);
    } else {
      falling();
    }
  }

  void rising(uint8_t value) {
    const uint8_t tdi = value & kTdi;
    const std::size_t n = devices.size();
    switch (state) {
      case S::kShiftDr:
        if (solo != nullptr) {
          solo->shift_dr(tdi);
          break;
        }
        for (std::size_t i = 0; i < n; ++i) devices[i]->shift_dr(i == 0 ? tdi : outs[i - 1]);
        break;
      case S::kCaptureDr:
        capture_read = false;
        for (auto& device : devices) device->capture_dr();
        break;
      case S::kShiftIr:
        for (std::size_t i = 0; i < n; ++i) devices[i]->shift_ir(i == 0 ? tdi : outs[i - 1]);
        break;
      case S::kCaptureIr:
        for (auto& device : devices) device->capture_ir();
        break;
      default:
        break;
    }
    const TapState next = kNext[static_cast<int>(state)][(value & kTms) ? 1 : 0];
    if (next == S::kTestLogicReset && state != S::kTestLogicReset) {
      test_logic_reset();
      return;
    }
    state = next;
  }

  void falling() {
    const std::size_t n = devices.size();
    switch (state) {
      case S::kShiftDr:
        if (solo != nullptr) {
          tdo = solo->dr_out();
          return;
        }
        for (std::size_t i = 0; i < n; ++i) outs[i] = devices[i]->dr_out();
        tdo = outs[n - 1];
        return;
      case S::kShiftIr:
        for (std::size_t i = 0; i < n; ++i) outs[i] = devices[i]->ir_out();
        tdo = outs[n - 1];
        return;
      case S::kUpdateDr:
        tdo = 1;
        ++dr_scans;
        chip.scan_ends(capture_read);
        for (auto& device : devices) device->update_dr();
        return;
      case S::kUpdateIr:
        tdo = 1;
        ++ir_scans;
        for (auto& device : devices) device->update_ir();
        if (instruction_observer) instruction_observer(static_cast<uint8_t>(cpu->instruction()));
        return;
      default:
        tdo = 1;  // TDO floats outside the shift states; the cable's pull-up reads 1
        return;
    }
  }

  // TDO as a cable samples it. A sample taken while a data register shifts
  // reads the capture of the scan under way out.
  uint8_t sample_tdo() {
    if (state == S::kShiftDr || state == S::kExit1Dr) capture_read = true;
    return tdo;
  }

  void test_logic_reset() {
    state = S::kTestLogicReset;
    tdo = 1;
    for (auto& device : devices) device->reset();
  }

  Cpu cpu_kind;
  Checker checker;
  NandChip chip;
  std::vector<std::unique_ptr<TapDevice>> devices;
  CpuTap* cpu = nullptr;
  // A built-in CPU alone on the chain: the data-shift path, which carries
  // nearly every clock of a run, calls it directly.
  LayoutCpu* solo = nullptr;
  std::vector<uint8_t> outs;  // each device's TDO as of the last falling edge

  TapState state = S::kTestLogicReset;
  uint8_t lines = 0;  // TDI, TMS, TCK, nTRST as last set
  uint8_t tdo = 1;
  bool capture_read = false;  // the cable sampled TDO since the last Capture-DR

  uint64_t ir_scans = 0;
  uint64_t dr_scans = 0;
  std::function<void(uint8_t)> instruction_observer;
};

// --- SimBoard ----------------------------------------------------------------

SimBoard::SimBoard(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
SimBoard::~SimBoard() = default;

std::unique_ptr<SimBoard> SimBoard::create(const SimOptions& options, std::string& error) {
  ChipModel model;
  if (!make_chip_model(options, model, error)) return nullptr;
  // A described board is read first: a file that cannot be used leaves no
  // flash file behind.
  std::shared_ptr<const BsdlWiring> wiring;
  if (!options.board_path.empty()) {
    wiring = wire_bsdl_board(options.board_path, error);
    if (!wiring) return nullptr;
  }
  const ChipGeometry geometry = model.geometry;
  const uint32_t blocks = static_cast<uint32_t>(geometry.total_size / geometry.block_size);
  const uint32_t pages = static_cast<uint32_t>(geometry.total_size / geometry.page_size);
  for (uint32_t block : options.bad_blocks) {
    if (block >= blocks) {
      error = "bad=" + std::to_string(block) + " is past the chip's last block (" +
              std::to_string(blocks - 1) + ")";
      return nullptr;
    }
  }
  for (uint32_t page : options.progfail_pages) {
    if (page >= pages) {
      error = "progfail=" + std::to_string(page) + " is past the chip's last page (" +
              std::to_string(pages - 1) + ")";
      return nullptr;
    }
  }
  for (const BitFlip& flip : options.flips) {
    if (!flip.spare && flip.where >= geometry.total_size) {
      error = "flip=" + std::to_string(flip.where) + " is past the chip's end (" +
              std::to_string(geometry.total_size) + " bytes)";
      return nullptr;
    }
    if (flip.spare && (flip.where >= pages || flip.spare_byte >= geometry.spare_size)) {
      error = "flip=spare:" + std::to_string(flip.where) + ":" + std::to_string(flip.spare_byte) +
              " is not on the chip (" + std::to_string(pages) + " pages of " +
              std::to_string(geometry.spare_size) + " spare bytes)";
      return nullptr;
    }
  }
  ChipStores stores;
  if (!open_chip_stores(options, geometry, stores, error)) return nullptr;
  auto impl = std::make_unique<Impl>(options, std::move(model), std::move(stores));
  std::vector<std::unique_ptr<TapDevice>> chain;
  std::unique_ptr<CpuTap> cpu;
  if (wiring) {
    for (int ir_length : wiring->tdi_side) chain.push_back(make_bypass_tap(ir_length));
    cpu = make_bsdl_cpu(wiring, impl->chip, impl->checker);
  } else {
    cpu = std::make_unique<LayoutCpu>(board_layout(options.cpu), impl->chip);
  }
  CpuTap* cpu_device = cpu.get();
  chain.push_back(std::move(cpu));
  if (wiring)
    for (int ir_length : wiring->tdo_side) chain.push_back(make_bypass_tap(ir_length));
  impl->set_chain(std::move(chain), cpu_device);
  return std::unique_ptr<SimBoard>(new SimBoard(std::move(impl)));
}

void SimBoard::drive(bool tck, bool tms, bool tdi, bool trst_n) {
  impl_->set_lines(static_cast<uint8_t>((tdi ? kTdi : 0) | (tms ? kTms : 0) | (tck ? kTck : 0) |
                                        (trst_n ? kTrstN : 0)));
}

bool SimBoard::tdo() const {
  return impl_->tdo != 0;
}
bool SimBoard::sample_tdo() {
  return impl_->sample_tdo() != 0;
}
Cpu SimBoard::cpu() const {
  return impl_->cpu_kind;
}
uint32_t SimBoard::idcode() const {
  return impl_->cpu->idcode();
}
uint8_t SimBoard::idcode_instruction() const {
  return static_cast<uint8_t>(impl_->cpu->idcode_instruction());
}
int SimBoard::boundary_length() const {
  return impl_->cpu->boundary_length();
}
std::size_t SimBoard::chain_length() const {
  return impl_->devices.size();
}
TapState SimBoard::tap_state() const {
  return impl_->state;
}
uint8_t SimBoard::instruction() const {
  return static_cast<uint8_t>(impl_->cpu->instruction());
}

bool SimBoard::net(Net which) const {
  return impl_->chip.level(which) != 0;
}

uint8_t SimBoard::data_bus() const {
  return impl_->chip.io();
}
uint64_t SimBoard::violations() const {
  return impl_->checker.total();
}
uint64_t SimBoard::violations(Violation kind) const {
  return impl_->checker.counts[static_cast<std::size_t>(kind)];
}
std::string SimBoard::scan_stats() const {
  return "ir_scans=" + std::to_string(ir_scans()) + " dr_scans=" + std::to_string(dr_scans()) +
         " violations=" + std::to_string(violations());
}

uint64_t SimBoard::ir_scans() const {
  return impl_->ir_scans;
}
uint64_t SimBoard::dr_scans() const {
  return impl_->dr_scans;
}
const NandCounts& SimBoard::nand_counts() const {
  return impl_->chip.counts();
}
const ChipGeometry& SimBoard::chip() const {
  return impl_->chip.geometry();
}
bool SimBoard::nand_ready() const {
  return impl_->chip.ready();
}

std::vector<uint8_t> SimBoard::read_flash(uint64_t offset, std::size_t length) const {
  std::vector<uint8_t> out(length);
  impl_->chip.store().read(offset, out);
  return out;
}

void SimBoard::write_flash(uint64_t offset, std::span<const uint8_t> bytes) {
  impl_->chip.store().write(offset, bytes);
}

std::vector<uint8_t> SimBoard::read_spare(uint64_t page) const {
  std::vector<uint8_t> out(impl_->chip.geometry().spare_size);
  impl_->chip.spare().read(page, out);
  return out;
}

void SimBoard::write_spare(uint64_t page, std::span<const uint8_t> bytes) {
  impl_->chip.spare().write(page, bytes);
}

void SimBoard::set_update_observer(std::function<void(std::string_view)> observer) {
  impl_->cpu->update_observer = std::move(observer);
}

void SimBoard::set_instruction_observer(std::function<void(uint8_t)> observer) {
  impl_->instruction_observer = std::move(observer);
}

// --- SimPort -----------------------------------------------------------------

SimPort::SimPort(const SimOptions& options, std::unique_ptr<SimBoard> board)
    : board_(std::move(board)),
      impl_(board_->impl_.get()),
      base_(options.port_base),
      connected_(!options.target_off),
      print_stats_(options.stats) {}

SimPort::~SimPort() {
  if (print_stats_) {
    const std::string line = stats_line();
    std::fprintf(stderr, "%s\n", line.c_str());
  }
}

void SimPort::write_byte(uint16_t address, uint8_t value) {
  const auto reg = static_cast<uint16_t>(address - base_);
  if (reg > 2 || base_ == 0) return;
  ++writes_;
  if (reg == 0) {
    data_ = value;
    if (connected_) impl_->set_lines(value & 0x0F);
  } else if (reg == 2) {
    control_ = value;
  }
}

uint8_t SimPort::read_byte(uint16_t address) {
  const auto reg = static_cast<uint16_t>(address - base_);
  if (reg > 2 || base_ == 0) return 0xFF;
  ++reads_;
  switch (reg) {
    case 0:
      return data_;
    case 1: {
      // nAck (bit 6) carries TDO as it is; the other inputs idle high through
      // their pull-ups, and BUSY (bit 7) is inverted by the port: reads 0.
      const uint8_t tdo = connected_ ? impl_->sample_tdo() : 1;
      return static_cast<uint8_t>(0x3F | (tdo << 6));
    }
    default:
      return static_cast<uint8_t>(control_ | 0xC0);
  }
}

SimStats SimPort::stats() const {
  return {writes_, reads_, impl_->ir_scans, impl_->dr_scans, impl_->checker.total()};
}

std::string SimPort::stats_line() const {
  return "sim: writes=" + std::to_string(writes_) + " reads=" + std::to_string(reads_) + " " +
         board_->scan_stats();
}

std::unique_ptr<SimPort> make_sim_port(const SimOptions& options, std::string& error) {
  auto board = SimBoard::create(options, error);
  if (!board) return nullptr;
  return std::make_unique<SimPort>(options, std::move(board));
}

}  // namespace jtagnand::sim
