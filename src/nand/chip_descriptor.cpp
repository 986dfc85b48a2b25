#include "nand/chip_descriptor.h"

namespace jtagnand {

std::string_view chip_fault_text(ChipFault fault) {
  switch (fault) {
    case ChipFault::kNone:
      return "";
    case ChipFault::kSixteenBitBus:
      return "a 16-bit data bus (the CPU wires eight data lines)";
    case ChipFault::kMultiLevelCell:
      return "more than one bit per cell (MLC needs ECC that this program does not write)";
    case ChipFault::kNotPowerOfTwo:
      return "a page, block or block count that is not a power of two";
    case ChipFault::kNoSpareArea:
      return "no spare area (nowhere for the bad-block marks)";
    case ChipFault::kAddressCycles:
      return "address cycles that cannot reach every page";
    case ChipFault::kSizeOutOfRange:
      return "a page, block or chip size outside what this program drives";
    case ChipFault::kNoParameterPage:
      return "every copy of the ONFI parameter page fails its CRC";
    case ChipFault::kParameterPageBusy:
      return "the ONFI parameter page never became ready";
  }
  return "";
}

}  // namespace jtagnand
