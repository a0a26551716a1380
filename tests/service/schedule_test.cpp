#include "service/schedule.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>

namespace telmir::service {
namespace {

using std::chrono::nanoseconds;
using std::chrono::seconds;

// A monotonic clock the test moves by hand.
struct FakeClock {
  MonotonicTime now{seconds(1000)};
  MonotonicClock fn() {
    return [this] { return now; };
  }
};

TEST(ElapsedBetween, SplitsIntoSecondsAndNanosecondsAndNeverGoesNegative) {
  MonotonicTime t0{seconds(50)};
  struct Case {
    MonotonicTime now;
    std::uint64_t seconds;
    std::uint32_t nanos;
  };
  const Case cases[] = {
      {t0, 0, 0},
      {t0 + nanoseconds(1), 0, 1},
      {t0 + seconds(3) + nanoseconds(999'999'999), 3, 999'999'999},
      {t0 + seconds(4), 4, 0},
      {t0 - seconds(1), 0, 0},  // the clock reads earlier than the recorded time
  };
  for (const Case& c : cases) {
    SCOPED_TRACE((c.now - t0).count());
    Elapsed e = elapsed_between(t0, c.now);
    EXPECT_EQ(e.seconds, c.seconds);
    EXPECT_EQ(e.nanoseconds, c.nanos);
  }
}

TEST(IntervalReached, WholeSecondsDecideFirstThenNanoseconds) {
  struct Case {
    Elapsed elapsed;
    std::uint64_t interval;
    bool due;
  };
  const Case cases[] = {
      {{3599, 999'999'999}, 3600, false},
      {{3600, 0}, 3600, true},
      {{3600, 1}, 3600, true},
      {{3601, 0}, 3600, true},
      {{0, 999'999'999}, 1, false},
      {{std::numeric_limits<std::uint64_t>::max(), 0},
       std::numeric_limits<std::uint64_t>::max(),
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << c.elapsed.seconds << "s " << c.elapsed.nanoseconds << "ns vs " << c.interval);
    EXPECT_EQ(interval_reached(c.elapsed, c.interval), c.due);
  }
}

TEST(IntervalTimer, DueAtTheFirstCycleThatStartsAnIntervalAfterThePreviousRunFinished) {
  FakeClock clock;
  IntervalTimer timer(3600, clock.fn());
  // A run that took 90 seconds: the interval counts from its end.
  clock.now += seconds(90);
  timer.mark_finished();
  const MonotonicTime finished = clock.now;

  // Heartbeat cycles every 30 seconds.
  int cycles_until_due = 0;
  for (int i = 1; i <= 200; ++i) {
    clock.now = finished + seconds(30 * i);
    if (timer.due()) {
      cycles_until_due = i;
      break;
    }
  }
  EXPECT_EQ(cycles_until_due, 120);  // 120 * 30 s = 3600 s after the end, not after the start

  clock.now = finished + seconds(3600) - nanoseconds(1);
  EXPECT_FALSE(timer.due());
  clock.now = finished + seconds(3600);
  EXPECT_TRUE(timer.due());
}

TEST(IntervalTimer, DueBeforeAnyRunAndNotWhenTheClockStepsBack) {
  FakeClock clock;
  IntervalTimer timer(1, clock.fn());
  EXPECT_TRUE(timer.due());
  timer.mark_finished();
  EXPECT_FALSE(timer.due());
  clock.now -= seconds(10);
  EXPECT_FALSE(timer.due());
  clock.now += seconds(11);
  EXPECT_TRUE(timer.due());
}

TEST(HeartbeatDeadline, AddsTheHeartbeatOrWaitsWithoutBoundWhenUnrepresentable) {
  MonotonicTime now{seconds(12345)};
  auto d = heartbeat_deadline(now, 30);
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(*d - now, seconds(30));

  EXPECT_FALSE(heartbeat_deadline(now, std::numeric_limits<std::uint64_t>::max()).has_value());
  EXPECT_FALSE(heartbeat_deadline(now, 10'000'000'000ULL).has_value());  // ~317 years in ns

  // The largest heartbeat that still fits.
  auto room = std::chrono::duration_cast<seconds>(MonotonicTime::max() - now).count();
  EXPECT_TRUE(heartbeat_deadline(now, static_cast<std::uint64_t>(room)).has_value());
  EXPECT_FALSE(heartbeat_deadline(now, static_cast<std::uint64_t>(room) + 1).has_value());
}

}  // namespace
}  // namespace telmir::service
