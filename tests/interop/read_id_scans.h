#pragma once

// The NAND Read ID cycle as a list of full boundary-register images, built
// here from the CPUs' cell numbers (written down for this test from the CPU
// pin documentation, not taken from the program's tables), and the text
// conversions between a register image and an OpenOCD drscan value.
//
// Cell 0 is the first bit shifted in. OpenOCD shifts a drscan value LSB
// first, so cell i is bit i of the value, and the captured value it returns
// has the same numbering.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace jtagnand::testing {

struct CpuCells {
  const char* name;
  uint32_t idcode;
  int length;  // boundary-register cells
  int nce, cle, ale, nwe, nre, rnb;
  int out0, out_step;  // output cell of data bit k: out0 + k * out_step
  int in0, in_step;    // input cell of data bit k
  int dir0, dir_step;  // direction cell of data bit k
  bool drive_level;    // what a direction cell holds while the CPU drives
};

inline const CpuCells kCpuCells[] = {
    {"RQ7220", 0x30002693, 298, 199, 201, 203, 207, 205, 209, 211, 2, 211, 2, 212, 2, false},
    {"ZELT", 0x30002693, 185, 101, 97, 99, 105, 103, 95, 63, 2, 63, 2, 64, 2, false},
    {"KELDA", 0x00D3165B, 298, 170, 187, 189, 168, 171, 173, 166, -2, 166, -2, 167, -2, true},
    {"TOMUX", 0x005A30E5, 412, 148, 160, 157, 151, 154, 165, 166, 3, 168, 3, 167, 3, false},
};

// Test names and messages show the CPU by name.
inline void PrintTo(const CpuCells& cpu, std::ostream* os) {
  *os << cpu.name;
}

// Levels of the flash-side pins for one scan; true = high.
struct BusPins {
  bool nce = true, cle = false, ale = false, nwe = true, nre = true;
  bool drive = true;  // CPU drives IO0-7 with `data`; false = listen
  uint8_t data = 0;
};

// The whole register for one scan; cells not wired to the flash stay 0.
inline std::vector<bool> boundary_image(const CpuCells& cpu, const BusPins& pins) {
  std::vector<bool> cells(static_cast<size_t>(cpu.length), false);
  const auto at = [&](int cell) { return cells.at(static_cast<size_t>(cell)); };
  at(cpu.nce) = pins.nce;
  at(cpu.cle) = pins.cle;
  at(cpu.ale) = pins.ale;
  at(cpu.nwe) = pins.nwe;
  at(cpu.nre) = pins.nre;
  for (int k = 0; k < 8; ++k) {
    at(cpu.out0 + k * cpu.out_step) = ((pins.data >> k) & 1) != 0;
    at(cpu.dir0 + k * cpu.dir_step) = pins.drive ? cpu.drive_level : !cpu.drive_level;
  }
  return cells;
}

// The scans of a Read ID: select, command 0x90 under CLE with an nWE strobe,
// address 0x00 under ALE, then per ID byte nRE low, the same again (its
// capture holds the byte), nRE high; finally release. Every scan changes one
// strobe at most, with data and latch enables set up a scan before.
struct ReadIdScans {
  std::vector<BusPins> scans;
  size_t maker_capture = 0;   // index of the scan whose capture holds the maker code
  size_t device_capture = 0;  // ... the device code
};

inline ReadIdScans read_id_scans() {
  ReadIdScans r;
  BusPins p;  // idle: chip released, strobes high, CPU driving 0x00
  const auto scan = [&] { r.scans.push_back(p); };
  scan();
  p.nce = false;
  scan();
  p.data = 0x90;
  p.cle = true;
  scan();
  p.nwe = false;
  scan();
  p.nwe = true;  // the flash latches the command on this rising edge
  scan();
  p.cle = false;
  scan();
  p.ale = true;
  scan();
  p.data = 0x00;
  p.nwe = false;
  scan();
  p.nwe = true;
  scan();
  p.ale = false;
  scan();
  for (size_t* capture : {&r.maker_capture, &r.device_capture}) {
    p.drive = false;
    p.nre = false;  // the flash drives the next ID byte from this falling edge
    scan();
    *capture = r.scans.size();
    scan();
    p.nre = true;
    scan();
  }
  p.nce = true;
  scan();
  return r;
}

// "0x" and the register as hex, cell 0 in the least significant bit.
inline std::string to_drscan_value(const std::vector<bool>& cells) {
  const size_t digits = (cells.size() + 3) / 4;
  std::string hex(digits, '0');
  for (size_t i = 0; i < cells.size(); ++i) {
    if (!cells[i]) continue;
    char& digit = hex[digits - 1 - i / 4];
    const int value = (digit <= '9' ? digit - '0' : digit - 'a' + 10) | (1 << (i % 4));
    digit = static_cast<char>(value < 10 ? '0' + value : 'a' + value - 10);
  }
  return "0x" + hex;
}

// A captured value as OpenOCD prints it (hex, most significant digit first, no
// prefix) back to cells; empty when the text is not hex.
inline std::vector<bool> from_drscan_value(const std::string& hex, int length) {
  std::vector<bool> cells(static_cast<size_t>(length), false);
  for (size_t d = 0; d < hex.size(); ++d) {
    const char c = hex[hex.size() - 1 - d];
    int value = 0;
    if (c >= '0' && c <= '9') {
      value = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      value = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      value = c - 'A' + 10;
    } else {
      return {};
    }
    for (size_t b = 0; b < 4; ++b) {
      const size_t cell = d * 4 + b;
      if (cell < cells.size()) cells[cell] = ((value >> b) & 1) != 0;
    }
  }
  return cells;
}

inline uint8_t data_byte(const CpuCells& cpu, const std::vector<bool>& captured) {
  uint8_t value = 0;
  for (int k = 0; k < 8; ++k)
    if (captured.at(static_cast<size_t>(cpu.in0 + k * cpu.in_step)))
      value = static_cast<uint8_t>(value | (1 << k));
  return value;
}

inline std::string hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

// The chip behind each CPU in the adapter tests: maker and device code all
// different, so a mix-up shows.
struct ReadIdChip {
  uint8_t maker = 0;
  uint8_t device = 0;
};

inline ReadIdChip read_id_chip(const CpuCells& cpu) {
  struct Row {
    const char* cpu;
    ReadIdChip chip;
  };
  static const Row kRows[] = {{"RQ7220", {0x98, 0xF1}},
                              {"ZELT", {0xEC, 0xDA}},
                              {"KELDA", {0x2C, 0x76}},
                              {"TOMUX", {0xAD, 0xD3}}};
  for (const Row& row : kRows)
    if (std::string(row.cpu) == cpu.name) return row.chip;
  return {};
}

// The simulated board's options for that chip behind `cpu`, with the
// checker strict and the counts printed at exit.
inline std::string read_id_board_options(const CpuCells& cpu) {
  const ReadIdChip chip = read_id_chip(cpu);
  char options[96];
  std::snprintf(options, sizeof options, "stats,strict,cpu=%s,maker=0x%02X,nand=0x%02X", cpu.name,
                chip.maker, chip.device);
  return options;
}

// EXTEST on the TAP board.cpu, then one full-length scan per bus step, each
// capture echoed as "SCAN i VALUE".
inline std::string read_id_commands(const CpuCells& cpu, const ReadIdScans& read_id) {
  std::ostringstream commands;
  commands << "init\nirscan board.cpu 0x0\n";
  for (size_t i = 0; i < read_id.scans.size(); ++i) {
    commands << "echo \"SCAN " << i << " [drscan board.cpu " << cpu.length << ' '
             << to_drscan_value(boundary_image(cpu, read_id.scans[i])) << "]\"\n";
  }
  commands << "shutdown\n";
  return commands.str();
}

// The captures echoed by read_id_commands, in order; a value that is not
// hex ends the list.
inline std::vector<std::vector<bool>> captures_of(const std::string& out, const CpuCells& cpu) {
  std::vector<std::vector<bool>> captures;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string tag, hex;
    size_t index = 0;
    if (!(words >> tag >> index >> hex) || tag != "SCAN" || index != captures.size()) continue;
    captures.push_back(from_drscan_value(hex, cpu.length));
    if (captures.back().empty()) break;
  }
  return captures;
}

// What a master that ran read_id_commands must have seen (`out`, its output):
// every scan echoed, the ID bytes in the data cells, and each capture showing
// the strobes as the scan before drove them (cell numbers agree in both
// directions) with R/nB high (ready) throughout.
inline void expect_read_id_seen(const std::string& out, const CpuCells& cpu,
                                const ReadIdScans& read_id, uint8_t maker, uint8_t device) {
  const std::vector<std::vector<bool>> captures = captures_of(out, cpu);
  ASSERT_EQ(captures.size(), read_id.scans.size()) << out;
  EXPECT_EQ(data_byte(cpu, captures[read_id.maker_capture]), maker) << out;
  EXPECT_EQ(data_byte(cpu, captures[read_id.device_capture]), device) << out;
  for (size_t i = 1; i < captures.size(); ++i) {
    const BusPins& driven = read_id.scans[i - 1];
    const auto cell = [&](int n) { return captures[i].at(static_cast<size_t>(n)); };
    EXPECT_EQ(cell(cpu.nce), driven.nce) << "scan " << i;
    EXPECT_EQ(cell(cpu.cle), driven.cle) << "scan " << i;
    EXPECT_EQ(cell(cpu.ale), driven.ale) << "scan " << i;
    EXPECT_EQ(cell(cpu.nwe), driven.nwe) << "scan " << i;
    EXPECT_EQ(cell(cpu.nre), driven.nre) << "scan " << i;
    EXPECT_TRUE(cell(cpu.rnb)) << "scan " << i;
  }
}

}  // namespace jtagnand::testing
