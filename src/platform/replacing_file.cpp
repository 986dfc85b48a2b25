#include "platform/replacing_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/exit_cleanup.h"

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#endif

namespace jtagnand {

namespace {

// Creates `name` for writing only when no file of that name exists.
std::FILE* create_new(const std::string& name) {
#if defined(_WIN32)
  const int fd =
      _open(name.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd < 0) return nullptr;
  std::FILE* file = _fdopen(fd, "wb");
  if (file == nullptr) _close(fd);
#else
  const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, "wb");
  if (file == nullptr) ::close(fd);
#endif
  return file;
}

int process_id() {
#if defined(_WIN32)
  return _getpid();
#else
  return static_cast<int>(getpid());
#endif
}

// Puts the written bytes on the disk before the new file takes the target's
// name, so that a crash cannot leave an empty file under that name.
bool sync(std::FILE* file) {
#if defined(_WIN32)
  return _commit(_fileno(file)) == 0;
#else
  return fsync(fileno(file)) == 0;
#endif
}

// Gives `from` the name `to`, replacing a file there in one step.
bool rename_over(const std::string& from, const std::string& to, std::string& error) {
#if defined(_WIN32)
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  error = std::system_category().message(static_cast<int>(GetLastError()));
  return false;
#else
  if (std::rename(from.c_str(), to.c_str()) == 0) return true;
  error = std::strerror(errno);
  return false;
#endif
}

}  // namespace

ReplacingFile::~ReplacingFile() {
  abandon();
}

bool ReplacingFile::open(const std::string& path, std::string& error) {
  namespace fs = std::filesystem;
  abandon();
  if (path.empty()) {
    error = "no file name";
    return false;
  }
  std::error_code failure;
  const fs::file_status status = fs::status(path, failure);
  const bool exists = status.type() != fs::file_type::not_found;
  if (exists && failure) {
    error = failure.message();
    return false;
  }
  // A device or a FIFO would be replaced by a plain file, not written: refused.
  if (exists && !fs::is_regular_file(status)) {
    error = "not a plain file";
    return false;
  }
  target_ = path;
  if (exists && fs::is_symlink(fs::symlink_status(path, failure))) {
    // Write the file the link names, and keep the link.
    const fs::path resolved = fs::canonical(path, failure);
    if (failure) {
      error = failure.message();
      return false;
    }
    target_ = resolved.string();
  } else if (!exists && fs::is_symlink(fs::symlink_status(path, failure))) {
    // A link to a file not there yet: the file is made where the link points,
    // as a shell's redirection would make it, and the link kept.
    fs::path resolved = path;
    std::error_code unreadable;
    std::error_code missing;  // set for the missing file itself: not a failure
    for (int hop = 0; hop < 40 && fs::is_symlink(fs::symlink_status(resolved, missing)); ++hop) {
      const fs::path next = fs::read_symlink(resolved, unreadable);
      if (unreadable) break;
      resolved = next.is_absolute() ? next : resolved.parent_path() / next;
    }
    if (unreadable || fs::is_symlink(fs::symlink_status(resolved, missing))) {
      error = "a symbolic link that leads nowhere";
      return false;
    }
    target_ = resolved.string();
  }
#if !defined(_WIN32)
  // A file the user may not write is not replaced behind its back; one that
  // is replaced keeps its permissions (a read-only file stays read-only).
  mode_t keep_mode = 0;
  bool keep = false;
  if (exists) {
    struct stat facts {};
    if (access(target_.c_str(), W_OK) != 0) {
      error = std::strerror(errno);
      return false;
    }
    if (stat(target_.c_str(), &facts) == 0) {
      keep_mode = facts.st_mode & 07777;
      keep = true;
    }
  }
#endif
#if !defined(_WIN32)
  // Past a file-size limit a write fails with EFBIG and is reported like a
  // full disk, instead of SIGXFSZ ending the process with the new file left
  // behind.
  std::signal(SIGXFSZ, SIG_IGN);
#endif
  const std::string stem = target_ + ".jtagnand-" + std::to_string(process_id()) + "-";
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = stem + std::to_string(attempt);
    // A signal (Ctrl-C, a closed terminal, kill) or std::exit must not leave
    // the new file behind either: it is registered for removal before a
    // signal can end the process.
    const CleanupSignalsHeld held;
    errno = 0;
    file_ = create_new(name);
    if (file_ != nullptr) {
      temporary_ = name;
#if !defined(_WIN32)
      if (keep) fchmod(fileno(file_), keep_mode);
#endif
      cleanup_remove_file(temporary_);
      return true;
    }
    if (errno != EEXIST) break;
  }
  error = std::string("cannot create a file beside it: ") + std::strerror(errno);
  return false;
}

bool ReplacingFile::write(std::span<const uint8_t> bytes, std::string& error) {
  if (file_ == nullptr) {
    error = "not open";
    return false;
  }
  errno = 0;
  if (std::fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size()) return true;
  error = errno != 0 ? std::strerror(errno) : "write error";
  return false;
}

bool ReplacingFile::commit(std::string& error) {
  if (file_ == nullptr) {
    error = "not open";
    return false;
  }
  errno = 0;
  bool written = std::fflush(file_) == 0 && sync(file_);
  if (!written) error = errno != 0 ? std::strerror(errno) : "write error";
  errno = 0;
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  if (written && !closed) error = errno != 0 ? std::strerror(errno) : "close error";
  written = written && closed && rename_over(temporary_, target_, error);
  if (!written) {
    std::remove(temporary_.c_str());
  }
  cleanup_keep_file();
  temporary_.clear();
  return written;
}

void ReplacingFile::abandon() {
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
  }
  if (!temporary_.empty()) {
    std::remove(temporary_.c_str());
    cleanup_keep_file();
    temporary_.clear();
  }
}

}  // namespace jtagnand
