// Fuzz target: the simulated board's option parser ("cpu=KELDA,nand=0x75,...")
// and the board built from what it accepts. Input: the option text, then after
// a NUL byte the CPU name the user gave with -C.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "../fuzz_check.h"
#include "sim/sim_board.h"

namespace {

using jtagnand::sim::SimBoard;

// One TCK period with the given TMS and TDI; returns TDO as it was before the
// rising edge (it changes on the falling one).
bool clock(SimBoard& board, bool tms, bool tdi) {
  board.drive(false, tms, tdi, true);
  const bool tdo = board.tdo();
  board.drive(true, tms, tdi, true);
  return tdo;
}

// After a TAP reset the IDCODE register is selected: Test-Logic-Reset,
// Run-Test/Idle, Select-DR, Capture-DR, Shift-DR, then 32 bits out.
uint32_t read_idcode(SimBoard& board) {
  for (int i = 0; i < 5; ++i) clock(board, true, false);
  for (const bool tms : {false, true, false, false}) clock(board, tms, false);
  uint32_t idcode = 0;
  for (int bit = 0; bit < 32; ++bit)
    idcode |= static_cast<uint32_t>(clock(board, bit == 31, false)) << bit;
  return idcode;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t nul = input.find('\0');
  const std::string_view text = input.substr(0, nul);
  const std::string_view cpu_hint =
      nul == std::string_view::npos ? std::string_view() : input.substr(nul + 1);

  jtagnand::sim::SimOptions options;
  constexpr uint8_t kMarker = 0x11;  // not a default: shows whether anything was stored
  options.nand_code = kMarker;
  std::string error;
  if (!jtagnand::sim::parse_sim_options(text, cpu_hint, options, error)) {
    FUZZ_CHECK(!error.empty() && error.find('\n') == std::string::npos);
    FUZZ_CHECK(options.nand_code == kMarker);  // nothing stored on failure
    return 0;
  }
  FUZZ_CHECK(options.busy_scans <= 1'000'000);
  FUZZ_CHECK(options.port_base == 0 || options.port_base == 0x378 || options.port_base == 0x278 ||
             options.port_base == 0x3BC);

  // Boards are built in memory only: a flash file would be created, and an
  // onfi= or board= file read (a FIFO or a device named there would hang).
  // strict would end the process at the first violation, which is its job.
  if (!options.flash_path.empty() || !options.onfi_path.empty() || !options.board_path.empty())
    return 0;
  options.strict = false;
  // A board is refused only with a reason (a fault placed past the chip).
  const std::unique_ptr<SimBoard> board = SimBoard::create(options, error);
  if (board == nullptr) {
    FUZZ_CHECK(!error.empty() && error.find('\n') == std::string::npos);
    return 0;
  }
  FUZZ_CHECK(read_idcode(*board) == board->idcode());
  return 0;
}
