#include "service/readiness.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "platform/fs.h"

namespace telmir::service {
namespace {

constexpr std::string_view kMarker = "ready\n";
constexpr std::string_view kReadyLine = "telmir ready\n";

// Rewrites the file in place (created 0666 before the umask), completing short writes.
Result<void> write_whole_file(const std::string& path, std::string_view bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return fail(platform::os_error_text(errno));
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      return fail(platform::os_error_text(err));
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  if (::close(fd) != 0) return fail(platform::os_error_text(errno));
  return {};
}

}  // namespace

Result<void> write_readiness_marker(const config::Config& config) {
  return write_readiness_marker(config.ready_file, stdout);
}

Result<void> write_readiness_marker(const std::optional<std::string>& ready_file, std::FILE* out) {
  if (ready_file) {
    std::string dir = platform::parent_path(*ready_file);
    if (!dir.empty()) {
      auto made = platform::create_directories(dir);
      if (!made) {
        return fail(fmt::format("failed to create readiness directory {}: {}", dir, made.error()));
      }
    }
    auto written = write_whole_file(*ready_file, kMarker);
    if (!written) {
      return fail(
          fmt::format("failed to write readiness marker {}: {}", *ready_file, written.error()));
    }
  }
  // Flushed at once: in service mode the process keeps running and whoever waits for this line
  // reads it from a pipe.
  std::fwrite(kReadyLine.data(), 1, kReadyLine.size(), out);
  std::fflush(out);
  return {};
}

}  // namespace telmir::service
