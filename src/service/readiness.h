#pragma once

// The readiness marker: the last step of the first run cycle.

#include <cstdio>
#include <optional>
#include <string>

#include "config/config.h"
#include "platform/result.h"

namespace telmir::service {

// Writes "ready\n" to `ready_file` (creating its directories) when one is configured, then the
// line "telmir ready\n" to `out`. Errors: "failed to create readiness directory {}: {}",
// "failed to write readiness marker {}: {}"; nothing is printed after an error.
Result<void> write_readiness_marker(const config::Config& config);
Result<void> write_readiness_marker(const std::optional<std::string>& ready_file, std::FILE* out);

}  // namespace telmir::service
