#include <algorithm>
#include <string>
#include <utility>

#include "targets/profile.h"
#include "targets/toggle_test.h"

namespace jtagnand {

namespace {

[[nodiscard]] constexpr uint32_t cell_of(uint32_t first, int32_t stride, uint32_t bit) {
  return static_cast<uint32_t>(static_cast<int32_t>(first) + stride * static_cast<int32_t>(bit));
}

// --- RQ7220: data bit k on cell 211 + 2k (out and in), enables on the even
// cells 212-226, low to drive.
constexpr DataBusCells kRq7220Bus{
    .output_first = 211,
    .output_stride = 2,
    .direction_first = 212,
    .direction_stride = 2,
};
constexpr char kRq7220Default[] =
    "00000000000000000000000000000000000000000000001010"
    "00000000000000000000001010100000000000000000000000"
    "00000000000000001010101010111001010000000100000000"
    "00000000000101110110000000000000000000000001100001"
    "00000101011000000000000000000000000000000001000001"
    "000000000000000000000000000000000000000000000000";
constexpr CpuProfile kRq7220{
    .name = "RQ7220",
    .expected_idcode = "00110000000000000010011010010011",
    .idcode_instruction = "1011",
    .boundary_length = 298,
    .default_vector = kRq7220Default,
    .control = {.nce = 199, .nwe = 207, .nre = 205, .rnb = 209, .cle = 201, .ale = 203},
    .data_bus = kRq7220Bus,
    .toggle_test = &rq7220_toggle_test,
};

// --- ZELT: the same CPU core and IDCODE as RQ7220 in a smaller package; data
// bit k on cell 63 + 2k, enables on the even cells 64-78, low to drive.
constexpr DataBusCells kZeltBus{
    .output_first = 63,
    .output_stride = 2,
    .direction_first = 64,
    .direction_stride = 2,
};
constexpr char kZeltDefault[] =
    "00000000000000000000000000000000000000010100011111"
    "11010101010000000000000000000000000000000000011000"
    "01010101010000000001011101110111011000000000011111"
    "11111111111111100000000000000000000";
constexpr CpuProfile kZelt{
    .name = "ZELT",
    .expected_idcode = "00110000000000000010011010010011",
    .idcode_instruction = "1011",
    .boundary_length = 185,
    .default_vector = kZeltDefault,
    .control = {.nce = 101, .nwe = 105, .nre = 103, .rnb = 95, .cle = 97, .ale = 99},
    .data_bus = kZeltBus,
    .toggle_test = &zelt_toggle_test,
};

// --- TOMUX: three cells per data pin: output 166 + 3k, enable 167 + 3k (low
// to drive), input 168 + 3k.
constexpr DataBusCells kTomuxBus{
    .output_first = 166,
    .output_stride = 3,
    .direction_first = 167,
    .direction_stride = 3,
    .input_first = 168,
    .input_stride = 3,
};
constexpr char kTomuxDefault[] =
    "00000000000000110110110110110000010110110110111000"
    "11100000000100011011100100000000000100100000100000"
    "00000000000000000000000000000000000000000000000010"
    "01001000000000110000000000000000000000001001001001"
    "00100100100000000000000000000000000000000000000000"
    "00000000000000000000000000000000000000000011000000"
    "00000000000001000000000000000000000000000000000000"
    "00000000000000000000000000000000000000000000000000"
    "000000000000";
constexpr CpuProfile kTomux{
    .name = "TOMUX",
    .expected_idcode = "00000000010110100011000011100101",
    .idcode_instruction = "1000",
    .boundary_length = 412,
    .default_vector = kTomuxDefault,
    .control = {.nce = 148, .nwe = 151, .nre = 154, .rnb = 165, .cle = 160, .ale = 157},
    .data_bus = kTomuxBus,
    .toggle_test = &tomux_toggle_test,
};

// --- KELDA: data bits run downward, bit k on cell 166 - 2k (out and in); its
// enables on the odd cells 153-167 are active high: '1' drives.
constexpr DataBusCells kKeldaBus{
    .output_first = 166,
    .output_stride = -2,
    .direction_first = 153,
    .direction_stride = 2,
    .drive = '1',
    .listen = '0',
};
constexpr char kKeldaDefault[] =
    "11101111110010101010101010101010101010101010101010"
    "10101010100000001111111101110101110101010101010101"
    "01010101010101010101010101010101010101010101010101"
    "11010101010101010111111101111111111110101010101010"
    "10101010101010101010101000000000000000000101010101"
    "010101001001000010101010101010101010101010101010";
constexpr CpuProfile kKelda{
    .name = "KELDA",
    .expected_idcode = "00000000110100110001011001011011",
    .idcode_instruction = "0101",
    .boundary_length = 298,
    .default_vector = kKeldaDefault,
    .control = {.nce = 170, .nwe = 168, .nre = 171, .rnb = 173, .cle = 187, .ale = 189},
    .data_bus = kKeldaBus,
    .toggle_test = &kelda_toggle_test,
};

// --- What the tables promise, checked by the compiler.

constexpr bool is_bit_string(std::string_view text, size_t length) {
  return text.size() == length &&
         std::all_of(text.begin(), text.end(), [](char c) { return c == '0' || c == '1'; });
}

constexpr bool data_bus_fits(const CpuProfile& p) {
  const DataBusCells& bus = p.data_bus;
  for (uint32_t bit = 0; bit < 8; ++bit) {
    for (const auto& [first, stride] : {std::pair{bus.output_first, bus.output_stride},
                                        std::pair{bus.input_first, bus.input_stride},
                                        std::pair{bus.direction_first, bus.direction_stride}}) {
      const int64_t cell = int64_t{first} + int64_t{stride} * bit;
      if (cell < 0 || cell >= p.boundary_length) return false;
    }
  }
  return true;
}

constexpr bool cells_in_range(const CpuProfile& p) {
  for (const uint32_t cell : p.control.all())
    if (cell >= p.boundary_length) return false;
  return p.boundary_length <= kMaxBoundaryLength && data_bus_fits(p);
}

// In the default contents the flash is idle and the CPU drives 0x00 onto it.
constexpr bool default_is_idle(const CpuProfile& p) {
  const std::string_view v = p.default_vector;
  const DataBusCells& bus = p.data_bus;
  const ControlCells& c = p.control;
  for (const uint32_t cell : {c.nce, c.nwe, c.nre, c.rnb})
    if (v[cell] != '1') return false;
  if (v[c.cle] != '0' || v[c.ale] != '0') return false;
  for (uint32_t bit = 0; bit < 8; ++bit) {
    if (v[cell_of(bus.output_first, bus.output_stride, bit)] != '0') return false;
    if (v[cell_of(bus.direction_first, bus.direction_stride, bit)] != bus.drive) return false;
  }
  return bus.drive != bus.listen;
}

constexpr bool profile_is_sound(const CpuProfile& p) {
  return is_bit_string(p.expected_idcode, kIdcodeLength) && p.expected_idcode.back() == '1' &&
         is_bit_string(p.idcode_instruction, kInstructionLength) &&
         is_bit_string(p.default_vector, p.boundary_length) && cells_in_range(p) &&
         default_is_idle(p);
}

static_assert(profile_is_sound(kRq7220));
static_assert(profile_is_sound(kZelt));
static_assert(profile_is_sound(kTomux));
static_assert(profile_is_sound(kKelda));

// The toggle tests must wiggle every flash line and keep the data-bus enables
// at the drive level, or the flash wiring cannot be checked with them.
constexpr bool covers(std::span<const CellRun> runs, uint32_t wanted) {
  bool found = false;
  for_each_cell(runs, [&](uint32_t cell) { found = found || cell == wanted; });
  return found;
}

constexpr bool toggle_reaches_flash(const CpuProfile& p, const ToggleLayout& layout) {
  const DataBusCells& bus = p.data_bus;
  const auto toggles = [&](uint32_t cell) {
    return covers(layout.toggled, cell) && !covers(layout.held_high, cell);
  };
  for (const uint32_t cell : p.control.all())
    if (!toggles(cell)) return false;
  const auto& held_at_drive = bus.drive == '1' ? layout.held_high : layout.held_low;
  for (uint32_t bit = 0; bit < 8; ++bit) {
    if (!toggles(cell_of(bus.output_first, bus.output_stride, bit))) return false;
    if (!covers(held_at_drive, cell_of(bus.direction_first, bus.direction_stride, bit)))
      return false;
  }
  return true;
}

static_assert(toggle_reaches_flash(kRq7220, kRq7220ToggleLayout));
static_assert(toggle_reaches_flash(kZelt, kZeltToggleLayout));
static_assert(toggle_reaches_flash(kKelda, kKeldaToggleLayout));

constexpr std::array<const CpuProfile*, 4> kProfiles{&kRq7220, &kZelt, &kTomux, &kKelda};

}  // namespace

const std::array<const CpuProfile*, 4>& cpu_profiles() {
  return kProfiles;
}

int32_t select_cpu_profile(ActiveProfile& active, std::string_view name) {
  for (const CpuProfile* profile : kProfiles) {
    if (profile->name != name) continue;
    ActiveProfile selected;
    selected.name = std::string(profile->name);
    selected.instruction_length = kInstructionLength;
    selected.extest_instruction = std::string(kInstructionCodes.extest);
    selected.idcode_instruction = std::string(profile->idcode_instruction);
    selected.expected_idcode = std::string(profile->expected_idcode);
    selected.cells = NandCells{profile->control};
    const DataBusCells& bus = profile->data_bus;
    for (uint32_t bit = 0; bit < 8; ++bit) {
      selected.cells.data[bit] = DataLine{
          .output = cell_of(bus.output_first, bus.output_stride, bit),
          .input = cell_of(bus.input_first, bus.input_stride, bit),
          .control = cell_of(bus.direction_first, bus.direction_stride, bit),
          .drive = bus.drive,
          .listen = bus.listen,
      };
    }
    selected.vector.cells = std::string(profile->default_vector);
    selected.vector.length = profile->boundary_length;
    selected.toggle_test = profile->toggle_test;
    active = std::move(selected);
    return 0;
  }
  return -1;
}

void ActiveProfile::set_data_direction(int direction) {
  for (const DataLine& line : cells.data)
    vector[line.control] = direction == kDataDrive ? line.drive : line.listen;
}

void ActiveProfile::put_data_byte(uint32_t value, uint32_t bits) {
  // Drive first: after a read the lines are still at listen, and the byte must
  // be on the pins with the next scan.
  set_data_direction(kDataDrive);
  bits = std::min<uint32_t>(bits, 8);
  for (uint32_t bit = 0; bit < bits; ++bit, value >>= 1)
    vector[cells.data[bit].output] = (value & 1u) != 0 ? '1' : '0';
}

uint8_t ActiveProfile::get_data_byte(const char* capture) const {
  uint32_t value = 0;
  for (uint32_t bit = 0; bit < 8; ++bit)
    value |= static_cast<uint32_t>(capture[cells.data[bit].input] == '1') << bit;
  return static_cast<uint8_t>(value);
}

void enter_extest(Cable& cable, const ActiveProfile& target) {
  if (!target.preload_instruction.empty()) {
    scan_ir(cable, target.chain, target.instruction_length, target.preload_instruction.data());
    scan_dr(cable, target.chain, target.safe_vector.data(), target.boundary_length());
  }
  scan_ir(cable, target.chain, target.instruction_length, target.extest_instruction.data());
}

}  // namespace jtagnand
