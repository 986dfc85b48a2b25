// One program-and-verify run per cable kind on the same simulated board, in one
// benchmark run, so their times compare: the parallel port on the simulated
// port (sim:), the remote_bitbang cable to the board served in-process over
// a Unix socket (what jtagnand-sim does in a process of its own), the xvc cable
// to the board served in-process over TCP, the ftdi cable on the virtual
// FT2232H and the cmsis-dap cable on the virtual probe (their USB traffic
// counted, their time projected); and the gpio cable's own cost per TCK.

#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cables/cmsis_dap_cable.h"
#include "cables/ftdi_cable.h"
#include "cables/gpio_cable.h"
#include "cables/lpt_cable.h"
#include "cables/rbb_cable.h"
#include "cables/xvc_cable.h"
#include "driver/console_observer.h"
#include "jtag/tap.h"
#include "nand/nand_bus.h"
#include "nand/nand_identify.h"
#include "nand/nand_program.h"
#include "nand/nand_read.h"
#include "quiet_console.h"
#include "sim/ftdi/virtual_dap.h"
#include "sim/ftdi/virtual_ftdi.h"
#include "sim/rbb_server.h"
#include "sim/sim_board.h"
#include "sim/xvc_server.h"
#include "targets/profile.h"

namespace jtagnand {
namespace {

constexpr uint32_t kImageBytes = 1024 * 1024;

std::vector<uint8_t> pattern(size_t length) {
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(0xA5 ^ (i * 13 + (i >> 9)));
  for (auto& b : bytes)
    if (b == 0x00 || b == 0xFF) b = 0x5A;
  return bytes;
}

sim::SimOptions board_options() {
  sim::SimOptions options;
  options.cpu = sim::Cpu::kRq7220;
  options.nand_code = 0xDA;
  return options;
}

// Erase, program and verify the image from block 2 through `cable`, RQ7220 in
// EXTEST, as the programming run does it.
void program_and_verify(Cable& cable, const std::vector<uint8_t>& image) {
  ActiveProfile active;
  if (select_cpu_profile(active, "RQ7220") != 0) std::abort();
  NandBus bus{cable, active};
  QuietConsole console;
  ConsoleObserver observer{console};
  BadBlockList bad_blocks;
  cable.trst_pulse();
  tap_reset(cable);
  scan_ir(cable, Chain{}, kInstructionLength, kInstructionCodes.extest.data());
  nand_chip_select(bus, '1');
  if (nand_identify(bus).outcome != NandOutcome::kDone) std::abort();
  const uint32_t offset = 2 * bus.flash.chip.block_size();
  const auto length = static_cast<uint32_t>(image.size());
  if (nand_erase_range(bus, bad_blocks, observer, offset, length) != NandOutcome::kDone ||
      nand_program_image(bus, bad_blocks, observer, offset, image.data(), length) !=
          NandOutcome::kDone)
    std::abort();
  cable.flush();
}

// TCK periods the scans of a run need: each DR scan its length plus `path`
// TAP path clocks (6 from Run-Test/Idle back to it, 4 back to back), each IR
// scan 4 + 7, and the reset's 5.
double scan_clocks(const sim::SimBoard& board, int path = 6) {
  return static_cast<double>(board.dr_scans()) * (board.boundary_length() + path) +
         static_cast<double>(board.ir_scans()) * (4 + 7) + 5;
}

void BM_OneMebibyteOnSim(benchmark::State& state) {
  const std::vector<uint8_t> image = pattern(kImageBytes);
  for (auto _ : state) {
    std::string error;
    std::unique_ptr<sim::SimPort> port = sim::make_sim_port(board_options(), error);
    if (!port) std::abort();
    LptCable cable(port.get(), port->base());
    program_and_verify(cable, image);
    if (port->board().violations() != 0) std::abort();
    state.counters["dr_scans"] = static_cast<double>(port->board().dr_scans());
    state.counters["scan_clocks_per_byte"] = scan_clocks(port->board()) / kImageBytes;
  }
}
BENCHMARK(BM_OneMebibyteOnSim)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

// The same with the parallel port's fast option: the minimal bus cycles.
void BM_OneMebibyteOnSimFast(benchmark::State& state) {
  const std::vector<uint8_t> image = pattern(kImageBytes);
  for (auto _ : state) {
    std::string error;
    std::unique_ptr<sim::SimPort> port = sim::make_sim_port(board_options(), error);
    if (!port) std::abort();
    LptCable cable(port.get(), port->base());
    cable.fast = true;
    program_and_verify(cable, image);
    if (port->board().violations() != 0) std::abort();
    state.counters["dr_scans"] = static_cast<double>(port->board().dr_scans());
    state.counters["scan_clocks_per_byte"] = scan_clocks(port->board(), 4) / kImageBytes;
  }
}
BENCHMARK(BM_OneMebibyteOnSimFast)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

void BM_OneMebibyteOverRemoteBitbang(benchmark::State& state) {
  const std::vector<uint8_t> image = pattern(kImageBytes);
  char directory[] = "/tmp/jtagnand-bench-XXXXXX";
  if (mkdtemp(directory) == nullptr) std::abort();
  const std::string path = std::string(directory) + "/rbb.sock";
  for (auto _ : state) {
    std::string error;
    std::unique_ptr<sim::SimBoard> board = sim::SimBoard::create(board_options(), error);
    if (!board) std::abort();
    sim::RbbServer server(*board);
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    unlink(path.c_str());
    if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 1) != 0)
      std::abort();
    std::thread serving([&] {
      const int fd = accept(listener, nullptr, nullptr);
      static_cast<void>(sim::serve_session(server, fd));
      close(fd);
    });
    {
      CableOpening opening = open_rbb_cable(path);
      if (!opening.ok()) std::abort();
      program_and_verify(*opening.value(), image);
    }
    serving.join();
    close(listener);
    if (board->violations() != 0) std::abort();
  }
  unlink(path.c_str());
  rmdir(directory);
}
BENCHMARK(BM_OneMebibyteOverRemoteBitbang)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

// The xvc cable to the board served in-process over TCP on 127.0.0.1 (what
// jtagnand-sim --xvc does in a process of its own): its time compares with the
// sim: run's; per page, the shift: messages and the waits for an answer.
void BM_OneMebibyteOverXvc(benchmark::State& state) {
  const std::vector<uint8_t> image = pattern(kImageBytes);
  for (auto _ : state) {
    std::string error;
    std::unique_ptr<sim::SimBoard> board = sim::SimBoard::create(board_options(), error);
    if (!board) std::abort();
    sim::XvcServer server(*board);
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      std::abort();
    std::thread serving([&] {
      const int fd = accept(listener, nullptr, nullptr);
      static_cast<void>(sim::serve_session(server, fd));
      close(fd);
    });
    {
      CableOpening opening = open_xvc_cable("127.0.0.1:" + std::to_string(ntohs(address.sin_port)));
      if (!opening.ok()) std::abort();
      program_and_verify(*opening.value(), image);
      opening.value()->close();
      const XvcTraffic& t = static_cast<XvcCable&>(*opening.value()).traffic();
      const double pages = static_cast<double>(kImageBytes) / 2048;
      state.counters["shifts_per_page"] = static_cast<double>(t.shifts) / pages;
      state.counters["round_trips_per_page"] = static_cast<double>(t.round_trips) / pages;
      state.counters["tck_per_byte"] = static_cast<double>(t.tck_cycles) / kImageBytes;
    }
    serving.join();
    close(listener);
    if (board->violations() != 0) std::abort();
  }
}
BENCHMARK(BM_OneMebibyteOverXvc)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

// The ftdi cable on the virtual FT2232H, its bulk transfers made in-process
// (the USB stack's timing is not modelled, its bytes are). Per image byte: TCK
// periods, bytes to the adapter, bytes back, and reads the program waited for
// (round trips); the projected time at 30 MHz charges 1 ms per round trip.
// The TCK periods are compared with what the same run's scans need (back to
// back), with what the scans of the sim: run (the classic traffic, one ready
// poll at a time) need, and with the floor of four scans of L + 5 clocks per
// byte programmed and verified (L the register's length).
void BM_OneMebibyteOverFtdi(benchmark::State& state) {
  const std::vector<uint8_t> image = pattern(kImageBytes);
  std::string error;
  std::unique_ptr<sim::SimPort> port = sim::make_sim_port(board_options(), error);
  if (!port) std::abort();
  LptCable lpt(port.get(), port->base());
  program_and_verify(lpt, image);
  const double prescribed_clocks = scan_clocks(port->board());
  for (auto _ : state) {
    sim::VirtualFtdiOptions options;
    options.board = board_options();
    std::unique_ptr<sim::VirtualFtdi> chip = sim::VirtualFtdi::create(options, error);
    if (!chip) std::abort();
    FtdiCable cable(std::make_unique<sim::VirtualFtdiTransport>(*chip, 0), FtdiChip::kFt2232h, {},
                    "virtual FT2232H");
    if (!cable.start(error)) std::abort();
    program_and_verify(cable, image);
    if (chip->board().violations() != 0 || chip->counts().latency_waits != 0) std::abort();
    const FtdiTraffic& t = cable.traffic();
    const double bytes = kImageBytes;
    const double pages = bytes / 2048;
    const double tck = static_cast<double>(t.tck_cycles);
    if (tck != static_cast<double>(chip->engine(0).counts().tck_cycles)) std::abort();
    state.counters["tck_per_byte"] = tck / bytes;
    state.counters["sent_per_byte"] = static_cast<double>(t.bytes_sent) / bytes;
    state.counters["received_per_byte"] = static_cast<double>(t.bytes_received) / bytes;
    state.counters["round_trips_per_byte"] = static_cast<double>(t.round_trips) / bytes;
    state.counters["round_trips_per_page"] = static_cast<double>(t.round_trips) / pages;
    state.counters["tck_vs_own_scans"] = tck / scan_clocks(chip->board(), 4);
    state.counters["tck_vs_floor"] = tck / bytes / (4.0 * (chip->board().boundary_length() + 5));
    state.counters["tck_vs_sim_scans"] = tck / prescribed_clocks;
    state.counters["projected_s_at_30MHz"] = tck / 30e6 + static_cast<double>(t.round_trips) * 1e-3;
  }
}
BENCHMARK(BM_OneMebibyteOverFtdi)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

// The cmsis-dap cable on the virtual probe, its packets handed over in-process
// (the USB stack's timing is not modelled, the packets are), at two probe
// shapes: 512-byte packets, 4 in flight (a high-speed probe), and 64-byte
// packets, 2 in flight (a full-speed one such as a Pico's). Per page: command
// packets and the waits for an answer the program needed (round trips); the
// projected time at TCK 10 MHz charges 1 ms per round trip.
void BM_OneMebibyteOverCmsisDap(benchmark::State& state) {
  const std::vector<uint8_t> image = pattern(kImageBytes);
  for (auto _ : state) {
    sim::VirtualDapOptions options;
    options.board = board_options();
    options.packet_size = static_cast<uint16_t>(state.range(0));
    options.packet_count = static_cast<uint8_t>(state.range(1));
    std::string error;
    std::unique_ptr<sim::VirtualDap> probe = sim::VirtualDap::create(options, error);
    if (!probe) std::abort();
    DapCable cable(std::make_unique<sim::VirtualDapTransport>(*probe), "virtual probe",
                   DapProbeInfo{options.packet_size, options.packet_count}, 10'000'000);
    if (!cable.start(error)) std::abort();
    program_and_verify(cable, image);
    if (probe->board().violations() != 0 || probe->counts().bad_commands != 0) std::abort();
    const DapTraffic& t = cable.traffic();
    const double pages = static_cast<double>(kImageBytes) / 2048;
    const double tck = static_cast<double>(t.tck_cycles);
    state.counters["packets_per_page"] = static_cast<double>(t.packets) / pages;
    state.counters["round_trips_per_page"] = static_cast<double>(t.round_trips) / pages;
    state.counters["tck_per_byte"] = tck / kImageBytes;
    state.counters["sent_per_byte"] = static_cast<double>(t.bytes_sent) / kImageBytes;
    state.counters["projected_s_at_10MHz"] = tck / 10e6 + static_cast<double>(t.round_trips) * 1e-3;
  }
}
BENCHMARK(BM_OneMebibyteOverCmsisDap)
    ->Args({512, 4})
    ->Args({64, 2})
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->UseRealTime();

// The gpio cable's own cost per TCK, the GPIO chip taking no time: a long
// captured shift, half the TDI bits changing, over lines that only count. What
// a real chip adds per line change (an ioctl on the character device) comes
// on top: line_writes_per_tck of them, and one read.
class CountingPins final : public GpioPins {
 public:
  bool set(GpioLine, bool high) override {
    level_ ^= high;
    return true;
  }
  int tdo() override { return level_ ? 1 : 0; }
  const std::string& error() const override { return error_; }

 private:
  bool level_ = false;
  std::string error_;
};

void BM_GpioCableOverheadPerTck(benchmark::State& state) {
  constexpr uint32_t kBits = 1 << 20;
  std::string tdi(kBits, '0');
  for (uint32_t i = 0; i < kBits; ++i) tdi[i] = (i * 2654435761U >> 31) != 0 ? '1' : '0';
  std::string capture(kBits, '0');
  GpioWiring wiring;
  wiring.tck = 11;
  wiring.tms = 25;
  wiring.tdi = 10;
  wiring.tdo = 9;
  GpioCable cable(std::make_unique<CountingPins>(), wiring);
  uint64_t clocks = 0;
  for (auto _ : state) {
    cable.shift(tdi.data(), capture.data(), kBits, true);
    clocks += kBits;
  }
  state.counters["seconds_per_tck"] = benchmark::Counter(
      static_cast<double>(clocks), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["line_writes_per_tck"] =
      static_cast<double>(cable.line_writes()) / static_cast<double>(clocks);
}
BENCHMARK(BM_GpioCableOverheadPerTck)->Unit(benchmark::kMillisecond)->UseRealTime();

// A dump of 1 MiB from block 2 with the factory marks honoured (-r with -m),
// over the ftdi cable on the virtual FT2232H: per page, the reads the program
// waited for (round trips), with the marks of each block read on the way.
void BM_DumpOneMebibyteOverFtdi(benchmark::State& state) {
  std::string error;
  for (auto _ : state) {
    sim::VirtualFtdiOptions options;
    options.board = board_options();
    std::unique_ptr<sim::VirtualFtdi> chip = sim::VirtualFtdi::create(options, error);
    if (!chip) std::abort();
    FtdiCable cable(std::make_unique<sim::VirtualFtdiTransport>(*chip, 0), FtdiChip::kFt2232h, {},
                    "virtual FT2232H");
    if (!cable.start(error)) std::abort();
    ActiveProfile active;
    if (select_cpu_profile(active, "RQ7220") != 0) std::abort();
    NandBus bus{cable, active};
    QuietConsole console;
    ConsoleObserver observer{console};
    tap_reset(cable);
    scan_ir(cable, Chain{}, kInstructionLength, kInstructionCodes.extest.data());
    nand_chip_select(bus, '1');
    if (nand_identify(bus).outcome != NandOutcome::kDone) std::abort();
    const FtdiTraffic before = cable.traffic();
    uint64_t done = 0;
    const ReadPass pass{.honour_markers = true};
    if (nand_read_range(
            bus, observer, 2 * bus.flash.chip.block_size(), kImageBytes, pass,
            [](uint64_t, uint64_t, std::span<const uint8_t>) { return NandOutcome::kDone; },
            done) != NandOutcome::kDone ||
        done != kImageBytes || chip->board().violations() != 0)
      std::abort();
    const FtdiTraffic& t = cable.traffic();
    const double pages = static_cast<double>(kImageBytes) / 2048;
    const double round_trips = static_cast<double>(t.round_trips - before.round_trips);
    const double tck = static_cast<double>(t.tck_cycles - before.tck_cycles);
    state.counters["round_trips_per_page"] = round_trips / pages;
    state.counters["tck_per_byte"] = tck / kImageBytes;
    state.counters["tck_vs_floor"] =
        tck / kImageBytes / (2.0 * (chip->board().boundary_length() + 5));
    state.counters["projected_s_at_30MHz"] = tck / 30e6 + round_trips * 1e-3;
  }
}
BENCHMARK(BM_DumpOneMebibyteOverFtdi)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace
}  // namespace jtagnand
