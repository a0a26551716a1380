#pragma once

// Time rules of the service loop: when an interval analysis is due, and how long a wait for
// the next notification may last. The monotonic clock is injected so tests can drive it.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

namespace telmir::service {

using MonotonicTime = std::chrono::steady_clock::time_point;
using MonotonicClock = std::function<MonotonicTime()>;

// The platform's monotonic clock.
MonotonicClock system_monotonic_clock();

// Time between two readings, split into whole seconds and nanoseconds; zero when `now` reads
// earlier than `earlier`.
struct Elapsed {
  std::uint64_t seconds = 0;
  std::uint32_t nanoseconds = 0;
};
Elapsed elapsed_between(MonotonicTime earlier, MonotonicTime now);

// Whole seconds first, then nanoseconds; intervals have no fraction.
bool interval_reached(Elapsed elapsed, std::uint64_t interval_seconds);

// An analysis that runs again once `interval_seconds` have passed since its previous run
// finished.
class IntervalTimer {
 public:
  IntervalTimer(std::uint64_t interval_seconds, MonotonicClock clock);

  // Records that a run finished now.
  void mark_finished();
  // True once the interval has passed since the last mark (and before any mark).
  bool due() const;

 private:
  std::uint64_t interval_seconds_;
  MonotonicClock clock_;
  std::optional<MonotonicTime> last_finished_;
};

// `now` plus the heartbeat, or nothing when that time cannot be represented: the wait is then
// unbounded.
std::optional<MonotonicTime> heartbeat_deadline(MonotonicTime now, std::uint64_t heartbeat_seconds);

}  // namespace telmir::service
