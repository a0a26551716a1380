#include "platform/clock.h"

#include <cstddef>

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
  // Written by hand: this runs for every QA record.
  char text[24];
  auto put = [&text](std::size_t at, unsigned value, std::size_t digits) {
    for (std::size_t i = digits; i-- > 0; value /= 10)
      text[at + i] = static_cast<char>('0' + value % 10);
  };
  put(0, static_cast<unsigned>(static_cast<int>(ymd.year())), 4);
  text[4] = '-';
  put(5, static_cast<unsigned>(ymd.month()), 2);
  text[7] = '-';
  put(8, static_cast<unsigned>(ymd.day()), 2);
  text[10] = 'T';
  put(11, static_cast<unsigned>(h.count()), 2);
  text[13] = ':';
  put(14, static_cast<unsigned>(m.count()), 2);
  text[16] = ':';
  put(17, static_cast<unsigned>(s.count()), 2);
  text[19] = '.';
  put(20, static_cast<unsigned>(rest.count()), 3);
  text[23] = 'Z';
  return std::string(text, sizeof text);
}

std::string utc_now_rfc3339_ms() { return format_rfc3339_ms(std::chrono::system_clock::now()); }

std::chrono::steady_clock::time_point monotonic_now() { return std::chrono::steady_clock::now(); }

}  // namespace telmir::platform
