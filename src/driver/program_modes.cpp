// The modes that work with an image: the image where -o or -b puts it, the
// whole chip erased after a question (then the image, if one was given), and
// the image compared with the flash without writing (-v).

#include <cinttypes>
#include <cstdio>
#include <optional>

#include "driver/modes.h"
#include "nand/nand_program.h"
#include "nand/nand_read.h"

namespace jtagnand {

namespace {

// The operator's answer to the erase-all question: true for y/Y, false for
// n/N or when no answer can ever come.
bool confirm_erase_all(Console& console) {
  console.write("erase all flash. Continue ? [Y/N] ");
  for (;;) {
    const int key = console.read_key();
    if (key < 0) {
      console.write("\n\n");
      console.write("No answer: input ended, nothing erased\n");
      return false;
    }
    if (key == 'y' || key == 'Y' || key == 'n' || key == 'N') {
      console.write("\n\n");
      return key == 'y' || key == 'Y';
    }
  }
}

void print_bad_blocks(Console& console, const BadBlockList& bad_blocks, uint32_t block_size) {
  print_block_list(console,
                   std::span(bad_blocks.offsets).first(static_cast<size_t>(bad_blocks.count)),
                   block_size);
}

// Where the image goes, once the chip is known.
struct WritePlan {
  uint64_t offset = 0;  // block aligned
  uint64_t length = 0;  // main-area bytes; 0: nothing to write
  PageFormat format{};  // -O and -E
};

// What every writing mode does before anything is erased: the image opened
// (a regular file read whole) before the target is touched, the chip
// identified, the offset checked, the rest of a streamed image read, and the
// image checked to fit. Ends with the empty line before the erase. Nothing
// when the run must stop (a named image that cannot be read included); the
// reason is printed.
std::optional<WritePlan> prepare_write(Run& run, NandBus& bus) {
  Console& console = run.console;
  const RunOptions& options = run.options;
  if (!open_image(options.image_path, run.image, console)) return std::nullopt;
  if (!identify_flash(run, bus)) return std::nullopt;

  const ChipDescriptor& chip = bus.flash.chip;
  const uint64_t total_size = chip.total_size();
  const std::optional<uint64_t> aligned = flash_offset(run, chip, "Not alignd writing address\n");
  if (!aligned) return std::nullopt;
  const uint64_t offset = *aligned;
  PageFormat format;
  if (!page_format(run, chip, format)) return std::nullopt;
  // With -O the image holds each page's spare bytes after it: its length on
  // the flash counts the main areas only.
  const uint32_t unit = format.unit(chip);

  ImageBuffer& image = run.image.buffer;
  if (run.image.stream) {
    // A stream's length is known only at its end: read no more than one byte
    // past what the chip holds from the offset.
    const uint64_t room = offset < total_size ? total_size - offset : 0;
    switch (finish_image(run.image, room / chip.page_size * unit, console)) {
      case ImageRest::kRead:
        break;
      case ImageRest::kTooLong:
        print(console,
              "Image does not fit: more than %" PRIu64 " bytes at offset 0x%" PRIx64
              " run past the end of the %" PRIu64 "-byte chip\n",
              room, offset, total_size);
        return std::nullopt;
      case ImageRest::kFailed:
        return std::nullopt;
    }
  }
  if (options.with_spare && image.length % unit != 0) {
    print(console,
          "** Error: with -O the image holds whole pages with their spare area, %u + %u = %u "
          "bytes each; %" PRIu64 " bytes is not a multiple of %u\n",
          chip.page_size, chip.spare_size, unit, image.length, unit);
    return std::nullopt;
  }
  const uint64_t length = options.with_spare ? image.length / unit * chip.page_size : image.length;
  if (!run.image.stream && length > 0 && offset + length > total_size) {
    print(console,
          "Image does not fit: %" PRIu64 " bytes at offset 0x%" PRIx64
          " run past the end of the %" PRIu64 "-byte chip\n",
          length, offset, total_size);
    return std::nullopt;
  }
  console.write("\n");
  // A named image that cannot be read fails the run whatever else it would do:
  // it stops here, before any question or erase, with the flash as it was.
  if (run.image.unusable) return std::nullopt;
  return WritePlan{.offset = offset, .length = length, .format = format};
}

// Erases from `offset` and says how it went.
bool erase_blocks(Run& run, NandBus& bus, uint64_t offset, uint64_t length) {
  const NandOutcome erased = nand_erase_range(bus, run.bad_blocks, run.observer, offset, length,
                                              run.options.honour_markers);
  print_erase_end(run.console, erased);
  return erased == NandOutcome::kDone;
}

// The erase is done: programs the image page by page and reads each back.
RunOutcome write_image(Run& run, NandBus& bus, const WritePlan& plan) {
  Console& console = run.console;
  print_bad_blocks(console, run.bad_blocks, bus.flash.chip.block_size());
  // With -m, say where the image really goes: after an erase of the whole
  // chip each bad block below the offset (a marked one too) pushes it one
  // block up. Without it the line stays as it always was.
  uint64_t start = plan.offset;
  if (run.options.honour_markers) {
    for (int32_t i = 0; i < run.bad_blocks.count; ++i) {
      if (run.bad_blocks.offsets[static_cast<size_t>(i)] < start) {
        start += bus.flash.chip.block_size();
      }
    }
  }
  print(console, "Programing & Verifying to 0x%" PRIx64 " offset ....\n\n", start);
  const ProgramOptions options{.skip_erased_pages = run.options.skip_erased_pages,
                               .format = plan.format};
  ProgramReport report;
  const NandOutcome written =
      nand_program_image(bus, run.bad_blocks, run.observer, plan.offset,
                         run.image.buffer.data.get(), plan.length, options, &report);
  print_pass_end(console, PassKind::kWrite, written);
  if (written != NandOutcome::kDone) {
    if (plan.format.ecc != nullptr && report.ecc.corrected_bits != 0) {
      print_ecc_tally(console, run.options.ecc, report.ecc);
    }
    return RunOutcome::kFailed;
  }
  if (options.skip_erased_pages) {
    const uint32_t page_size = bus.flash.chip.page_size;
    print(console, "\nErased pages (all 0xFF) not programmed: %" PRIu64 " of %" PRIu64 "\n",
          report.skipped_pages, (plan.length + page_size - 1) / page_size);
  }
  if (plan.format.ecc != nullptr) print_ecc_tally(console, run.options.ecc, report.ecc);
  console.write("\nVerify GOOD!!\n");
  return RunOutcome::kVerified;
}

}  // namespace

RunOutcome run_erase_all(Run& run) {
  Console& console = run.console;
  NandBus bus{run.cable, run.target};
  const std::optional<WritePlan> plan = prepare_write(run, bus);
  if (!plan) return RunOutcome::kFailed;
  if (!confirm_erase_all(console)) return RunOutcome::kFailed;
  if (!erase_blocks(run, bus, 0, bus.flash.chip.total_size())) return RunOutcome::kFailed;
  console.write("\n");
  // Without an image (or with an empty one) the erase was the whole job.
  if (plan->length == 0) return RunOutcome::kDone;
  return write_image(run, bus, *plan);
}

RunOutcome run_program(Run& run) {
  Console& console = run.console;
  NandBus bus{run.cable, run.target};
  const std::optional<WritePlan> plan = prepare_write(run, bus);
  if (!plan) return RunOutcome::kFailed;
  if (plan->length == 0) {
    // Identifying the chip was the job; standard output stays as it was.
    std::fprintf(
        stderr, "jtagnand: chip identified, nothing to write (%s)\n",
        run.options.image_path == nullptr ? "no image given with -f" : "the image is empty");
    return RunOutcome::kDone;
  }
  if (!erase_blocks(run, bus, plan->offset, plan->length)) return RunOutcome::kFailed;
  console.write("\n");
  return write_image(run, bus, *plan);
}

RunOutcome run_verify_only(Run& run) {
  Console& console = run.console;
  NandBus bus{run.cable, run.target};
  const std::optional<WritePlan> plan = prepare_write(run, bus);
  if (!plan) return RunOutcome::kFailed;
  if (plan->length == 0) {
    std::fprintf(stderr, "jtagnand: chip identified, nothing to verify (the image is empty)\n");
    return RunOutcome::kDone;
  }
  if (!reset_for_reading(run, bus)) return RunOutcome::kFailed;
  print(console, "Verifying at 0x%" PRIx64 " offset ....\n\n", plan->offset);
  uint64_t differing = 0;
  EccTally tally;
  const NandOutcome compared =
      nand_compare_image(bus, run.observer, plan->offset, run.image.buffer.data.get(), plan->length,
                         run.options.honour_markers, differing, plan->format, &tally);
  print_pass_end(console, PassKind::kVerify, compared);
  if (compared != NandOutcome::kDone) return RunOutcome::kFailed;
  if (plan->format.ecc != nullptr) print_ecc_tally(console, run.options.ecc, tally);
  print_uncorrectable_pages(console, tally, "compared as read");
  if (differing != 0 || !tally.uncorrectable.empty()) {
    print(console, "\nVerify FAILED: %" PRIu64 " of %" PRIu64 " bytes differ\n", differing,
          plan->length);
    return RunOutcome::kFailed;
  }
  console.write("\nVerify GOOD!!\n");
  return RunOutcome::kCompared;
}

}  // namespace jtagnand
