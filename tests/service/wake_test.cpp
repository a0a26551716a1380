#include "service/wake.h"

#include <gtest/gtest.h>

#include <chrono>

#include "platform/channel.h"
#include "platform/watcher.h"

namespace telmir::service {
namespace {

using platform::WatchNotification;

MonotonicTime soon() { return std::chrono::steady_clock::now() + std::chrono::milliseconds(20); }

TEST(WaitForWake, OneCycleAnswersEveryNotificationAlreadyQueued) {
  auto [tx, rx] = platform::make_channel<WatchNotification>();
  for (int i = 0; i < 50; ++i) tx.send({});
  Wake w = wait_for_wake(rx, soon());
  EXPECT_EQ(w.reason, WakeReason::kEvent);
  EXPECT_EQ(w.dropped, 49u);
  // Nothing is left for a second cycle: the next wait is a heartbeat.
  EXPECT_EQ(wait_for_wake(rx, soon()).reason, WakeReason::kHeartbeat);

  // A notification that arrives after the cycle began wakes the next one.
  tx.send({});
  EXPECT_EQ(wait_for_wake(rx, soon()).reason, WakeReason::kEvent);
}

TEST(WaitForWake, ErrorReportsWakeLikeChanges) {
  auto [tx, rx] = platform::make_channel<WatchNotification>();
  tx.send({WatchNotification::Kind::kError, "inotify event queue overflowed"});
  EXPECT_EQ(wait_for_wake(rx, soon()).reason, WakeReason::kEvent);
}

TEST(WaitForWake, NoSenderLeftIsReported) {
  auto [tx, rx] = platform::make_channel<WatchNotification>();
  { auto gone = std::move(tx); }
  EXPECT_EQ(wait_for_wake(rx, std::nullopt).reason, WakeReason::kDisconnected);
}

}  // namespace
}  // namespace telmir::service
