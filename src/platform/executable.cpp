#include "platform/executable.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <vector>

#include "platform/fs.h"

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#else
#include <unistd.h>
#endif

namespace telmir::platform {

#if defined(__APPLE__)

Result<std::string> executable_path() {
  std::uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);  // reports the size needed
  std::vector<char> buf(size + 1, '\0');
  if (_NSGetExecutablePath(buf.data(), &size) != 0) return fail("executable path unavailable");
  return std::string(buf.data());
}

Result<std::string> read_executable() {
  Result<std::string> path = executable_path();
  if (!path) return fail(std::move(path.error()));
  return read_file(*path);
}

#else

namespace {
constexpr const char* kSelfExe = "/proc/self/exe";
}  // namespace

Result<std::string> executable_path() {
  std::vector<char> buf(PATH_MAX);
  for (;;) {
    const ssize_t n = ::readlink(kSelfExe, buf.data(), buf.size());
    if (n < 0) return fail(os_error_text(errno));
    if (static_cast<std::size_t>(n) < buf.size()) {
      return std::string(buf.data(), static_cast<std::size_t>(n));
    }
    buf.resize(buf.size() * 2);  // possibly truncated: try again with more room
  }
}

Result<std::string> read_executable() { return read_file(kSelfExe); }

#endif

}  // namespace telmir::platform
