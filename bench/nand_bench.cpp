// Cost of page programming with read-back over the boundary register.
//
// Every scan of an n-cell register is n + 6 TCK periods of two port writes;
// a capturing scan adds one status read per cell. Per 2 KiB page on a chip
// with five address cycles, with R/nB ready at the first poll:
//   program  chip select 1 + 0x80 4 + address 12 + data 2 x 2048 + 0x10 4
//   wait     1 capturing scan
//   status   0x70 4 + one byte read 3 (1 capturing), release 1
//   verify   select 1 + 0x00 4 + address 12 + 0x30 4, wait 1 capturing,
//            2048 byte reads 3 each (1 capturing), release 1
// = 53 + 5 x 2048 scans, 3 + 2048 of them capturing, and one scan more per
// pass for the final release of the chip.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cables/lpt_cable.h"
#include "driver/console_observer.h"
#include "jtag/tap.h"
#include "nand/nand_bus.h"
#include "nand/nand_identify.h"
#include "nand/nand_program.h"
#include "platform/console.h"
#include "quiet_console.h"
#include "sim/sim_board.h"

namespace jtagnand {
namespace {

// A port that does nothing: what remains is the program's own cost.
class NullPort final : public PortIo {
 public:
  void write_byte(uint16_t, uint8_t) override {}
  [[nodiscard]] uint8_t read_byte(uint16_t) override { return 0; }
};

// Counts accesses on their way to another port.
class CountingPort final : public PortIo {
 public:
  explicit CountingPort(PortIo& inner) : inner_(inner) {}
  void write_byte(uint16_t address, uint8_t value) override {
    ++writes;
    inner_.write_byte(address, value);
  }
  [[nodiscard]] uint8_t read_byte(uint16_t address) override {
    ++reads;
    return inner_.read_byte(address);
  }
  uint64_t writes = 0;
  uint64_t reads = 0;

 private:
  PortIo& inner_;
};

std::vector<uint8_t> pattern(size_t length) {
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(0x5A ^ (i * 7 + (i >> 8)));
  for (auto& b : bytes)
    if (b == 0x00 || b == 0xFF) b = 0xA5;
  return bytes;
}

// A simulated board in EXTEST with the chip identified.
struct Board {
  Board(std::string_view cpu, sim::Cpu sim_cpu, uint8_t code, uint32_t busy_scans, bool count) {
    sim::SimOptions options;
    options.cpu = sim_cpu;
    options.nand_code = code;
    options.busy_scans = busy_scans;
    std::string error;
    port = sim::make_sim_port(options, error);
    if (!port) {
      std::fprintf(stderr, "simulated board: %s\n", error.c_str());
      std::abort();
    }
    counter = std::make_unique<CountingPort>(*port);
    cable = LptCable{count ? static_cast<PortIo*>(counter.get()) : port.get(), port->base()};
    if (select_cpu_profile(active, cpu) != 0) std::abort();
    bus.emplace(NandBus{cable, active});
    tap_reset(cable);
    scan_ir(cable, Chain{}, kInstructionLength, kInstructionCodes.extest.data());
    nand_chip_select(*bus, '1');
    if (nand_identify(*bus).outcome != NandOutcome::kDone) std::abort();
  }

  std::unique_ptr<sim::SimPort> port;
  std::unique_ptr<CountingPort> counter;
  LptCable cable;
  ActiveProfile active;
  std::optional<NandBus> bus;
  QuietConsole console;
  ConsoleObserver observer{console};
  BadBlockList bad_blocks;
};

// Port accesses per image byte for program and verify on a 2 KiB-page chip
// through a 298-cell register, next to what the scans above prescribe.
void BM_ProgramVerifyAccessesPerByte(benchmark::State& state) {
  constexpr uint32_t kPages = 16;
  constexpr uint32_t kPage = 2048;
  const std::vector<uint8_t> image = pattern(kPages * kPage);
  uint64_t writes = 0;
  uint64_t reads = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Board board("RQ7220", sim::Cpu::kRq7220, 0xDA, 0, true);
    if (nand_erase_range(*board.bus, board.bad_blocks, board.observer, 0, kPages * kPage) !=
        NandOutcome::kDone)
      std::abort();
    board.counter->writes = board.counter->reads = 0;
    state.ResumeTiming();
    if (nand_program_image(*board.bus, board.bad_blocks, board.observer, 0, image.data(),
                           static_cast<uint32_t>(image.size())) != NandOutcome::kDone)
      std::abort();
    writes = board.counter->writes;
    reads = board.counter->reads;
    if (board.port->board().violations() != 0) std::abort();
  }
  constexpr uint64_t n = 298;
  // One more scan: the chip is released once more as the pass returns.
  constexpr uint64_t scans = kPages * (53 + 5 * uint64_t{kPage}) + 1;
  constexpr uint64_t captures = kPages * (3 + uint64_t{kPage});
  const double bytes = static_cast<double>(image.size());
  state.counters["writes_per_byte"] = static_cast<double>(writes) / bytes;
  state.counters["reads_per_byte"] = static_cast<double>(reads) / bytes;
  state.counters["prescribed_writes_per_byte"] = static_cast<double>(scans * 2 * (n + 6)) / bytes;
  state.counters["prescribed_reads_per_byte"] = static_cast<double>(captures * n) / bytes;
  state.counters["extra_accesses"] =
      static_cast<double>(writes + reads) - static_cast<double>(scans * 2 * (n + 6) + captures * n);
}
BENCHMARK(BM_ProgramVerifyAccessesPerByte)->Unit(benchmark::kMillisecond)->Iterations(1);

// The program's own time per port access: one page's program and read-back
// bus cycles against a port that does nothing.
void BM_OwnCostPerAccess(benchmark::State& state) {
  NullPort null_port;
  CountingPort counting(null_port);
  LptCable counted_cable{&counting, 0x378};
  LptCable null_cable{&null_port, 0x378};
  ActiveProfile active;
  if (select_cpu_profile(active, "RQ7220") != 0) std::abort();
  const std::vector<uint8_t> page = pattern(2048);
  std::vector<uint8_t> back(2048);

  auto page_cycles = [&](LptCable& cable) {
    NandBus bus{cable, active};
    bus.flash.device_code = 0xDA;
    nand_chip_select(bus, '0');
    nand_command(bus, kNandCmdProgram);
    nand_address(bus, AddressKind::kColumnAndRow, 0x20000);
    nand_write_bytes(bus, page.data(), 2048);
    nand_command(bus, kNandCmdProgramConfirm);
    nand_command(bus, kNandCmdRead);
    nand_address(bus, AddressKind::kColumnAndRow, 0x20000);
    nand_command(bus, kNandCmdReadConfirm);
    nand_read_bytes(bus, back.data(), 2048);
    nand_chip_select(bus, '1');
    benchmark::DoNotOptimize(back.data());
  };
  page_cycles(counted_cable);
  const uint64_t accesses = counting.writes + counting.reads;
  for (auto _ : state) page_cycles(null_cable);
  state.counters["accesses_per_iteration"] = static_cast<double>(accesses);
  // Seconds of CPU time per access.
  state.counters["time_per_access"] =
      benchmark::Counter(static_cast<double>(accesses) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_OwnCostPerAccess)->Unit(benchmark::kMillisecond);

// Wall time of erasing, programming and verifying 1 MiB on the simulated board.
void BM_OneMebibyteOnTheSimulatedBoard(benchmark::State& state) {
  const std::vector<uint8_t> image = pattern(1024 * 1024);
  for (auto _ : state) {
    Board board("RQ7220", sim::Cpu::kRq7220, 0xDA, 2, false);
    const uint32_t offset = 2 * board.bus->flash.chip.block_size();
    if (nand_erase_range(*board.bus, board.bad_blocks, board.observer, offset,
                         static_cast<uint32_t>(image.size())) != NandOutcome::kDone ||
        nand_program_image(*board.bus, board.bad_blocks, board.observer, offset, image.data(),
                           static_cast<uint32_t>(image.size())) != NandOutcome::kDone)
      std::abort();
    if (board.port->board().violations() != 0) std::abort();
  }
}
BENCHMARK(BM_OneMebibyteOnTheSimulatedBoard)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace
}  // namespace jtagnand
