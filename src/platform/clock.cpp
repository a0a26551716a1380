#include "platform/clock.h"

#include <ctime>

#include <fmt/format.h>

namespace telmir::platform {

std::string format_rfc3339_ms(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  // floor, not duration_cast: times before 1970 must truncate towards the past too.
  auto ms = floor<milliseconds>(time).time_since_epoch().count();
  auto day = floor<days>(sys_time<milliseconds>(milliseconds(ms)));
  year_month_day ymd(day);
  auto in_day = milliseconds(ms) - day.time_since_epoch();
  auto h = duration_cast<hours>(in_day);
  auto m = duration_cast<minutes>(in_day - h);
  auto s = duration_cast<seconds>(in_day - h - m);
  auto rest = in_day - h - m - s;
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", static_cast<int>(ymd.year()),
                     static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                     h.count(), m.count(), s.count(), rest.count());
}

std::string utc_now_rfc3339_ms() { return format_rfc3339_ms(std::chrono::system_clock::now()); }

std::chrono::steady_clock::time_point monotonic_now() { return std::chrono::steady_clock::now(); }

}  // namespace telmir::platform
