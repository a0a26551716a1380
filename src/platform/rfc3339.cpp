#include "platform/rfc3339.h"

#include <fmt/format.h>

namespace telmir::platform {
namespace {

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
constexpr std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) noexcept {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct Civil {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

constexpr Civil civil_from_days(std::int64_t z) noexcept {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {y + (m <= 2 ? 1 : 0), m, d};
}

constexpr bool is_leap(std::int64_t y) noexcept {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

constexpr unsigned days_in_month(std::int64_t y, unsigned m) noexcept {
  constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && is_leap(y) ? 29 : kDays[m - 1];
}

// Reads exactly `n` digits at `pos`.
bool digits(std::string_view s, std::size_t pos, std::size_t n, unsigned& out) noexcept {
  if (pos + n > s.size()) return false;
  unsigned v = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const char c = s[pos + i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  out = v;
  return true;
}

constexpr std::int64_t kMinSeconds = -62167219200;  // 0000-01-01T00:00:00Z
constexpr std::int64_t kMaxSeconds = 253402300799;  // 9999-12-31T23:59:59Z

std::string format_utc(std::int64_t seconds, int millis) {
  if (seconds < kMinSeconds) seconds = kMinSeconds, millis = millis < 0 ? -1 : 0;
  if (seconds > kMaxSeconds) seconds = kMaxSeconds, millis = millis < 0 ? -1 : 999;
  std::int64_t days = seconds / 86400;
  std::int64_t rem = seconds % 86400;
  if (rem < 0) rem += 86400, days -= 1;
  const Civil c = civil_from_days(days);
  const auto h = static_cast<unsigned>(rem / 3600);
  const auto mi = static_cast<unsigned>(rem % 3600 / 60);
  const auto se = static_cast<unsigned>(rem % 60);
  if (millis < 0) {
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z", c.year, c.month, c.day, h, mi, se);
  }
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", c.year, c.month, c.day, h, mi,
                     se, millis);
}

}  // namespace

Result<Rfc3339Time> parse_rfc3339(std::string_view s) {
  auto bad = [&] { return fail(fmt::format("invalid RFC 3339 date-time: {}", s)); };
  unsigned year, month, day, hour, minute, second;
  if (!digits(s, 0, 4, year) || s.size() < 20 || s[4] != '-' || !digits(s, 5, 2, month) ||
      s[7] != '-' || !digits(s, 8, 2, day)) {
    return bad();
  }
  if (s[10] != 'T' && s[10] != 't' && s[10] != ' ') return bad();
  if (!digits(s, 11, 2, hour) || s[13] != ':' || !digits(s, 14, 2, minute) || s[16] != ':' ||
      !digits(s, 17, 2, second)) {
    return bad();
  }
  if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour > 23 ||
      minute > 59 || second > 60) {
    return bad();
  }
  std::size_t pos = 19;
  std::uint32_t nanos = 0;
  if (pos < s.size() && s[pos] == '.') {
    ++pos;
    const std::size_t start = pos;
    unsigned scale = 100000000;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
      nanos += static_cast<std::uint32_t>(s[pos] - '0') * scale;
      scale /= 10;
      ++pos;
    }
    if (pos == start) return bad();
  }
  if (pos >= s.size()) return bad();
  std::int32_t offset = 0;
  if (s[pos] == 'Z' || s[pos] == 'z') {
    ++pos;
  } else if (s[pos] == '+' || s[pos] == '-') {
    unsigned oh, om;
    if (!digits(s, pos + 1, 2, oh) || pos + 3 >= s.size() || s[pos + 3] != ':' ||
        !digits(s, pos + 4, 2, om) || oh > 23 || om > 59) {
      return bad();
    }
    offset = static_cast<std::int32_t>(oh * 3600 + om * 60) * (s[pos] == '-' ? -1 : 1);
    pos += 6;
  } else {
    return bad();
  }
  if (pos != s.size()) return bad();
  const std::int64_t local = days_from_civil(year, month, day) * 86400 +
                             static_cast<std::int64_t>(hour) * 3600 + minute * 60 + second;
  return Rfc3339Time{local - offset, nanos, offset};
}

std::string format_rfc3339_utc_millis(std::int64_t epoch_milliseconds) {
  std::int64_t seconds = epoch_milliseconds / 1000;
  std::int64_t millis = epoch_milliseconds % 1000;
  if (millis < 0) millis += 1000, seconds -= 1;
  return format_utc(seconds, static_cast<int>(millis));
}

std::string format_rfc3339_utc_seconds(std::int64_t epoch_seconds) {
  return format_utc(epoch_seconds, -1);
}

}  // namespace telmir::platform
