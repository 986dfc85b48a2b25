// -r FILE: the flash read into a file, from the offset of -o or -b, -l bytes
// or to the chip's end. With -m, marked blocks are stepped over as the
// programming pass steps over bad blocks, so that a dump with the same -b and
// -m as a programming run gives back the image.

#include <cinttypes>
#include <optional>
#include <string>

#include "driver/modes.h"
#include "nand/nand_program.h"
#include "nand/nand_read.h"
#include "platform/replacing_file.h"

namespace jtagnand {

RunOutcome run_dump(Run& run) {
  Console& console = run.console;
  const RunOptions& options = run.options;
  // The file is made before the target is touched: a directory that cannot
  // take it stops the run here. Until the last byte is in, FILE is as it was;
  // every way out below that does not commit removes the new file.
  ReplacingFile file;
  std::string error;
  if (!file.open(options.dump_path, error)) {
    print(console, "Could not create file: %s (%s)\n", options.dump_path, error.c_str());
    return RunOutcome::kFailed;
  }

  NandBus bus{run.cable, run.target};
  const std::optional<ReadPlan> plan = prepare_read(run, bus);
  if (!plan) return RunOutcome::kFailed;
  print(console, "Reading from 0x%" PRIx64 " offset ....\n\n", plan->offset);

  const PageSink into_file = [&](uint64_t, uint64_t, std::span<const uint8_t> bytes) {
    if (file.write(bytes, error)) return NandOutcome::kDone;
    print(console, "\nCould not write file: %s (%s)\n", options.dump_path, error.c_str());
    return NandOutcome::kSinkFailed;
  };
  // With -E a page ECC cannot correct goes into the file as read: the dump is
  // finished (every byte that can be had), the pages are listed, and the run
  // fails.
  EccTally tally;
  const ReadPass pass{.kind = PassKind::kRead,
                      .honour_markers = options.honour_markers,
                      .to_chip_end = !options.length_given,
                      .format = plan->format,
                      .tally = &tally};
  uint64_t done = 0;
  const NandOutcome read =
      nand_read_range(bus, run.observer, plan->offset, plan->length, pass, into_file, done);
  print_pass_end(console, PassKind::kRead, read);
  if (read != NandOutcome::kDone) return RunOutcome::kFailed;
  if (!file.commit(error)) {
    print(console, "\nCould not write file: %s (%s)\n", options.dump_path, error.c_str());
    return RunOutcome::kFailed;
  }
  const uint64_t in_file = done / bus.flash.chip.page_size * plan->format.unit(bus.flash.chip);
  print(console, "\n\n%" PRIu64 " bytes read into %s\n", options.with_spare ? in_file : done,
        options.dump_path);
  if (plan->format.ecc != nullptr) print_ecc_tally(console, options.ecc, tally);
  if (!tally.uncorrectable.empty()) {
    print_uncorrectable_pages(console, tally, "written to the file as read");
    return RunOutcome::kFailed;
  }
  return RunOutcome::kRead;
}

}  // namespace jtagnand
