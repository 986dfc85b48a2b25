#include "driver/image.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <new>

#include "nand/chip_descriptor.h"
#include "platform/file_facts.h"

namespace jtagnand {

namespace {

// Read from a stream before the target is touched: enough to meet a read
// error at once, little enough to cost nothing.
constexpr uint64_t kFirstBytes = 64 * 1024;

// The most an image can hold: what the largest chip holds, and what one block
// of memory can address here.
constexpr uint64_t kLargestImage = std::min<uint64_t>(kNandMaxChipSize, SIZE_MAX);

// Makes room for `want` bytes, keeping what is held. A stream asks for twice
// what it holds each time, so the copies cost no more than the bytes.
[[nodiscard]] bool make_room(ImageBuffer& buffer, uint64_t want) {
  if (want <= buffer.room) return true;
  if (want > kLargestImage) return false;
  std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[static_cast<size_t>(want)]);
  if (!data) return false;
  // length <= room <= kLargestImage, which fits in size_t.
  if (buffer.length > 0)
    std::memcpy(data.get(), buffer.data.get(), static_cast<size_t>(buffer.length));
  buffer.data = std::move(data);
  buffer.room = want;
  return true;
}

enum class StreamRead : uint8_t { kEnded, kLimit, kError, kNoMemory };

// Reads until the stream ends or `limit` bytes are held.
[[nodiscard]] StreamRead read_stream(std::FILE* file, ImageBuffer& buffer, uint64_t limit) {
  while (buffer.length < limit) {
    const uint64_t want = std::min(limit, std::max(buffer.length * 2, kFirstBytes));
    if (!make_room(buffer, want)) return StreamRead::kNoMemory;
    const size_t got = std::fread(buffer.data.get() + buffer.length, 1,
                                  static_cast<size_t>(want - buffer.length), file);
    buffer.length += got;
    if (got == 0 || buffer.length < want) {
      if (std::ferror(file) != 0) return StreamRead::kError;
      if (std::feof(file) != 0) return StreamRead::kEnded;
    }
  }
  return StreamRead::kLimit;
}

void report_stream_failure(StreamRead result, const ImageFile& image, Console& console) {
  if (result == StreamRead::kNoMemory) {
    print(console, "Not enough memory for the image file %s (%" PRIu64 " bytes read).\n",
          image.path, image.buffer.length);
  } else {
    print(console, "Could not read file: %s (%s, %" PRIu64 " bytes read).\n", image.path,
          std::strerror(errno), image.buffer.length);
  }
}

}  // namespace

bool open_image(const char* path, ImageFile& image, Console& console) {
  image.path = path;
  if (path == nullptr) return true;
  std::FILE* opened = std::fopen(path, "rb");
  FileFacts facts;
  if (opened == nullptr || !file_facts(opened, facts)) {
    if (opened != nullptr) std::fclose(opened);
    print(console, "Could not open file: %s.\n", path);
    image.unusable = true;
    return true;
  }
  image.file.reset(opened);

  if (!facts.sized) {
    image.stream = true;
    errno = 0;
    const StreamRead first = read_stream(opened, image.buffer, kFirstBytes);
    if (first == StreamRead::kError || first == StreamRead::kNoMemory) {
      report_stream_failure(first, image, console);
      image.unusable = true;
      return false;
    }
    image.pending = first == StreamRead::kLimit;
    if (!image.pending) image.file.reset();
    return true;
  }

  const uint64_t size = facts.size;
  if (size > kLargestImage) {
    image.file.reset();
    print(console, "Image file %s is too large (%" PRIu64 " bytes).\n", path, size);
    image.unusable = true;
    return false;
  }
  if (!make_room(image.buffer, size)) {
    image.file.reset();
    print(console, "Not enough memory for the image file %s (%" PRIu64 " bytes).\n", path, size);
    image.unusable = true;
    return false;
  }
  const size_t got = std::fread(image.buffer.data.get(), 1, static_cast<size_t>(size), opened);
  image.file.reset();
  if (got != size) {
    print(console, "Could not read file: %s (%zu of %" PRIu64 " bytes read).\n", path, got, size);
    image.unusable = true;
    return false;
  }
  image.buffer.length = size;
  return true;
}

ImageRest finish_image(ImageFile& image, uint64_t room, Console& console) {
  if (image.buffer.length > room) return ImageRest::kTooLong;
  if (!image.pending) return ImageRest::kRead;
  errno = 0;
  const StreamRead rest = read_stream(image.file.get(), image.buffer, room + 1);
  image.pending = false;
  image.file.reset();
  if (rest == StreamRead::kError || rest == StreamRead::kNoMemory) {
    report_stream_failure(rest, image, console);
    image.unusable = true;
    return ImageRest::kFailed;
  }
  return image.buffer.length > room ? ImageRest::kTooLong : ImageRest::kRead;
}

}  // namespace jtagnand
