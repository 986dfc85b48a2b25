#pragma once

// A file that is written whole or not at all: the bytes go to a new file
// beside the target, which takes the target's name only once every byte is
// written and on the disk. Until then the target is as it was, and a run that
// stops (ESC, a chip that never becomes ready, a full disk) leaves nothing
// behind.

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace jtagnand {

class ReplacingFile {
 public:
  ReplacingFile() = default;
  ~ReplacingFile();  // abandons a file that was not committed
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;

  // Creates the new file beside `path` (a name of its own, never an existing
  // file). `path` must be missing or a plain file; a symbolic link is followed
  // to the file it names. False, with the reason in `error`, when it cannot.
  [[nodiscard]] bool open(const std::string& path, std::string& error);

  // Appends `bytes`. False, with the reason, on a write error (a full disk).
  [[nodiscard]] bool write(std::span<const uint8_t> bytes, std::string& error);

  // Writes everything out, closes the new file and gives it the target's name
  // (replacing the old file in one step). False, with the reason, when any of
  // it fails; the new file is then removed and the target left as it was.
  [[nodiscard]] bool commit(std::string& error);

  // Closes and removes the new file; the target is left as it was.
  void abandon();

  [[nodiscard]] const std::string& temporary_path() const { return temporary_; }

 private:
  std::string target_;
  std::string temporary_;
  std::FILE* file_ = nullptr;
};

}  // namespace jtagnand
