#pragma once

// RFC 3339 date-times as the governance proxy writes them, and the QA chain's UTC stamps.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace telmir::platform {

struct Rfc3339Time {
  // Seconds since the Unix epoch in UTC (negative before 1970).
  std::int64_t epoch_seconds = 0;
  // The fraction of the second, in nanoseconds (digits beyond nine are dropped).
  std::uint32_t nanoseconds = 0;
  // The numeric offset the text was written in, in seconds east of UTC ("Z" is 0).
  std::int32_t offset_seconds = 0;
};

// "YYYY-MM-DD" then "T", "t" or a blank, then "HH:MM:SS", an optional fraction ("." and one or
// more digits), then "Z", "z" or "+HH:MM" / "-HH:MM". Second 60 (a leap second) is accepted and
// counts as the first second of the next minute. Nothing else may surround the text.
Result<Rfc3339Time> parse_rfc3339(std::string_view text);

// "YYYY-MM-DDTHH:MM:SS.mmmZ" (24 characters) for milliseconds since the Unix epoch; years are
// clamped to 0000..9999.
std::string format_rfc3339_utc_millis(std::int64_t epoch_milliseconds);
// "YYYY-MM-DDTHH:MM:SSZ" (20 characters), the same clamping.
std::string format_rfc3339_utc_seconds(std::int64_t epoch_seconds);

}  // namespace telmir::platform
