// -m with nothing to write and no -e: the factory-marked blocks of the chip,
// or of the range of -o/-b and -l, listed as the bad-block list is. Nothing on
// the flash changes.

#include <cinttypes>
#include <optional>
#include <vector>

#include "driver/modes.h"
#include "nand/nand_program.h"
#include "nand/nand_read.h"

namespace jtagnand {

RunOutcome run_scan_markers(Run& run) {
  Console& console = run.console;
  NandBus bus{run.cable, run.target};
  const std::optional<ReadPlan> plan = prepare_read(run, bus);
  if (!plan) return RunOutcome::kFailed;
  const uint64_t offset = plan->offset;
  const uint64_t length = plan->length;
  // Every block the range touches.
  const uint32_t block_size = bus.flash.chip.block_size();
  const uint64_t end = offset + (length + block_size - 1) / block_size * block_size;
  print(console, "Checking factory bad-block marks from 0x%" PRIx64 " to 0x%" PRIx64 " ....\n\n",
        offset, end);

  std::vector<uint64_t> marked;
  const NandOutcome scanned = nand_scan_markers(bus, run.observer, offset, end, marked);
  print_pass_end(console, PassKind::kScan, scanned);
  if (scanned != NandOutcome::kDone) return RunOutcome::kFailed;
  console.write("\n\n");
  const uint64_t blocks = (end - offset) / block_size;
  if (marked.empty()) {
    print(console, "No factory-marked bad block in %" PRIu64 " blocks\n", blocks);
  } else {
    print_block_list(console, marked, block_size);
    print(console, "%zu factory-marked bad block%s in %" PRIu64 " blocks\n", marked.size(),
          marked.size() == 1 ? "" : "s", blocks);
  }
  return RunOutcome::kDone;
}

}  // namespace jtagnand
