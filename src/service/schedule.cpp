#include "service/schedule.h"

#include <limits>
#include <utility>

#include "platform/clock.h"

namespace telmir::service {

MonotonicClock system_monotonic_clock() {
  return [] { return platform::monotonic_now(); };
}

Elapsed elapsed_between(MonotonicTime earlier, MonotonicTime now) {
  if (now <= earlier) return {};
  // Both readings lie in the clock's range, so the difference of their tick counts fits when
  // taken unsigned.
  auto ticks = static_cast<std::uint64_t>(now.time_since_epoch().count()) -
               static_cast<std::uint64_t>(earlier.time_since_epoch().count());
  using Ticks = MonotonicTime::duration;
  constexpr std::uint64_t kTicksPerSecond = static_cast<std::uint64_t>(
      std::chrono::duration_cast<Ticks>(std::chrono::seconds(1)).count());
  std::uint64_t sub = ticks % kTicksPerSecond;
  auto nanos =
      std::chrono::duration_cast<std::chrono::nanoseconds>(Ticks(static_cast<Ticks::rep>(sub)));
  return {ticks / kTicksPerSecond, static_cast<std::uint32_t>(nanos.count())};
}

bool interval_reached(Elapsed elapsed, std::uint64_t interval_seconds) {
  // An interval is (seconds, 0 nanoseconds); compare the pairs in that order.
  return std::pair{elapsed.seconds, elapsed.nanoseconds} >=
         std::pair{interval_seconds, std::uint32_t{0}};
}

IntervalTimer::IntervalTimer(std::uint64_t interval_seconds, MonotonicClock clock)
    : interval_seconds_(interval_seconds), clock_(std::move(clock)) {}

void IntervalTimer::mark_finished() { last_finished_ = clock_(); }

bool IntervalTimer::due() const {
  if (!last_finished_) return true;
  return interval_reached(elapsed_between(*last_finished_, clock_()), interval_seconds_);
}

std::optional<MonotonicTime> heartbeat_deadline(MonotonicTime now,
                                                std::uint64_t heartbeat_seconds) {
  using Ticks = MonotonicTime::duration;
  constexpr auto kTicksPerSecond = static_cast<std::uint64_t>(
      std::chrono::duration_cast<Ticks>(std::chrono::seconds(1)).count());
  const auto room = MonotonicTime::max() - now;  // non-negative for any reading
  if (room.count() < 0) return std::nullopt;
  if (heartbeat_seconds > static_cast<std::uint64_t>(room.count()) / kTicksPerSecond) {
    return std::nullopt;
  }
  return now + Ticks(static_cast<Ticks::rep>(heartbeat_seconds * kTicksPerSecond));
}

}  // namespace telmir::service
