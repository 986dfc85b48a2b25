#include "nand/chip_descriptor.h"

#include <cstddef>
#include <iterator>

namespace jtagnand {

namespace {

struct FaultText {
  ChipFault fault;
  std::string_view text;
};

// One row per fault, in the enum's order, so that a fault is its row's index.
constexpr FaultText kFaultTexts[] = {
    {ChipFault::kNone, ""},
    {ChipFault::kSixteenBitBus, "a 16-bit data bus (the CPU wires eight data lines)"},
    {ChipFault::kMultiLevelCell,
     "more than one bit per cell (MLC needs ECC that this program does not write)"},
    {ChipFault::kNotPowerOfTwo, "a page, block or block count that is not a power of two"},
    {ChipFault::kNoSpareArea, "no spare area (nowhere for the bad-block marks)"},
    {ChipFault::kAddressCycles, "address cycles that cannot reach every page"},
    {ChipFault::kSizeOutOfRange, "a page, block or chip size outside what this program drives"},
    {ChipFault::kNoParameterPage, "every copy of the ONFI parameter page fails its CRC"},
    {ChipFault::kParameterPageBusy, "the ONFI parameter page never became ready"},
};

constexpr bool every_fault_in_its_row() {
  for (std::size_t i = 0; i < std::size(kFaultTexts); ++i)
    if (static_cast<std::size_t>(kFaultTexts[i].fault) != i) return false;
  return std::size(kFaultTexts) == static_cast<std::size_t>(ChipFault::kParameterPageBusy) + 1;
}
static_assert(every_fault_in_its_row());

}  // namespace

std::string_view chip_fault_text(ChipFault fault) {
  const auto row = static_cast<std::size_t>(fault);
  return row < std::size(kFaultTexts) ? kFaultTexts[row].text : "";
}

}  // namespace jtagnand
