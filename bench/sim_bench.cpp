// How fast the simulated board takes full boundary scans through the PortIo
// interface, byte for byte as a cable writes them: for every TCK period
// lines|0x08 then lines|0x0C, plus one status read per data bit when the scan
// captures. The figure that matters is port accesses per second.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/port_io.h"
#include "sim/board_layouts.h"
#include "sim/sim_board.h"

namespace {

using jtagnand::PortIo;
namespace sim = jtagnand::sim;

constexpr uint16_t kBase = 0x378;

struct Board {
  explicit Board(sim::Cpu cpu) {
    sim::SimOptions options;
    options.cpu = cpu;
    std::string error;
    port = sim::make_sim_port(options, error);
    if (!port) throw std::runtime_error(error);
    io = port.get();
    benchmark::DoNotOptimize(io);  // keep the calls virtual, as the program makes them
  }
  void clock(int tms, int tdi) {
    const auto lines = static_cast<uint8_t>((tms << 1) | tdi);
    io->write_byte(kBase, static_cast<uint8_t>(lines | 0x08));
    io->write_byte(kBase, static_cast<uint8_t>(lines | 0x0C));
  }
  std::unique_ptr<sim::SimPort> port;
  PortIo* io = nullptr;
};

// Boundary vectors of a data-in cycle: chip selected, data driven, nWE low in
// the first and high in the second, everything else as the CPU's cells rest.
std::vector<std::vector<uint8_t>> strobe_vectors(const sim::SimBoard& board) {
  const sim::BoardLayout& layout = sim::board_layout(board.cpu());
  auto at = [](int cell) { return static_cast<std::size_t>(cell); };
  std::vector<uint8_t> base(static_cast<std::size_t>(layout.length), 0);
  base[at(layout.nce)] = 0;
  base[at(layout.nre)] = 1;
  for (std::size_t k = 0; k < 8; ++k) {
    base[at(layout.io_out[k])] = static_cast<uint8_t>((0x5A >> k) & 1);
    base[at(layout.io_enable[k])] = layout.enable_level;
  }
  auto low = base;
  auto high = base;
  low[at(layout.nwe)] = 0;
  high[at(layout.nwe)] = 1;
  return {low, high};
}

void full_scans(benchmark::State& state, sim::Cpu cpu, bool capture) {
  Board b(cpu);
  // Reset, then EXTEST.
  for (int i = 0; i < 5; ++i) b.clock(1, 0);
  for (int tms : {0, 1, 1, 0, 0, 0, 0, 0, 1, 1, 0}) b.clock(tms, 0);
  const auto vectors = strobe_vectors(b.port->board());
  uint64_t accesses = 0;
  uint8_t sink = 0;
  std::size_t which = 0;
  for (auto _ : state) {
    const auto& v = vectors[which];
    which ^= 1;
    for (int tms : {0, 1, 0, 0}) b.clock(tms, 0);
    const std::size_t n = v.size();
    for (std::size_t i = 0; i < n; ++i) {
      b.clock(i + 1 == n, v[i]);
      if (capture) sink = static_cast<uint8_t>(sink ^ b.io->read_byte(kBase + 1));
    }
    b.clock(1, v[n - 1]);
    b.clock(0, 0);
    accesses += 2 * (n + 6) + (capture ? n : 0);
  }
  benchmark::DoNotOptimize(sink);
  if (b.port->board().violations() != 0) state.SkipWithError("the scans broke the bus protocol");
  state.counters["accesses/s"] =
      benchmark::Counter(static_cast<double>(accesses), benchmark::Counter::kIsRate);
  state.counters["scans/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_FullScanRq7220(benchmark::State& state) {
  full_scans(state, sim::Cpu::kRq7220, false);
}
void BM_FullScanCaptureRq7220(benchmark::State& state) {
  full_scans(state, sim::Cpu::kRq7220, true);
}
void BM_FullScanTomux(benchmark::State& state) {
  full_scans(state, sim::Cpu::kTomux, false);
}
void BM_FullScanCaptureKelda(benchmark::State& state) {
  full_scans(state, sim::Cpu::kKelda, true);
}

BENCHMARK(BM_FullScanRq7220);
BENCHMARK(BM_FullScanCaptureRq7220);
BENCHMARK(BM_FullScanTomux);
BENCHMARK(BM_FullScanCaptureKelda);

}  // namespace
