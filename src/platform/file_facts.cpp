#include "platform/file_facts.h"

#if defined(_WIN32)
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace jtagnand {

bool file_facts(std::FILE* file, FileFacts& facts) {
#if defined(_WIN32)
  // The 64-bit status: the plain one holds a 32-bit size.
  struct _stat64 status {};
  if (_fstat64(_fileno(file), &status) != 0) return false;
  const bool regular = (status.st_mode & _S_IFMT) == _S_IFREG;
#else
  struct stat status {};
  if (fstat(fileno(file), &status) != 0) return false;
  const bool regular = S_ISREG(status.st_mode);
#endif
  // A regular file of size 0 may still have bytes to give (/proc, /sys): it
  // is read to its end like a stream.
  facts.sized = regular && status.st_size > 0;
  facts.size = facts.sized ? static_cast<uint64_t>(status.st_size) : 0;
  return true;
}

bool output_on_terminal() {
#if defined(_WIN32)
  return _isatty(_fileno(stdout)) != 0 && _isatty(_fileno(stderr)) != 0;
#else
  return isatty(fileno(stdout)) != 0 && isatty(fileno(stderr)) != 0;
#endif
}

}  // namespace jtagnand
