#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "jtag/cable.h"
#include "jtag/tap.h"
#include "platform/console.h"

namespace jtagnand {

// The longest boundary register of the supported CPUs (TOMUX).
inline constexpr uint32_t kMaxBoundaryLength = 412;

// The working image of the active CPU's boundary register: one '0'/'1'
// character per cell, index 0 being the first bit shifted into TDI. Only the
// first `length` characters are meaningful; nothing relies on a terminator.
struct BoundaryVector {
  std::array<char, kMaxBoundaryLength> cells{};
  uint32_t length = 0;

  [[nodiscard]] char* data() { return cells.data(); }
  [[nodiscard]] const char* data() const { return cells.data(); }
  char& operator[](uint32_t cell) { return cells[cell]; }
  char operator[](uint32_t cell) const { return cells[cell]; }
};

// What the last capturing scan read, cell i at index i. No terminator.
using CaptureVector = std::array<char, kMaxBoundaryLength>;

inline constexpr int kDataDrive = 0;   // the CPU drives the data lines
inline constexpr int kDataListen = 1;  // the CPU's data pins are inputs

// What a toggle test needs from the layers around it.
struct ToggleContext {
  Cable& cable;
  Console& console;
  uint32_t boundary_length;
};

enum class ToggleOutcome {
  kReturned,    // the routine had nothing to toggle and came back (TOMUX)
  kEscPressed,  // the operator ended the test: the process ends at once, status 0
};

struct ProfileAccessors {
  // Switches the data lines to drive, then writes bits 0..bits-1 of `value`
  // into the output cells. Vector only; no scan.
  void (*put_data_byte)(BoundaryVector& vector, uint32_t value, uint32_t bits);
  // Bit k is 1 when the input cell of data bit k holds '1'.
  uint8_t (*get_data_byte)(const CaptureVector& capture);
  // kDataDrive or kDataListen into all eight direction cells. Vector only.
  void (*set_data_direction)(BoundaryVector& vector, int direction);
  ToggleOutcome (*toggle_test)(ToggleContext& context, BoundaryVector& vector, int32_t type);
};

// Where the eight data lines sit in the register: data bit k is written to
// cell output_first + k * output_stride, read from input_first + k *
// input_stride, and switched by direction_first + k * direction_stride.
struct DataBusCells {
  uint32_t output_first;
  int32_t output_stride;
  uint32_t input_first;
  int32_t input_stride;
  uint32_t direction_first;
  int32_t direction_stride;
  char drive;
  char listen;
};

struct CpuProfile {
  std::string_view name;
  std::string_view expected_idcode;     // 32 characters, bit 31 first
  std::string_view idcode_instruction;  // 4 characters, shifted first to last
  uint32_t boundary_length;
  std::string_view default_vector;  // boundary_length characters
  uint32_t nce_cell;
  uint32_t nwe_cell;
  uint32_t nre_cell;
  uint32_t rnb_cell;  // read in captures only; '1' = ready
  uint32_t cle_cell;
  uint32_t ale_cell;
  DataBusCells data_bus;
  const ProfileAccessors* accessors;
};

// The four supported CPUs, in the order their names are compared.
[[nodiscard]] const std::array<const CpuProfile*, 4>& cpu_profiles();

// The run's active profile and its own writable boundary vector.
struct ActiveProfile {
  const CpuProfile* profile = nullptr;
  char idcode_instruction[5]{};
  BoundaryVector vector;  // starts as the profile's default contents

  [[nodiscard]] uint32_t boundary_length() const { return vector.length; }
  [[nodiscard]] const ProfileAccessors& accessors() const { return *profile->accessors; }
};

// Exact, case-sensitive match against "RQ7220", "ZELT", "TOMUX", "KELDA".
// Returns 0 and makes that profile active (vector reset to its default), or -1
// with `active` unchanged.
[[nodiscard]] int32_t select_cpu_profile(ActiveProfile& active, std::string_view name);

}  // namespace jtagnand
