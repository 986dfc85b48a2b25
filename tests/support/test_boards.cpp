#include "test_boards.h"

#include <fstream>

namespace jtagnand::testing {

std::string test_cpu_bsdl(const TestCpuOptions& options) {
  std::string ports;
  std::string cells;
  const auto add = [&](uint32_t number, const std::string& body) {
    cells += '"';
    cells += std::to_string(number) + " (" + body + "),\" &\n";
  };
  const auto output3 = [&](uint32_t control, char disable, const std::string& port) {
    if (control == options.flipped_control) disable = disable == '0' ? '1' : '0';
    add(control, std::string("BC_1, *, control, ") + disable);
    add(control + 1,
        "BC_1, " + port + ", output3, X, " + std::to_string(control) + ", " + disable + ", Z");
  };
  // P0-P179, cells 0-539: pins the description does not name.
  for (uint32_t p = 0; p < 180; ++p) {
    std::string port = "P";
    port += std::to_string(p);
    ports += port + ", ";
    output3(3 * p, '1', port);
    add(3 * p + 2, "BC_4, " + port + ", input, X");
  }
  for (uint32_t k = 0; k < 8; ++k) {
    const std::string port = "D(" + std::to_string(k) + ")";
    output3(kTestCpu.data_control[k], k < 4 ? '1' : '0', port);
    if (k < 4) {  // the output cell is a bidir BC_7
      cells.replace(cells.rfind("BC_1, D("), 4, "BC_7");
      cells.replace(cells.rfind("output3"), 7, "bidir");
    } else {
      add(kTestCpu.data_out[k] + 1, "BC_4, " + port + ", input, X");
    }
  }
  output3(kTestCpu.nce_control, '0', "NCE");
  add(kTestCpu.cle, "BC_1, CLE, output2, 0");
  output3(kTestCpu.ale_control, '1', "ALE");
  output3(kTestCpu.strobe_control, '0', "NWE");
  add(kTestCpu.nre, "BC_1, NRE, output3, X, 565, 0, Z");
  output3(568, '1', "RB");
  add(570, "BC_4, RB, input, X");
  output3(kTestCpu.wp_control, '0', "WP");
  for (uint32_t n = 573; n < 600; ++n) add(n, "BC_1, *, internal, 0");
  cells.resize(cells.size() - 5);  // the last cell ends the string: no ",\" &\n"

  return "entity WIDE is\n"
         "  port (D : inout bit_vector(0 to 7); NCE, CLE, ALE, NWE, NRE : out bit;\n"
         "        RB, WP, " +
         ports.substr(0, ports.size() - 2) +
         " : inout bit);\n"
         "  use STD_1149_1_2001.all;\n"
         "  attribute INSTRUCTION_LENGTH of WIDE : entity is 6;\n"
         "  attribute INSTRUCTION_OPCODE of WIDE : entity is\n"
         "    \"EXTEST (100110), SAMPLE (000001), PRELOAD (000010), BYPASS (111111)\"" +
         (options.idcode ? " & \", IDCODE (001001)\";\n"
                           "  attribute IDCODE_REGISTER of WIDE : entity is \"" +
                               options.version + "\" & \"1010101111001101000011110011\";\n"
                         : std::string(";\n")) +
         "  attribute INSTRUCTION_CAPTURE of WIDE : entity is \"XXXX01\";\n"
         "  attribute BOUNDARY_LENGTH of WIDE : entity is 600;\n"
         "  attribute BOUNDARY_REGISTER of WIDE : entity is\n" +
         cells + "\";\nend WIDE;\n";
}

std::string test_board_description(const std::string& bsdl, const std::string& tdi_side,
                                   const std::string& tdo_side) {
  return "bsdl = " + bsdl + "\ntdi_side = " + tdi_side + "\ntdo_side = " + tdo_side +
         "\nD0 = D(0)\nD1 = D(1)\nD2 = D(2)\nD3 = D(3)\nD4 = D(4)\nD5 = D(5)\nD6 = D(6)\n"
         "D7 = D(7)\nnCE = NCE\nCLE = CLE\nALE = ALE\nnWE = NWE\nnRE = NRE\nRnB = RB\n"
         "hold WP = 1\n";
}

void write_text(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

}  // namespace jtagnand::testing
