#pragma once

// A NAND bus wired to a simulated board: the port, the cable, the active CPU
// profile in EXTEST with the chip released, a chip identification and a console.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cables/lpt_cable.h"
#include "driver/console_observer.h"
#include "jtag/tap.h"
#include "nand/nand_bus.h"
#include "nand/nand_identify.h"
#include "nand/nand_program.h"
#include "scripted_console.h"
#include "sim/sim_board.h"
#include "test_files.h"

namespace jtagnand::testing {

constexpr uint32_t kKiB = 1024;
// What the blocks a test writes held before the run.
constexpr uint8_t kStale = 0x11;

// `length` bytes of the test pattern `seed`, as the NAND layer takes them.
inline std::vector<uint8_t> image_of(size_t length, unsigned seed) {
  const auto pattern = test_pattern(length, seed);
  return {pattern.begin(), pattern.end()};
}

inline sim::Cpu sim_cpu(std::string_view name) {
  if (name == "ZELT") return sim::Cpu::kZelt;
  if (name == "KELDA") return sim::Cpu::kKelda;
  if (name == "TOMUX") return sim::Cpu::kTomux;
  return sim::Cpu::kRq7220;
}

class SimBench {
 public:
  SimBench(std::string_view cpu, sim::SimOptions options, std::string keys = {})
      : console_(std::move(keys)), observer_(console_) {
    options.cpu = sim_cpu(cpu);
    std::string error;
    port_ = sim::make_sim_port(options, error);
    if (!port_) {
      ADD_FAILURE() << "simulated board: " << error;
      return;
    }
    cable_ = LptCable{port_.get(), port_->base()};
    if (select_cpu_profile(active_, cpu) != 0) ADD_FAILURE() << "no profile " << cpu;
    bus_.emplace(NandBus{cable_, active_});
    tap_reset(cable_);
    scan_ir(cable_, Chain{}, kInstructionLength, kInstructionCodes.extest.data());
    nand_chip_select(*bus_, '1');
  }

  [[nodiscard]] bool ready() const { return bus_.has_value(); }
  [[nodiscard]] NandBus& bus() { return *bus_; }
  [[nodiscard]] const FlashInfo& flash() const { return bus_->flash; }
  [[nodiscard]] sim::SimBoard& board() { return port_->board(); }
  [[nodiscard]] ScriptedConsole& console() { return console_; }
  // What the passes report, shown on console() as a run shows it.
  [[nodiscard]] ConsoleObserver& observer() { return observer_; }
  [[nodiscard]] BadBlockList& bad_blocks() { return bad_blocks_; }
  [[nodiscard]] const std::string& output() const { return console_.output(); }

  // The passes, each with its ending printed as a run prints it.
  NandOutcome read_id() {
    const ChipIdentification identification = nand_identify(*bus_);
    if (identification.outcome != NandOutcome::kDone) {
      print_unsupported_chip(console_, bus_->flash, identification);
    }
    return identification.outcome;
  }
  NandOutcome erase(uint64_t offset, uint64_t length, bool honour_markers = false) {
    const NandOutcome outcome =
        nand_erase_range(*bus_, bad_blocks_, observer_, offset, length, honour_markers);
    print_erase_end(console_, outcome);
    return outcome;
  }
  NandOutcome program(uint64_t offset, const std::vector<uint8_t>& image) {
    const NandOutcome outcome =
        nand_program_image(*bus_, bad_blocks_, observer_, offset, image.data(), image.size());
    print_pass_end(console_, PassKind::kWrite, outcome);
    return outcome;
  }

  // The violations the board counted, by name, for a readable failure.
  [[nodiscard]] std::string violations() const {
    std::string text;
    for (size_t k = 0; k < sim::kViolationKinds; ++k) {
      const auto kind = static_cast<sim::Violation>(k);
      if (const uint64_t n = port_->board().violations(kind); n != 0)
        text += std::string(sim::violation_name(kind)) + "=" + std::to_string(n) + " ";
    }
    return text;
  }

 private:
  std::unique_ptr<sim::SimPort> port_;
  LptCable cable_;
  ActiveProfile active_;
  std::optional<NandBus> bus_;
  ScriptedConsole console_;
  ConsoleObserver observer_;
  BadBlockList bad_blocks_;
};

}  // namespace jtagnand::testing
