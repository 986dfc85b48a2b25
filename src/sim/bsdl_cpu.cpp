#include "sim/bsdl_cpu.h"

#include <string_view>
#include <utility>

#include "bsdl/board.h"
#include "bsdl/bsdl.h"

namespace jtagnand::sim {
namespace {

using bsdl::CellFunction;
using bsdl::NandSignal;

constexpr std::size_t kNets = bsdl::kNandSignals;
constexpr auto kRnb = static_cast<std::size_t>(NandSignal::kRnb);

// The board's net of a signal the description names.
[[nodiscard]] constexpr Net net_of(NandSignal signal) {
  const int s = static_cast<int>(signal);
  return signal <= NandSignal::kD7 ? static_cast<Net>(static_cast<int>(Net::kIo0) + s)
                                   : static_cast<Net>(s - static_cast<int>(NandSignal::kNce));
}
static_assert(net_of(NandSignal::kD7) == Net::kIo7 && net_of(NandSignal::kRnb) == Net::kRnb);

// The register and pin source of an instruction, from its name.
[[nodiscard]] BsdlWiring::Opcode classify(std::string_view name, bool has_idcode) {
  BsdlWiring::Opcode op;
  if (name == "EXTEST" || name.substr(0, 7) == "EXTEST_" || name == "INTEST") {
    op.selects = DataRegister::kBoundary;
    op.pins = PinsFrom::kLatches;
  } else if (name == "SAMPLE" || name == "PRELOAD") {
    op.selects = DataRegister::kBoundary;
  } else if (name == "IDCODE" && has_idcode) {
    op.selects = DataRegister::kIdcode;
  } else if (name == "CLAMP") {
    op.pins = PinsFrom::kLatches;
  } else if (name == "HIGHZ") {
    op.pins = PinsFrom::kOff;
  }
  return op;
}

// Levels on the flash's nets as the CPU leaves them: a net it does not drive floats.
struct Nets {
  std::array<bool, kNets> driven{};
  std::array<bool, kNets> level{};
  [[nodiscard]] bool effective(std::size_t net) const { return driven[net] ? level[net] : true; }
  [[nodiscard]] bool floats(NandSignal s) const { return !driven[static_cast<std::size_t>(s)]; }
  [[nodiscard]] bool at(NandSignal s) const { return effective(static_cast<std::size_t>(s)); }
};

// The CPU's own logic outside the boundary-scan instructions: the flash
// deselected and idle, its data lines not driven.
[[nodiscard]] Nets system_nets() {
  Nets nets;
  for (std::size_t s = static_cast<std::size_t>(NandSignal::kNce); s < kRnb; ++s) {
    nets.driven[s] = true;
    nets.level[s] = s == static_cast<std::size_t>(NandSignal::kNce) ||
                    s == static_cast<std::size_t>(NandSignal::kNwe) ||
                    s == static_cast<std::size_t>(NandSignal::kNre);
  }
  return nets;
}

class BsdlCpu final : public CpuTap {
 public:
  BsdlCpu(std::shared_ptr<const BsdlWiring> wiring, NandChip& nand, Checker& check)
      : CpuTap(wiring->ir_length, wiring->ir_capture),
        w(std::move(wiring)),
        length(static_cast<uint32_t>(w->cells.size())),
        chip(nand),
        checker(check),
        dr(length),
        latches(w->cells.size(), 0),
        last(system_nets()) {
    reset();
  }

  [[nodiscard]] uint64_t instruction() const override { return instruction_; }
  [[nodiscard]] uint64_t idcode_instruction() const override { return w->reset_instruction; }
  [[nodiscard]] uint32_t idcode() const override { return w->idcode; }
  [[nodiscard]] int boundary_length() const override { return static_cast<int>(length); }

  void reset() override {
    for (std::size_t i = 0; i < latches.size(); ++i) latches[i] = w->cells[i].reset;
    select(w->reset_instruction);
  }

  [[nodiscard]] uint8_t dr_out() const override { return dr.out(); }
  void shift_dr(uint8_t tdi) override { dr.shift(tdi); }

  void capture_dr() override {
    if (dr.selected == DataRegister::kBoundary) {
      // Cells that sense a pin load its level; the others (outputs,
      // controls, internal cells) load their own update latch.
      for (uint32_t i = 0; i < length; ++i) {
        const int port = w->cells[i].senses;
        dr.cell(i) = port < 0 ? latches[i] : pin_level(port);
      }
    }
    dr.capture(w->idcode);
    chip.tick();  // R/nB was sampled above; the busy time runs on capture events
  }

  void update_dr() override {
    if (dr.selected != DataRegister::kBoundary) return;
    for (uint32_t i = 0; i < length; ++i) latches[i] = dr.cell(i);
    if (update_observer) {
      text.resize(length);
      for (uint32_t i = 0; i < length; ++i) text[i] = latches[i] ? '1' : '0';
      update_observer(text);
    }
    if (pins == PinsFrom::kLatches) apply_pins();  // SAMPLE/PRELOAD only loads the latches
  }

 private:
  void select(uint64_t code) override {
    instruction_ = code;
    BsdlWiring::Opcode chosen;  // an opcode the file does not list: BYPASS
    for (const auto& op : w->opcodes) {
      if ((code & op.mask) == op.value) {
        chosen = op;
        break;
      }
    }
    dr.selected = chosen.selects;
    pins = chosen.pins;
    apply_pins();
  }

  [[nodiscard]] bool drives(const BsdlWiring::PortWiring& p) const {
    if (pins != PinsFrom::kLatches || p.output < 0) return false;
    return p.control < 0 || latches[static_cast<std::size_t>(p.control)] != p.disable;
  }

  // The level an input cell of `port` sees.
  [[nodiscard]] uint8_t pin_level(int port) const {
    const auto& p = w->ports[static_cast<std::size_t>(port)];
    const bool cpu_drives = drives(p);
    const uint8_t cpu_level = cpu_drives ? latches[static_cast<std::size_t>(p.output)] : 1;
    if (p.net < 0) return cpu_level;  // nothing else on this pin: a pull-up when undriven
    const auto net = static_cast<Net>(p.net);
    // Open drain: busy pulls the line low whatever else is on it.
    if (net == Net::kRnb) return static_cast<uint8_t>(chip.ready() && cpu_level != 0);
    return chip.level(net);
  }

  // Drives the flash's nets as the instruction in force and the latches say,
  // and checks what only this board can see: a floating input at a latch, and
  // the CPU driving the flash's R/nB output.
  void apply_pins() {
    Nets now;
    if (pins == PinsFrom::kSystem) {
      now = system_nets();
    } else {
      for (std::size_t s = 0; s < kNets; ++s) {
        if (w->net_port[s] < 0) continue;  // no flash on this board: the net floats
        const auto& p = w->ports[static_cast<std::size_t>(w->net_port[s])];
        now.driven[s] = drives(p);
        now.level[s] = now.driven[s] && latches[static_cast<std::size_t>(p.output)] != 0;
      }
    }
    CpuPins cpu;
    cpu.nce = now.at(NandSignal::kNce);
    cpu.cle = now.at(NandSignal::kCle);
    cpu.ale = now.at(NandSignal::kAle);
    cpu.nwe = now.at(NandSignal::kNwe);
    cpu.nre = now.at(NandSignal::kNre);
    for (std::size_t k = 0; k < 8; ++k) {
      if (now.driven[k]) cpu.drive_mask = static_cast<uint8_t>(cpu.drive_mask | (1U << k));
      if (now.level[k]) cpu.out = static_cast<uint8_t>(cpu.out | (1U << k));
    }

    // The flash takes command, address and data on the rising edge of nWE
    // with nCE low; every line it takes then must have been driven.
    const bool latch =
        !last.at(NandSignal::kNce) && !last.at(NandSignal::kNwe) && now.at(NandSignal::kNwe);
    if (latch) {
      bool floating = last.floats(NandSignal::kCle) || last.floats(NandSignal::kAle) ||
                      now.floats(NandSignal::kNwe);
      for (std::size_t k = 0; k < 8; ++k) floating = floating || !last.driven[k];
      if (floating) checker.report(Violation::kFloatingInput);
    }
    // R/nB is the flash's open-drain output: a CPU driver on it is a second driver.
    if (now.driven[kRnb] && !last.driven[kRnb]) checker.report(Violation::kSecondDriver);
    last = now;
    chip.apply(cpu);
  }

  std::shared_ptr<const BsdlWiring> w;
  const uint32_t length;
  NandChip& chip;
  Checker& checker;

  uint64_t instruction_ = 0;
  PinsFrom pins = PinsFrom::kSystem;
  CpuDataRegisters dr;           // the shift stage of every cell, and IDCODE and BYPASS
  std::vector<uint8_t> latches;  // the update stage, cell i at latches[i]
  Nets last;                     // the nets as last applied
  std::string text;
};

}  // namespace

std::shared_ptr<const BsdlWiring> wire_bsdl_board(const std::string& path, std::string& error) {
  bsdl::LoadedBoard loaded;
  bsdl::Error failure;
  if (!bsdl::load_board(path, loaded, failure)) {
    error = failure.text();
    return nullptr;
  }
  const bsdl::Bsdl& b = loaded.bsdl;
  const bsdl::BoardDescription& d = loaded.description;
  auto w = std::make_shared<BsdlWiring>();
  w->entity = b.entity;
  w->ir_length = b.instruction_length;
  if (!b.instruction_capture.empty()) w->ir_capture = bsdl::pattern_value(b.instruction_capture);
  const auto id = b.idcode();
  const bsdl::Instruction* idcode = b.find_instruction("IDCODE");
  w->has_idcode = id.has_value() && idcode != nullptr;
  for (const auto& instruction : b.instructions) {
    for (const auto& code : instruction.opcodes) {
      BsdlWiring::Opcode op = classify(instruction.name, w->has_idcode);
      op.value = bsdl::pattern_value(code);
      op.mask = bsdl::pattern_mask(code);
      w->opcodes.push_back(op);
    }
  }
  if (w->has_idcode) {
    w->idcode = id->value;
    w->reset_instruction = bsdl::pattern_value(idcode->opcodes.front());
  } else {
    w->reset_instruction =
        b.instruction_length >= 64 ? ~uint64_t{0} : (uint64_t{1} << b.instruction_length) - 1;
  }

  // Update latches after reset: safe values (X as 0), control cells at the
  // level that turns their outputs off.
  w->cells.resize(b.cells.size());
  for (std::size_t n = 0; n < b.cells.size(); ++n) {
    const bsdl::Cell& cell = b.cells[n];
    w->cells[n].reset = cell.safe == '1' ? 1 : 0;
    // A merged cell captures its input's pin and drives from its latch.
    w->cells[n].senses = bsdl::sensed_port(cell);
  }
  w->ports.resize(b.ports.size());
  for (std::size_t n = 0; n < b.cells.size(); ++n) {
    const bsdl::Cell& cell = b.cells[n];
    if (cell.control >= 0)
      w->cells[static_cast<std::size_t>(cell.control)].reset = cell.disable == '1' ? 1 : 0;
    if (cell.port < 0 || !bsdl::drives(cell.function)) continue;
    auto& port = w->ports[static_cast<std::size_t>(cell.port)];
    if (port.output >= 0) continue;
    port.output = static_cast<int>(n);
    port.control = cell.control;
    port.disable = cell.disable == '1' ? 1 : 0;
  }
  // A chain-only description wires no flash: every net stays unwired.
  w->net_port.fill(-1);
  for (std::size_t s = 0; s < kNets && !d.chain_only(); ++s) {
    const bsdl::PinRef& pin = d.nand[s];
    const int port = b.find_port(pin.port);
    if (port < 0) {
      error = bsdl::Error{d.file, pin.line,
                          std::string(bsdl::signal_name(static_cast<NandSignal>(s))) + " = " +
                              pin.port + ": " + pin.port + " is not a port of " + b.entity}
                  .text();
      return nullptr;
    }
    w->net_port[s] = port;
    w->ports[static_cast<std::size_t>(port)].net =
        static_cast<int>(net_of(static_cast<NandSignal>(s)));
  }
  w->tdi_side = d.tdi_side;
  w->tdo_side = d.tdo_side;
  return w;
}

std::unique_ptr<CpuTap> make_bsdl_cpu(std::shared_ptr<const BsdlWiring> wiring, NandChip& chip,
                                      Checker& checker) {
  return std::make_unique<BsdlCpu>(std::move(wiring), chip, checker);
}

}  // namespace jtagnand::sim
