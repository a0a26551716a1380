#pragma once

// Thin layer over the file system. Errors carry only the operating system's message; callers
// put it into their own templates.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace telmir::platform {

// The operating system's text for an errno value ("No such file or directory").
std::string os_error_text(int err);

struct FileStatus {
  std::uint64_t size = 0;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t mtime_ns = 0;
  bool is_regular = false;
  bool is_directory = false;
};

// Owns a file descriptor and closes it; movable, not copyable.
class UniqueFd {
 public:
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  UniqueFd& operator=(UniqueFd&&) = delete;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

// Up to `length` bytes at `offset` (continuing after short reads and interruptions); fewer only
// at the end of the file. Returns the count read.
Result<std::size_t> read_at(int fd, char* out, std::size_t length, std::uint64_t offset);

// Writes every byte, continuing after short writes and interruptions.
Result<void> write_all(int fd, std::string_view bytes);

// stat(2), following links.
Result<FileStatus> file_status(const std::string& path);

// The whole file.
Result<std::string> read_file(const std::string& path);

// Bytes followed by `kBufferPadding` zero bytes that belong to the buffer (for parsers that read
// ahead of the end).
inline constexpr std::size_t kBufferPadding = 64;
class PaddedBuffer {
 public:
  PaddedBuffer() = default;
  explicit PaddedBuffer(std::size_t size);
  char* data() noexcept { return data_.get(); }
  const char* data() const noexcept { return data_.get(); }
  std::size_t size() const noexcept { return size_; }
  std::string_view view() const noexcept { return {data_.get(), size_}; }
  void shrink(std::size_t size) noexcept;  // new size <= size(); padding re-zeroed

 private:
  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
};

// The whole file, or `length` bytes from `offset` (fewer when the file is shorter).
Result<PaddedBuffer> read_file_padded(const std::string& path);
Result<PaddedBuffer> read_file_range_padded(const std::string& path, std::uint64_t offset,
                                            std::uint64_t length);

// The directory part of a path ("" when it has none): "a/b/c" -> "a/b", "/x" -> "/", "x" -> "".
std::string parent_path(const std::string& path);
// `base` joined with the relative `rest` by the platform separator; an empty base yields `rest`.
std::string join_path(const std::string& base, const std::string& rest);

// mkdir -p with mode 0777 before the umask; an existing directory is no error.
Result<void> create_directories(const std::string& path);

// Writes `bytes` to a temporary file in the same directory, flushes it to disk, then renames it
// over `path`, so a crash leaves the old file or the new one, never a half-written one.
Result<void> replace_file_atomically(const std::string& path, std::string_view bytes,
                                     unsigned mode = 0666);

}  // namespace telmir::platform
