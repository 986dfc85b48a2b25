#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "platform/console.h"

namespace jtagnand {

// The image in memory, whole once it is read.
struct ImageBuffer {
  std::unique_ptr<uint8_t[]> data;
  uint64_t length = 0;
  uint64_t room = 0;  // bytes allocated
};

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// The image named with -f, from the moment it is opened until the run ends.
struct ImageFile {
  const char* path = nullptr;                   // the argument's own text; null without -f
  bool unusable = false;                        // named, but it could not be opened or read
  bool stream = false;                          // not a regular file of known size: read to its end
  bool pending = false;                         // a stream with more to read once the chip is known
  std::unique_ptr<std::FILE, FileCloser> file;  // open while pending
  ImageBuffer buffer;
};

// Before the target is touched: opens the image and reads a regular file whole
// (its size from the file system, the texts and their order as they always
// were). Of anything else (a pipe, a FIFO, a device, a /proc file) the first
// bytes are read now, so that a directory or a device that cannot be read
// stops the run here; the rest once the chip's size is known (finish_image).
// A file that cannot be opened is reported ("Could not open file: %s.\n") and
// marked unusable: the chip is still identified, nothing is erased. Returns
// false, after its message, when the run must stop at once: the file opened
// but cannot be read, is larger than any chip, or finds no memory.
[[nodiscard]] bool open_image(const char* path, ImageFile& image, Console& console);

enum class ImageRest : uint8_t {
  kRead,     // the image is whole in memory
  kTooLong,  // more than `room` bytes: it does not fit; reading stopped there
  kFailed,   // a read error or no memory, reported
};

// Reads the rest of a pending stream, stopping one byte past `room` (what the
// chip holds from the write offset), so that an endless stream such as
// /dev/zero costs no more memory than the chip's size. Nothing to do for an
// image that is already whole.
[[nodiscard]] ImageRest finish_image(ImageFile& image, uint64_t room, Console& console);

}  // namespace jtagnand
