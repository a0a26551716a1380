#include "platform/fs.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace telmir::platform {

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

Result<std::size_t> read_at(int fd, char* out, std::size_t length, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < length) {
    ssize_t n = ::pread(fd, out + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(os_error_text(errno));
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

Result<void> write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(os_error_text(errno));
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

std::string os_error_text(int err) {
  return std::error_code(err, std::generic_category()).message();
}

Result<FileStatus> file_status(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return fail(os_error_text(errno));
  FileStatus s;
  s.size = static_cast<std::uint64_t>(st.st_size);
  s.device = static_cast<std::uint64_t>(st.st_dev);
  s.inode = static_cast<std::uint64_t>(st.st_ino);
#if defined(__APPLE__)
  s.mtime_ns =
      static_cast<std::int64_t>(st.st_mtimespec.tv_sec) * 1000000000 + st.st_mtimespec.tv_nsec;
#else
  s.mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
#endif
  s.is_regular = S_ISREG(st.st_mode);
  s.is_directory = S_ISDIR(st.st_mode);
  return s;
}

Result<std::string> read_file(const std::string& path) {
  auto buf = read_file_padded(path);
  if (!buf) return fail(buf.error());
  return std::string(buf->view());
}

PaddedBuffer::PaddedBuffer(std::size_t size) : data_(new char[size + kBufferPadding]), size_(size) {
  std::memset(data_.get() + size, 0, kBufferPadding);
}

void PaddedBuffer::shrink(std::size_t size) noexcept {
  if (size > size_) return;
  size_ = size;
  std::memset(data_.get() + size, 0, kBufferPadding);
}

Result<PaddedBuffer> read_file_range_padded(const std::string& path, std::uint64_t offset,
                                            std::uint64_t length) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return fail(os_error_text(errno));
  PaddedBuffer buf(static_cast<std::size_t>(length));
  auto n = read_at(fd.get(), buf.data(), buf.size(), offset);
  if (!n) return fail(n.error());
  buf.shrink(*n);
  return buf;
}

Result<PaddedBuffer> read_file_padded(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return fail(os_error_text(errno));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return fail(os_error_text(errno));
  if (S_ISDIR(st.st_mode)) return fail(os_error_text(EISDIR));
  // The size is a hint: a file that grows while read is read to its end as seen then.
  std::size_t capacity = static_cast<std::size_t>(st.st_size);
  PaddedBuffer buf(capacity);
  std::size_t total = 0;
  for (;;) {
    auto n = read_at(fd.get(), buf.data() + total, capacity - total, total);
    if (!n) return fail(n.error());
    total += *n;
    if (total < capacity) break;
    // Full: probe for more.
    char probe;
    auto more = read_at(fd.get(), &probe, 1, total);
    if (!more) return fail(more.error());
    if (*more == 0) break;
    std::size_t bigger = capacity * 2 + 4096;
    PaddedBuffer grown(bigger);
    std::memcpy(grown.data(), buf.data(), total);
    grown.data()[total] = probe;
    total += 1;
    buf = std::move(grown);
    capacity = bigger;
  }
  buf.shrink(total);
  return buf;
}

std::string parent_path(const std::string& path) {
  auto pos = path.find_last_of('/');
  if (pos == std::string::npos) return "";
  // Collapse the separators in front of the last component.
  while (pos > 0 && path[pos - 1] == '/') --pos;
  if (pos == 0) return "/";
  return path.substr(0, pos);
}

std::string join_path(const std::string& base, const std::string& rest) {
  if (base.empty()) return rest;
  if (base.back() == '/') return base + rest;
  return base + "/" + rest;
}

Result<void> create_directories(const std::string& path) {
  if (path.empty()) return {};
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return {};
    return fail(os_error_text(EEXIST));
  }
  std::string parent = parent_path(path);
  if (!parent.empty() && parent != path) {
    auto r = create_directories(parent);
    if (!r) return r;
  }
  if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return fail(os_error_text(errno));
  return {};
}

Result<void> replace_file_atomically(const std::string& path, std::string_view bytes,
                                     unsigned mode) {
  std::string dir = parent_path(path);
  std::string base = path.substr(dir.empty() ? 0 : path.find_last_of('/') + 1);
  std::string tmpl = join_path(dir, "." + base + ".tmp.XXXXXX");
  std::string tmp_path = tmpl;
  int raw = ::mkstemp(tmp_path.data());
  if (raw < 0) return fail(os_error_text(errno));
  UniqueFd fd(raw);
  auto cleanup_fail = [&](int err) {
    ::unlink(tmp_path.c_str());
    return fail(os_error_text(err));
  };
  // mkstemp creates 0600; give the file the mode a plain create would have.
  mode_t mask = ::umask(0);
  ::umask(mask);
  if (::fchmod(fd.get(), static_cast<mode_t>(mode) & ~mask) != 0) return cleanup_fail(errno);
  if (auto w = write_all(fd.get(), bytes); !w) {
    ::unlink(tmp_path.c_str());
    return w;
  }
  if (::fsync(fd.get()) != 0) return cleanup_fail(errno);
  if (::rename(tmp_path.c_str(), path.c_str()) != 0) return cleanup_fail(errno);
  return {};
}

}  // namespace telmir::platform
