// The cost of -E: the ECC arithmetic of one 2 KiB page (encode as programming
// does it, decode of a clean page as every read-back does it, and of a page
// with a flipped bit in every step), next to programming and verifying pages
// on the simulated board with and without ECC, where the spare bytes add
// scans. The arithmetic should vanish next to the scans.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cables/lpt_cable.h"
#include "driver/console_observer.h"
#include "ecc/ecc.h"
#include "jtag/tap.h"
#include "nand/nand_bus.h"
#include "nand/nand_identify.h"
#include "nand/nand_program.h"
#include "platform/console.h"
#include "quiet_console.h"
#include "sim/sim_board.h"

namespace jtagnand {
namespace {

constexpr EccScheme kSchemes[] = {EccScheme::kNone, EccScheme::kHamming, EccScheme::kBch4,
                                  EccScheme::kBch8};

std::vector<uint8_t> pattern(size_t length) {
  std::vector<uint8_t> bytes(length);
  uint32_t x = 7;
  for (auto& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return bytes;
}

void BM_EccEncodePage(benchmark::State& state) {
  const EccCodec codec(kSchemes[state.range(0)], 2048, 64);
  const std::vector<uint8_t> page = pattern(2048);
  std::vector<uint8_t> spare(64, 0xFF);
  for (auto _ : state) {
    codec.encode(page, spare);
    benchmark::DoNotOptimize(spare.data());
  }
  state.SetLabel(std::string(ecc_scheme_name(codec.scheme())));
}
BENCHMARK(BM_EccEncodePage)->DenseRange(1, 3)->Unit(benchmark::kMicrosecond);

// range(1): flipped bits per step (0: the clean page every read-back sees).
void BM_EccDecodePage(benchmark::State& state) {
  const EccCodec codec(kSchemes[state.range(0)], 2048, 64);
  const std::vector<uint8_t> clean = pattern(2048);
  std::vector<uint8_t> spare(64, 0xFF);
  codec.encode(clean, spare);
  std::vector<uint8_t> damaged = clean;
  for (uint32_t s = 0; s < 2048 / codec.step_size(); ++s) {
    for (int64_t k = 0; k < state.range(1); ++k) damaged[s * codec.step_size() + 13 * k] ^= 0x10;
  }
  std::vector<uint8_t> page;
  for (auto _ : state) {
    page = damaged;
    benchmark::DoNotOptimize(codec.decode(page, spare));
  }
  state.SetLabel(std::string(ecc_scheme_name(codec.scheme())));
}
BENCHMARK(BM_EccDecodePage)->ArgsProduct({{1, 2, 3}, {0, 1}})->Unit(benchmark::kMicrosecond);

// 16 pages programmed and verified on a 0xDA chip through RQ7220 (298 cells),
// the main area alone (scheme none) or with the ECC in the spare area. The
// scans per page come from the board's own count.
void BM_ProgramVerifyPagesOnSim(benchmark::State& state) {
  constexpr uint32_t kPages = 16;
  const EccScheme scheme = kSchemes[state.range(0)];
  const std::vector<uint8_t> image = pattern(kPages * 2048);
  std::optional<EccCodec> codec;
  if (scheme != EccScheme::kNone) codec.emplace(scheme, 2048, 64);
  uint64_t scans = 0;
  for (auto _ : state) {
    state.PauseTiming();
    sim::SimOptions options;
    options.nand_code = 0xDA;
    options.busy_scans = 0;
    std::string error;
    auto port = sim::make_sim_port(options, error);
    if (!port) std::abort();
    LptCable cable{port.get(), port->base()};
    ActiveProfile active;
    if (select_cpu_profile(active, "RQ7220") != 0) std::abort();
    NandBus bus{cable, active};
    QuietConsole console;
    ConsoleObserver observer{console};
    BadBlockList bad_blocks;
    tap_reset(cable);
    scan_ir(cable, Chain{}, kInstructionLength, kInstructionCodes.extest.data());
    nand_chip_select(bus, '1');
    if (nand_identify(bus).outcome != NandOutcome::kDone) std::abort();
    if (nand_erase_range(bus, bad_blocks, observer, 0, image.size()) != NandOutcome::kDone)
      std::abort();
    const uint64_t before = port->board().dr_scans();
    ProgramOptions program;
    program.format.ecc = codec ? &*codec : nullptr;
    state.ResumeTiming();
    if (nand_program_image(bus, bad_blocks, observer, 0, image.data(), image.size(), program) !=
        NandOutcome::kDone)
      std::abort();
    state.PauseTiming();
    scans = port->board().dr_scans() - before;
    if (port->board().violations() != 0) std::abort();
    state.ResumeTiming();
  }
  state.counters["scans_per_page"] = static_cast<double>(scans) / kPages;
  state.counters["pages"] = kPages;
  state.SetLabel(std::string(ecc_scheme_name(scheme)));
}
BENCHMARK(BM_ProgramVerifyPagesOnSim)
    ->DenseRange(0, 3)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

}  // namespace
}  // namespace jtagnand
