#pragma once

// The two clocks: UTC wall time for record timestamps, and a monotonic clock for intervals.

#include <chrono>
#include <cstdint>
#include <string>

namespace telmir::platform {

// The current UTC time as YYYY-MM-DDTHH:MM:SS.mmmZ (24 characters, milliseconds truncated).
std::string utc_now_rfc3339_ms();

// The given time in the same form.
std::string format_rfc3339_ms(std::chrono::system_clock::time_point time);

// A monotonic clock reading; only differences between readings mean anything.
std::chrono::steady_clock::time_point monotonic_now();

}  // namespace telmir::platform
