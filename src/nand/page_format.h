#pragma once

// How a pass treats the spare area of each page: as part of the image (-O),
// as the place of the software ECC (-E), both, or not at all (the main area
// alone, as the program always did).

#include <cstdint>
#include <span>
#include <vector>

#include "ecc/ecc.h"
#include "nand/chip_descriptor.h"

namespace jtagnand {

struct PageFormat {
  // The image (or the dump) holds every page followed by its spare bytes.
  bool with_spare = false;
  // The ECC written into the spare area and used to correct what is read.
  const EccCodec* ecc = nullptr;

  // Whole pages with their spare area go over the bus.
  [[nodiscard]] bool whole_pages() const { return with_spare || ecc != nullptr; }
  // Image (or dump) bytes per page.
  [[nodiscard]] uint32_t unit(const ChipDescriptor& chip) const {
    return chip.page_size + (with_spare ? chip.spare_size : 0);
  }
};

// What ECC found over a pass.
struct EccTally {
  uint64_t corrected_bits = 0;
  uint64_t corrected_pages = 0;
  uint64_t pages = 0;
  std::vector<uint64_t> uncorrectable;  // flash offsets of the pages left as read

  void add(uint64_t offset, const EccPageResult& result) {
    ++pages;
    corrected_bits += result.corrected_bits;
    if (result.corrected_bits != 0) ++corrected_pages;
    if (result.uncorrectable_steps != 0) uncorrectable.push_back(offset);
  }
};

// The page and spare bytes a program writes for one page of the image:
// `main` (up to a page; the rest 0xFF), the image's spare bytes when it has
// them (else 0xFF), then the ECC bytes in their places.
void nand_compose_page(const ChipDescriptor& chip, const PageFormat& format,
                       std::span<const uint8_t> main, const uint8_t* spare, std::span<uint8_t> out);

}  // namespace jtagnand
