#pragma once

// A CPU profile built at run time from a board description and the CPU's BSDL
// file: the instruction register and its codes, the IDCODE with its don't-care
// bits, every cell the NAND bus drives or reads, the vectors (as long as the
// register in hand) and the CPU's place on the chain.

#include <string>
#include <string_view>
#include <vector>

#include "bsdl/board.h"
#include "targets/profile.h"

namespace jtagnand {

// Makes the CPU of an already derived pin map the active profile, named
// `name`. The run's vector starts as the map's idle vector: the flash
// deselected and idle, its data lines listening, the hold pins at their levels,
// every other pin undriven.
void select_described_profile(ActiveProfile& active, const bsdl::PinMap& map,
                              std::string_view name);

// Reads the board description at `path` and the BSDL file it names, derives
// the pin map and makes that CPU the active profile. False with `error`
// ("FILE:LINE: what") when either file cannot be used; `active` is then
// unchanged. Opens nothing but the two files.
[[nodiscard]] bool load_described_profile(ActiveProfile& active, const std::string& path,
                                          std::string& error);
// The same, with what the user should know but that does not stop the run
// ("FILE: ..." lines for standard error) added to `notes`.
[[nodiscard]] bool load_described_profile(ActiveProfile& active, const std::string& path,
                                          std::string& error, std::vector<std::string>& notes);

}  // namespace jtagnand
