#include "test_boards.h"

#include <fstream>

namespace jtagnand::testing {

namespace {

constexpr uint32_t kFillerPorts = 180;  // P0..P179, three cells each: cells 0-539

// Filler port p: "P<p>".
std::string filler(uint32_t p) {
  std::string name = "P";
  name += std::to_string(p);
  return name;
}

std::string cell(uint32_t number, const std::string& body) {
  return "    \"" + std::to_string(number) + " (" + body + ")," + "\" &\n";
}

}  // namespace

std::string test_cpu_bsdl(const TestCpuOptions& options) {
  const TestCpuCells& c = kTestCpu;
  const auto disable = [&](uint32_t control, char level) {
    if (control != options.flipped_control) return std::string(1, level);
    return std::string(1, level == '0' ? '1' : '0');
  };
  const auto controlled = [&](const char* type, const char* port, uint32_t control,
                              char disable_level) {
    return std::string(type) + ", " + port + ", output3, X, " + std::to_string(control) + ", " +
           disable(control, disable_level) + ", Z";
  };

  std::string text =
      "-- A test CPU: 6-bit IR, 600 cells, the flash at the far end\n"
      "entity WIDE is\n"
      "  generic (PHYSICAL_PIN_MAP : string := \"TEST\");\n"
      "  port (D : inout bit_vector(0 to 7); NCE, CLE, ALE, NWE, NRE : out bit;\n"
      "        RB, WP : inout bit;\n"
      "        ";
  for (uint32_t p = 0; p < kFillerPorts; ++p) {
    text += filler(p);
    text += p + 1 < kFillerPorts ? ", " : " : inout bit);\n";
  }
  text += "  use STD_1149_1_2001.all;\n";
  text += "  attribute INSTRUCTION_LENGTH of WIDE : entity is 6;\n";
  text += "  attribute INSTRUCTION_OPCODE of WIDE : entity is\n";
  text += "    \"EXTEST (100110), SAMPLE (000001), PRELOAD (000010), HIGHZ (001010), \" &\n";
  text +=
      options.idcode ? "    \"IDCODE (001001), BYPASS (111111)\";\n" : "    \"BYPASS (111111)\";\n";
  text += "  attribute INSTRUCTION_CAPTURE of WIDE : entity is \"XXXX01\";\n";
  if (options.idcode) {
    text += "  attribute IDCODE_REGISTER of WIDE : entity is\n";
    text += "    \"" + options.version + "\" & -- version\n    \"1010101111001101\" & -- part\n";
    text += "    \"00001111001\" & \"1\";\n";
  }
  text += "  attribute BOUNDARY_LENGTH of WIDE : entity is " + std::to_string(c.length) + ";\n";
  text += "  attribute BOUNDARY_REGISTER of WIDE : entity is\n";
  for (uint32_t p = 0; p < kFillerPorts; ++p) {
    const uint32_t first = 3 * p;
    const std::string port = filler(p);
    text += cell(first, "BC_1, *, control, 1");
    text += cell(first + 1, controlled("BC_1", port.c_str(), first, '1'));
    text += cell(first + 2, "BC_4, " + port + ", input, X");
  }
  for (uint32_t k = 0; k < 8; ++k) {
    const std::string port = "D(" + std::to_string(k) + ")";
    if (k < 4) {
      text += cell(c.data_control[k], "BC_1, *, control, 1");
      text +=
          cell(c.data_out[k], "BC_7, " + port + ", bidir, X, " + std::to_string(c.data_control[k]) +
                                  ", " + disable(c.data_control[k], '1') + ", Z");
    } else {
      text += cell(c.data_control[k], "BC_1, *, control, 0");
      text += cell(c.data_out[k], controlled("BC_1", port.c_str(), c.data_control[k], '0'));
      text += cell(c.data_in[k], "BC_4, " + port + ", input, X");
    }
  }
  text += cell(c.nce_control, "BC_1, *, control, 0");
  text += cell(c.nce, controlled("BC_1", "NCE", c.nce_control, '0'));
  text += cell(c.cle, "BC_1, CLE, output2, 0");
  text += cell(c.ale_control, "BC_1, *, control, 1");
  text += cell(c.ale, controlled("BC_1", "ALE", c.ale_control, '1'));
  text += cell(c.strobe_control, "BC_1, *, controlr, 0");
  text += cell(c.nwe, controlled("BC_1", "NWE", c.strobe_control, '0'));
  text += cell(c.nre, controlled("BC_1", "NRE", c.strobe_control, '0'));
  text += cell(c.rb_control, "BC_1, *, control, 1");
  text += cell(c.rb_out, controlled("BC_1", "RB", c.rb_control, '1'));
  text += cell(c.rb_in, "BC_4, RB, input, X");
  text += cell(c.wp_control, "BC_1, *, control, 0");
  text += cell(c.wp, controlled("BC_1", "WP", c.wp_control, '0'));
  for (uint32_t n = c.wp + 1; n < c.length; ++n) text += cell(n, "BC_1, *, internal, 0");
  // The last cell closes the string: no comma, no '&'.
  text.resize(text.size() - std::string(",\" &\n").size());
  text += "\";\nend WIDE;\n";
  return text;
}

std::string test_board_description(const std::string& bsdl, const std::string& tdi_side,
                                   const std::string& tdo_side) {
  return "# The test CPU's flash\n"
         "bsdl = " +
         bsdl + "\ntdi_side = " + tdi_side + "\ntdo_side = " + tdo_side +
         "\n"
         "D0 = D(0)\nD1 = D(1)\nD2 = D(2)\nD3 = D(3)\nD4 = D(4)\nD5 = D(5)\nD6 = D(6)\nD7 = D(7)\n"
         "nCE = NCE\nCLE = CLE\nALE = ALE\nnWE = NWE\nnRE = NRE\nRnB = RB\n"
         "hold WP = 1\n";
}

void write_text(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
}

}  // namespace jtagnand::testing
