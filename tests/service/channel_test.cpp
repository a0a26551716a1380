#include "platform/channel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace telmir::platform {
namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point soon() { return Clock::now() + std::chrono::milliseconds(20); }
Clock::time_point later() { return Clock::now() + std::chrono::seconds(30); }

TEST(Channel, HandsOutValuesInSendingOrder) {
  auto [tx, rx] = make_channel<int>();
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(tx.send(i));
  for (int i = 0; i < 5; ++i) {
    auto got = rx.receive_until(soon());
    ASSERT_EQ(got.status, ReceiveStatus::kReceived);
    EXPECT_EQ(*got.value, i);
  }
  EXPECT_EQ(rx.receive_until(soon()).status, ReceiveStatus::kTimedOut);
}

TEST(Channel, ReportsDisconnectionOnlyAfterQueuedValuesAndTheLastSender) {
  auto [tx, rx] = make_channel<int>();
  {
    Sender<int> copy = tx;
    Sender<int> moved = std::move(tx);
    ASSERT_TRUE(copy.send(7));
    EXPECT_EQ(rx.receive_until(soon()).status, ReceiveStatus::kReceived);
    EXPECT_EQ(rx.receive_until(soon()).status, ReceiveStatus::kTimedOut);  // `moved` remains
    ASSERT_TRUE(moved.send(8));
  }
  auto got = rx.receive_until(std::nullopt);
  ASSERT_EQ(got.status, ReceiveStatus::kReceived);
  EXPECT_EQ(*got.value, 8);
  EXPECT_EQ(rx.receive_until(std::nullopt).status, ReceiveStatus::kDisconnected);
}

TEST(Channel, UnboundedWaitEndsWhenTheSendingThreadEnds) {
  auto [tx, rx] = make_channel<int>();
  std::thread producer([s = std::move(tx)]() mutable {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    s.send(1);
  });
  EXPECT_EQ(rx.receive_until(std::nullopt).status, ReceiveStatus::kReceived);
  EXPECT_EQ(rx.receive_until(std::nullopt).status, ReceiveStatus::kDisconnected);
  producer.join();
}

TEST(Channel, SendFailsOnceTheReceiverIsGone) {
  auto [tx, rx] = make_channel<int>();
  { auto gone = std::move(rx); }
  EXPECT_FALSE(tx.send(1));
}

TEST(Channel, DropPendingEmptiesTheQueue) {
  auto [tx, rx] = make_channel<int>();
  for (int i = 0; i < 4; ++i) tx.send(i);
  EXPECT_EQ(rx.drop_pending(), 4u);
  EXPECT_EQ(rx.drop_pending(), 0u);
  EXPECT_EQ(rx.receive_until(soon()).status, ReceiveStatus::kTimedOut);
}

TEST(Channel, ManyProducersLoseNothing) {
  auto [tx, rx] = make_channel<int>();
  constexpr int kThreads = 4;
  constexpr int kEach = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([s = tx, t]() mutable {
      for (int i = 0; i < kEach; ++i) s.send(t * kEach + i);
    });
  }
  { auto drop = std::move(tx); }
  std::vector<int> seen(kThreads * kEach, 0);
  for (;;) {
    auto got = rx.receive_until(later());
    if (got.status == ReceiveStatus::kDisconnected) break;
    ASSERT_EQ(got.status, ReceiveStatus::kReceived);
    ++seen[static_cast<std::size_t>(*got.value)];
  }
  for (auto& t : threads) t.join();
  for (int n : seen) ASSERT_EQ(n, 1);
}

}  // namespace
}  // namespace telmir::platform
