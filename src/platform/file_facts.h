#pragma once

// What the program asks the operating system about files and streams.

#include <cstdint>
#include <cstdio>

namespace jtagnand {

struct FileFacts {
  // A regular file whose size the file system knows. Pipes, FIFOs, devices
  // and files such as /proc's (size 0 whatever they hold) are not: they are
  // read to their end instead.
  bool sized = false;
  uint64_t size = 0;  // when sized
};

// Facts of an open file; false when the system cannot say.
[[nodiscard]] bool file_facts(std::FILE* file, FileFacts& facts);

// True when standard output and standard error are both terminals.
[[nodiscard]] bool output_on_terminal();

}  // namespace jtagnand
