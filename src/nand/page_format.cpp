#include "nand/page_format.h"

#include <algorithm>

namespace jtagnand {

void nand_compose_page(const ChipDescriptor& chip, const PageFormat& format,
                       std::span<const uint8_t> main, const uint8_t* spare,
                       std::span<uint8_t> out) {
  std::fill(out.begin(), out.end(), uint8_t{0xFF});
  std::copy(main.begin(), main.end(), out.begin());
  if (format.with_spare && spare != nullptr) {
    std::copy(spare, spare + chip.spare_size, out.begin() + chip.page_size);
  }
  if (format.ecc != nullptr) {
    format.ecc->encode(out.first(chip.page_size), out.subspan(chip.page_size, chip.spare_size));
  }
}

}  // namespace jtagnand
