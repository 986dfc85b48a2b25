#include "sim/flash_store.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace jtagnand::sim {

// The chip's file, reached with the operating system's own calls: a page-sized
// access is one positioned read or write, nothing is held back from the file,
// and the file can be created only when it is missing and locked against a
// second board. Every call reports failure; the reason is kept for the message.
class FlashStore::File {
 public:
  File() = default;
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens `path` for reading and writing, creating it (empty) only when it does
  // not exist, and locks it. An existing file is never changed here. Empty on
  // success, else what stands in the way.
  [[nodiscard]] std::string open(const std::string& path);
  [[nodiscard]] bool size(uint64_t& bytes);
  [[nodiscard]] bool read(uint64_t offset, std::span<uint8_t> out);
  [[nodiscard]] bool write(uint64_t offset, std::span<const uint8_t> bytes);
  // Puts the file back as open() found it after a failed fill: cut back to
  // `original_size`, or removed when open() created it.
  void undo_fill(uint64_t original_size);

  // The reason of the last failure ("No space left on device").
  [[nodiscard]] std::string reason() const;

  // A chip whose store fails cannot go on: the program would next judge bytes
  // that are not in the file, and report a wrong read-back instead of the
  // cause. Said on standard error; the process ends.
  [[noreturn]] void fail(const char* what) const {
    std::fprintf(stderr, "sim: flash file %s: %s: %s\n", path_.c_str(), what, reason().c_str());
    std::fflush(stderr);
    std::exit(kFlashFileFailedExit);
  }

  // Room for one page's old contents while it is programmed.
  std::vector<uint8_t> scratch;
  // One erased block, written by every erase.
  std::vector<uint8_t> erased;

 private:
  std::string path_;
  bool created_ = false;
#if defined(_WIN32)
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  DWORD error_ = 0;
#else
  int fd_ = -1;
  int error_ = 0;
#endif
};

namespace {
constexpr const char* kShortFile = "the file ends before the chip does";
}  // namespace

#if defined(_WIN32)

FlashStore::File::~File() {
  if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
}

std::string FlashStore::File::reason() const {
  if (error_ == 0) return kShortFile;
  char text[256] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, error_, 0, text, sizeof text, nullptr);
  std::string message(text, n);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == '.' || message.back() == ' '))
    message.pop_back();
  return message.empty() ? "error " + std::to_string(error_) : message;
}

std::string FlashStore::File::open(const std::string& path) {
  path_ = path;
  // Others may read the file meanwhile (cmp, a hex viewer), nobody else may
  // write it: a second board, which asks to write, meets a sharing violation.
  // That is the lock.
  constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE;
  handle_ = CreateFileA(path.c_str(), kAccess, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle_ == INVALID_HANDLE_VALUE) {
    error_ = GetLastError();
    if (error_ == ERROR_SHARING_VIOLATION) return "in use by another simulated board";
    if (error_ != ERROR_FILE_NOT_FOUND)
      return "cannot open it for reading and writing: " + reason() + "; it is left as it is";
    handle_ = CreateFileA(path.c_str(), kAccess, FILE_SHARE_READ, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
      error_ = GetLastError();
      return "cannot create it: " + reason();
    }
    created_ = true;
  }
  if (GetFileType(handle_) != FILE_TYPE_DISK) return "not a plain file; it is left as it is";
  return {};
}

bool FlashStore::File::size(uint64_t& bytes) {
  LARGE_INTEGER length{};
  if (!GetFileSizeEx(handle_, &length)) {
    error_ = GetLastError();
    return false;
  }
  bytes = static_cast<uint64_t>(length.QuadPart);
  return true;
}

namespace {
OVERLAPPED at_offset(uint64_t offset) {
  OVERLAPPED position{};
  position.Offset = static_cast<DWORD>(offset);
  position.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return position;
}
}  // namespace

bool FlashStore::File::read(uint64_t offset, std::span<uint8_t> out) {
  while (!out.empty()) {
    OVERLAPPED position = at_offset(offset);
    DWORD got = 0;
    if (!ReadFile(handle_, out.data(), static_cast<DWORD>(out.size()), &got, &position)) {
      error_ = GetLastError();
      if (error_ == ERROR_HANDLE_EOF) error_ = 0;
      return false;
    }
    if (got == 0) {
      error_ = 0;
      return false;
    }
    out = out.subspan(got);
    offset += got;
  }
  return true;
}

bool FlashStore::File::write(uint64_t offset, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    OVERLAPPED position = at_offset(offset);
    DWORD put = 0;
    if (!WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &put, &position)) {
      error_ = GetLastError();
      return false;
    }
    bytes = bytes.subspan(put);
    offset += put;
  }
  return true;
}

void FlashStore::File::undo_fill(uint64_t original_size) {
  if (created_) {
    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    DeleteFileA(path_.c_str());
    return;
  }
  LARGE_INTEGER end{};
  end.QuadPart = static_cast<LONGLONG>(original_size);
  if (SetFilePointerEx(handle_, end, nullptr, FILE_BEGIN)) SetEndOfFile(handle_);
}

#else

static_assert(sizeof(off_t) >= 8, "a 1 GiB chip needs 64-bit file offsets");

FlashStore::File::~File() {
  if (fd_ >= 0) close(fd_);
}

std::string FlashStore::File::reason() const {
  return error_ == 0 ? kShortFile : std::strerror(error_);
}

std::string FlashStore::File::open(const std::string& path) {
  path_ = path;
  // Only a plain file is a chip: a device or a FIFO is not even opened, as an
  // open alone may do something to it.
  struct stat info {};
  if (stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode))
    return "not a plain file; it is left as it is";
  fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (fd_ < 0) {
    error_ = errno;
    if (error_ != ENOENT)
      return "cannot open it for reading and writing: " + reason() + "; it is left as it is";
    // Missing: create it, and only if it is still missing.
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ < 0) {
      error_ = errno;
      return "cannot create it: " + reason();
    }
    created_ = true;
  }
  if (fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode))
    return "not a plain file; it is left as it is";
  // One board per file: two boards writing one file would each report success
  // over a file that holds neither image. A file system without locks
  // (ENOLCK, EINVAL) still serves a single board.
  if (flock(fd_, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
    return "in use by another simulated board";
  return {};
}

bool FlashStore::File::size(uint64_t& bytes) {
  struct stat info {};
  if (fstat(fd_, &info) != 0) {
    error_ = errno;
    return false;
  }
  bytes = static_cast<uint64_t>(info.st_size);
  return true;
}

bool FlashStore::File::read(uint64_t offset, std::span<uint8_t> out) {
  while (!out.empty()) {
    const ssize_t got = pread(fd_, out.data(), out.size(), static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      error_ = got < 0 ? errno : 0;
      return false;
    }
    out = out.subspan(static_cast<std::size_t>(got));
    offset += static_cast<uint64_t>(got);
  }
  return true;
}

bool FlashStore::File::write(uint64_t offset, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t put = pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      error_ = put < 0 ? errno : ENOSPC;
      return false;
    }
    bytes = bytes.subspan(static_cast<std::size_t>(put));
    offset += static_cast<uint64_t>(put);
  }
  return true;
}

void FlashStore::File::undo_fill(uint64_t original_size) {
  if (created_) {
    unlink(path_.c_str());
    return;
  }
  static_cast<void>(ftruncate(fd_, static_cast<off_t>(original_size)));
}

#endif

FlashStore::FlashStore(uint64_t total_size, uint32_t block_size)
    : total_size_(total_size),
      block_size_(block_size),
      blocks_(static_cast<std::size_t>(total_size / block_size), block_size) {}

FlashStore::FlashStore(uint64_t total_size, uint32_t block_size, std::unique_ptr<File> file)
    : total_size_(total_size), block_size_(block_size), file_(std::move(file)), blocks_(0, 0) {
  file_->erased.assign(block_size_, 0xFF);
}

FlashStore::~FlashStore() = default;

std::unique_ptr<FlashStore> FlashStore::open_file(const std::string& path, uint64_t total_size,
                                                  uint32_t block_size, std::string& error) {
  auto file = std::make_unique<File>();
  const std::string refusal = file->open(path);
  if (!refusal.empty()) {
    error = "flash file " + path + ": " + refusal;
    return nullptr;
  }
  uint64_t size = 0;
  if (!file->size(size)) {
    error = "flash file " + path + ": cannot find its size: " + file->reason();
    return nullptr;
  }
  if (size > total_size) {
    error = "flash file " + path + " holds " + std::to_string(size) +
            " bytes, more than the chip's " + std::to_string(total_size);
    return nullptr;
  }
  // Whatever the file lacks reads as erased: append 0xFF up to the chip's size.
  if (!fill_erased(size, total_size, [&](uint64_t at, std::span<const uint8_t> bytes) {
        return file->write(at, bytes);
      })) {
    error = "flash file " + path + ": cannot fill it with erased bytes to the chip's " +
            std::to_string(total_size) + ": " + file->reason() + "; it is left as it was";
    file->undo_fill(size);
    return nullptr;
  }
  return std::unique_ptr<FlashStore>(new FlashStore(total_size, block_size, std::move(file)));
}

// Walks [offset, offset + length) block by block, clipped to the chip.
template <typename Fn>
static void for_each_piece(uint64_t offset, std::size_t length, uint64_t total, uint32_t block_size,
                           Fn&& fn) {
  std::size_t done = 0;
  while (done < length && offset + done < total) {
    const uint64_t at = offset + done;
    const auto block = static_cast<uint32_t>(at / block_size);
    const auto within = static_cast<uint32_t>(at % block_size);
    const auto n = static_cast<std::size_t>(
        std::min<uint64_t>({uint64_t{block_size} - within, length - done, total - at}));
    fn(block, within, done, n);
    done += n;
  }
}

void FlashStore::read(uint64_t offset, std::span<uint8_t> out) const {
  std::fill(out.begin(), out.end(), uint8_t{0xFF});
  for_each_piece(offset, out.size(), total_size_, block_size_,
                 [&](uint32_t block, uint32_t within, std::size_t done, std::size_t n) {
                   if (file_) {
                     if (!file_->read(uint64_t{block} * block_size_ + within, out.subspan(done, n)))
                       file_->fail("cannot read");
                   } else if (const uint8_t* b = blocks_.find(block)) {
                     std::memcpy(out.data() + done, b + within, n);
                   }
                 });
}

void FlashStore::write(uint64_t offset, std::span<const uint8_t> bytes) {
  for_each_piece(
      offset, bytes.size(), total_size_, block_size_,
      [&](uint32_t block, uint32_t within, std::size_t done, std::size_t n) {
        if (file_) {
          if (!file_->write(uint64_t{block} * block_size_ + within, bytes.subspan(done, n)))
            file_->fail("cannot write");
        } else {
          std::memcpy(blocks_.writable(block) + within, bytes.data() + done, n);
        }
      });
}

void FlashStore::program(uint64_t offset, std::span<const uint8_t> bytes) {
  for_each_piece(offset, bytes.size(), total_size_, block_size_,
                 [&](uint32_t block, uint32_t within, std::size_t done, std::size_t n) {
                   // Bytes that stay 0xFF change nothing: leave erased blocks unallocated
                   // and the file untouched.
                   const std::span<const uint8_t> piece = bytes.subspan(done, n);
                   if (all_erased(piece)) return;
                   if (file_) {
                     const uint64_t at = uint64_t{block} * block_size_ + within;
                     std::vector<uint8_t>& old = file_->scratch;
                     old.assign(n, 0xFF);
                     if (!file_->read(at, old)) file_->fail("cannot read");
                     program_cells(old.data(), piece);
                     if (!file_->write(at, old)) file_->fail("cannot write");
                     return;
                   }
                   program_cells(blocks_.writable(block) + within, piece);
                 });
}

void FlashStore::erase_block(uint32_t block) {
  if (uint64_t{block} * block_size_ >= total_size_) return;
  if (file_) {
    if (!file_->write(uint64_t{block} * block_size_, file_->erased)) file_->fail("cannot write");
  } else {
    blocks_.erase(block);
  }
}

}  // namespace jtagnand::sim
