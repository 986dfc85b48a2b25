#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

#include "driver/run.h"
#include "nand/nand_bus.h"
#include "nand/nand_identify.h"

namespace jtagnand {

namespace {

constexpr int32_t kRunFailed = -1;

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
  if (bad_blocks.count <= 0) return;
  console.write("BAD Block number #");
  for (int32_t i = 0; i < bad_blocks.count; ++i) {
    if (i % 10 == 0) console.write("\n");
    print(console, " [%04" PRIu64 "]", bad_blocks.offsets[static_cast<size_t>(i)] / block_size);
  }
  console.write("\n");
}

}  // namespace

int32_t load_image_file(const char* path, ImageBuffer& image, Console& console) {
  if (path == nullptr) return kImageNone;
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    print(console, "Could not open file: %s.\n", path);
    return kImageNone;
  }
  struct stat status {};
  if (fstat(fileno(file), &status) != 0) {
    std::fclose(file);
    print(console, "Could not open file: %s.\n", path);
    return kImageNone;
  }
  const auto size = static_cast<uint64_t>(status.st_size);
  if (size == 0) {
    std::fclose(file);
    return 0;
  }
  if (size > static_cast<uint64_t>(INT32_MAX)) {
    std::fclose(file);
    print(console, "Image file %s is too large (%" PRIu64 " bytes).\n", path, size);
    return kImageUnusable;
  }
  std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[static_cast<size_t>(size)]());
  if (!data) {
    std::fclose(file);
    print(console, "Not enough memory for the image file %s (%" PRIu64 " bytes).\n", path, size);
    return kImageUnusable;
  }
  const size_t got = std::fread(data.get(), 1, static_cast<size_t>(size), file);
  std::fclose(file);
  if (got != size) {
    print(console, "Could not read file: %s (%zu of %" PRIu64 " bytes read).\n", path, got, size);
    return kImageUnusable;
  }
  image.data = std::move(data);
  image.length = static_cast<int32_t>(size);
  return image.length;
}

int32_t run_programming(Run& run) {
  Console& console = run.console;
  RunOptions& options = run.options;

  uint32_t image_length = 0;
  bool image_missing = false;  // a file was named but could not be opened
  if (options.image_path != nullptr) {
    const int32_t loaded = load_image_file(options.image_path, run.image, console);
    // An image that exists but cannot be used stops the run before the target
    // is touched; a missing one lets the chip still be identified (and erased).
    if (loaded == kImageUnusable) return kRunFailed;
    image_missing = loaded == kImageNone;
    if (loaded > 0) image_length = static_cast<uint32_t>(loaded);
  }

  NandBus bus{run.cable, run.target};
  FlashInfo& flash = bus.flash;
  flash = FlashInfo{};

  if (check_idcode(run.cable, console, run.target.idcode_instruction,
                   run.target.profile->expected_idcode.data()) != 0) {
    console.write("Fail, Read JTAG ID\n");
    return kRunFailed;
  }
  run.start_time = run.clock.now_seconds();

  scan_ir(run.cable, kInstructionLength, kInstructionCodes.extest.data());
  nand_chip_select(bus, '1');

  if (nand_identify(bus, console) != 0) {
    console.write("Fail, Read Flash ID\n");
    return kRunFailed;
  }
  nand_print_chip(console, flash);
  const uint32_t block_size = flash.chip.block_size();
  const uint64_t total_size = flash.chip.total_size();

  if (options.write_offset != 0 && options.block_count != 0) {
    console.write("Invald Offset Option\n");
    return kRunFailed;
  }
  // The offset in 64 bits, so that a block count too large for the chip is
  // caught instead of wrapping around.
  uint64_t offset = options.write_offset;
  if (options.block_count != 0) {
    offset = static_cast<uint64_t>(options.block_count) * block_size;
    options.write_offset = static_cast<uint32_t>(offset);
  }
  if ((options.write_offset & (block_size - 1)) != 0) {
    console.write("Not alignd writing address\n");
    return kRunFailed;
  }
  if (image_length > 0 && offset + image_length > total_size) {
    print(console,
          "Image does not fit: %" PRIu32 " bytes at offset 0x%" PRIx64
          " run past the end of the %" PRIu64 "-byte chip\n",
          image_length, offset, total_size);
    return kRunFailed;
  }
  console.write("\n");

  int32_t result = 0;
  if (options.erase_all) {
    if (!confirm_erase_all(console)) return kRunFailed;
    result = nand_erase_range(bus, run.bad_blocks, console, 0, total_size);
  } else {
    if (image_length == 0) return kRunFailed;
    result = nand_erase_range(bus, run.bad_blocks, console, options.write_offset, image_length);
  }
  if (result != 0) return result;
  console.write("\n");

  if (image_length == 0) {
    // The whole chip was erased and there was nothing to write (no image, or an
    // empty one): that was the job. A named image that could not be opened
    // leaves the run failed.
    run.done_without_write = !image_missing;
    return kRunFailed;
  }

  print_bad_blocks(console, run.bad_blocks, block_size);
  print(console, "Programing & Verifying to 0x%x offset ....\n\n", options.write_offset);
  result = nand_program_image(bus, run.bad_blocks, console, options.write_offset,
                              run.image.data.get(), image_length);
  if (result == 0) console.write("\nVerify GOOD!!\n");
  return result;
}

}  // namespace jtagnand
