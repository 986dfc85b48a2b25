#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "jtag/cable.h"
#include "jtag/chain.h"
#include "jtag/tap.h"
#include "targets/toggle_observer.h"

namespace jtagnand {

// The longest boundary register of the built-in CPUs (TOMUX). A CPU from a
// board description may have any length: the run's vectors take its size.
inline constexpr uint32_t kMaxBoundaryLength = 412;

// The working image of the active CPU's boundary register: one '0'/'1'
// character per cell, index 0 being the first bit shifted into TDI.
struct BoundaryVector {
  std::string cells;  // `length` characters
  uint32_t length = 0;

  [[nodiscard]] char* data() { return cells.data(); }
  [[nodiscard]] const char* data() const { return cells.data(); }
  char& operator[](uint32_t cell) { return cells[cell]; }
  char operator[](uint32_t cell) const { return cells[cell]; }
};

// What a capturing scan read, cell i at index i; as long as the register.
using CaptureVector = std::vector<char>;

inline constexpr int kDataDrive = 0;   // the CPU drives the data lines
inline constexpr int kDataListen = 1;  // the CPU's data pins are inputs

// What a toggle test needs from the layers around it.
struct ToggleContext {
  Cable& cable;
  ToggleObserver& observer;
  uint32_t boundary_length;
  const Chain& chain;  // where the CPU sits: every scan carries the other devices' bits
};

enum class ToggleOutcome {
  kReturned,    // the routine had nothing to toggle and came back (TOMUX)
  kEscPressed,  // the operator ended the test: the process ends at once, status 0
};

// A built-in CPU's own toggle test: its prescribed start and pin layout.
using ToggleRoutine = ToggleOutcome (*)(ToggleContext& context, BoundaryVector& vector,
                                        int32_t type);

// The cells of the flash's control lines. nCE, CLE, ALE, nWE and nRE are
// driven throughout: a control cell they have holds its enable level in the
// run's vector from the start.
struct ControlCells {
  uint32_t nce = 0;
  uint32_t nwe = 0;
  uint32_t nre = 0;
  uint32_t rnb = 0;  // read in captures only; '1' = ready
  uint32_t cle = 0;
  uint32_t ale = 0;

  // All six, for what treats them alike.
  [[nodiscard]] constexpr std::array<uint32_t, 6> all() const {
    return {nce, nwe, nre, rnb, cle, ale};
  }
};

// Where the eight data lines sit in the register: data bit k is written to
// cell output_first + k * output_stride, read from input_first + k *
// input_stride, and switched by direction_first + k * direction_stride. Unless
// told otherwise a pin has one bidirectional cell (read where it is written)
// and its enable drives at '0'.
struct DataBusCells {
  uint32_t output_first;
  int32_t output_stride;
  uint32_t direction_first;
  int32_t direction_stride;
  uint32_t input_first = output_first;
  int32_t input_stride = output_stride;
  char drive = '0';
  char listen = '1';
};

struct CpuProfile {
  std::string_view name;
  std::string_view expected_idcode;     // 32 characters, bit 31 first
  std::string_view idcode_instruction;  // 4 characters, shifted first to last
  uint32_t boundary_length;
  std::string_view default_vector;  // boundary_length characters
  ControlCells control;
  DataBusCells data_bus;
  ToggleRoutine toggle_test;  // the CPU's own pin toggle test
};

// The four supported CPUs, in the order their names are compared.
[[nodiscard]] const std::array<const CpuProfile*, 4>& cpu_profiles();

// One NAND data line as the run drives it.
struct DataLine {
  uint32_t output = 0;   // the cell whose level the pin is driven to
  uint32_t input = 0;    // the cell that captures the pin (the output cell itself when bidir)
  uint32_t control = 0;  // the cell that turns the pin's driver on and off
  char drive = '0';      // the control cell's level that turns the driver on
  char listen = '1';     // ... and off, so that the flash can drive the line
};

// Every cell the NAND bus works on: the control lines and the data lines.
struct NandCells : ControlCells {
  std::array<DataLine, 8> data{};  // data bit k
};

// The run's active profile, the one shape every CPU takes at run time: a
// built-in CPU's constexpr table and a board description both become one, with
// its own writable vector.
struct ActiveProfile {
  std::string name;  // the CPU's name, or the BSDL file's entity

  // The instruction register: codes are bit strings of instruction_length
  // characters, character 0 shifted first (it becomes the register's bit 0).
  uint8_t instruction_length = 0;
  std::string extest_instruction;
  std::string preload_instruction;  // empty: EXTEST is loaded without preloading the pins
  std::string idcode_instruction;   // empty: the CPU has no IDCODE register
  std::string expected_idcode;      // 32 characters, bit 31 first; 'X' matches either level

  NandCells cells;
  BoundaryVector vector;  // starts as the profile's default contents
  // What SAMPLE/PRELOAD puts into the update latches before EXTEST: every
  // output driver off. Empty for the built-in CPUs.
  std::string safe_vector;

  // The other devices on the chain, held in BYPASS: their IR lengths in chain
  // order (from TDI towards TDO), and what every scan adds for them. The one
  // place the run keeps the CPU's position: every TAP scan is given it.
  std::vector<int> tdi_side;
  std::vector<int> tdo_side;
  Chain chain;
  // The board description gives the whole chain, and it is checked (every
  // IDCODE, every instruction register's length) before any instruction goes
  // in. A built-in CPU's chain is taken on trust, as it always was.
  bool chain_described = false;
  // A board description that names no flash pin: the chain and the CPU's
  // IDCODE can be checked (-j), nothing else; the cells above mean nothing.
  bool chain_only = false;

  // The CPU's own toggle test (a built-in CPU); null: the flash's pins are
  // toggled, as the cells above name them.
  ToggleRoutine toggle_test = nullptr;
  // The highest TCK the CPU takes, from its BSDL file; none for a built-in CPU.
  TckLimit tck_limit;

  [[nodiscard]] uint32_t boundary_length() const { return vector.length; }

  // Switches the data lines to drive, then writes bits 0..bits-1 of `value`
  // into their output cells. Vector only; no scan.
  void put_data_byte(uint32_t value, uint32_t bits);
  // Bit k is 1 when the input cell of data bit k holds '1' in a capture of
  // the whole register.
  [[nodiscard]] uint8_t get_data_byte(const char* capture) const;
  [[nodiscard]] uint8_t get_data_byte(const CaptureVector& capture) const {
    return get_data_byte(capture.data());
  }
  // kDataDrive or kDataListen into the data lines' control cells. Vector only.
  void set_data_direction(int direction);
};

// Exact, case-sensitive match against "RQ7220", "ZELT", "TOMUX", "KELDA".
// Returns 0 and makes that profile active (vector reset to its default), or -1
// with `active` unchanged.
[[nodiscard]] int32_t select_cpu_profile(ActiveProfile& active, std::string_view name);

// Loads EXTEST. A described board first loads SAMPLE/PRELOAD and shifts its
// safe vector, so that EXTEST brings its pins up undriven rather than at
// whatever the update latches held; a built-in CPU's prescribed sequence is the
// EXTEST load alone.
void enter_extest(Cable& cable, const ActiveProfile& target);

}  // namespace jtagnand
