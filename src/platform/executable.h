#pragma once

// The file of the running executable.

#include <string>

#include "platform/result.h"

namespace telmir::platform {

// Path of the running executable (Linux: the target of /proc/self/exe).
Result<std::string> executable_path();

// The running executable's bytes. On Linux read through /proc/self/exe, so a binary replaced or
// removed since start is still the one read.
Result<std::string> read_executable();

}  // namespace telmir::platform
