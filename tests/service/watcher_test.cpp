#include "platform/watcher.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/channel.h"

namespace telmir::platform {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class FileWatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "telmir-watch-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    auto [tx, rx] = make_channel<WatchNotification>();
    rx_.emplace(std::move(rx));
    auto w = create_file_watcher(
        [s = std::move(tx)](WatchNotification n) mutable { s.send(std::move(n)); });
    ASSERT_TRUE(w.has_value()) << w.error();
    watcher_ = std::move(*w);
  }
  void TearDown() override {
    watcher_.reset();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // Bounded wait for the next notification; false when none came.
  bool next(WatchNotification* out = nullptr, int ms = 5000) {
    auto got = rx_->receive_until(Clock::now() + std::chrono::milliseconds(ms));
    if (got.status != ReceiveStatus::kReceived) return false;
    if (out != nullptr) *out = std::move(*got.value);
    return true;
  }
  // Drops what arrives until the directory has been quiet for a moment.
  void settle() {
    while (next(nullptr, 200)) {
    }
  }

  fs::path dir_;
  std::optional<Receiver<WatchNotification>> rx_;
  std::unique_ptr<FileWatcher> watcher_;
};

TEST_F(FileWatcherTest, ReportsCreationAppendAndRemovalInAWatchedDirectory) {
  ASSERT_TRUE(watcher_->watch(dir_.string()).has_value());
  WatchNotification n;
  std::ofstream(dir_ / "chain.jsonl") << "{}\n";
  ASSERT_TRUE(next(&n));
  EXPECT_EQ(n.kind, WatchNotification::Kind::kChange);
  EXPECT_EQ(n.detail, "chain.jsonl");
  settle();

  std::ofstream(dir_ / "chain.jsonl", std::ios::app) << "{}\n";
  EXPECT_TRUE(next());
  settle();

  fs::remove(dir_ / "chain.jsonl");
  EXPECT_TRUE(next());
}

TEST_F(FileWatcherTest, SameDirectoryTwiceIsAllowed) {
  ASSERT_TRUE(watcher_->watch(dir_.string()).has_value());
  ASSERT_TRUE(watcher_->watch(dir_.string()).has_value());
  std::ofstream(dir_ / "a") << "x";
  EXPECT_TRUE(next());
}

TEST_F(FileWatcherTest, ChangesInsideSubdirectoriesAreNotReported) {
  fs::create_directory(dir_ / "sub");
  ASSERT_TRUE(watcher_->watch(dir_.string()).has_value());
  std::ofstream(dir_ / "sub" / "inner") << "x";
  EXPECT_FALSE(next(nullptr, 300));
}

TEST_F(FileWatcherTest, MissingDirectoryOrPlainFileCannotBeWatched) {
  std::ofstream(dir_ / "plain") << "x";
  for (const fs::path& p : {dir_ / "missing", dir_ / "plain"}) {
    SCOPED_TRACE(p.string());
    auto r = watcher_->watch(p.string());
    ASSERT_FALSE(r.has_value());
    EXPECT_FALSE(r.error().empty());
  }
}

TEST_F(FileWatcherTest, StoppingTheWatcherDisconnectsTheChannel) {
  ASSERT_TRUE(watcher_->watch(dir_.string()).has_value());
  watcher_.reset();
  EXPECT_EQ(rx_->receive_until(Clock::now() + std::chrono::seconds(5)).status,
            ReceiveStatus::kDisconnected);
}

}  // namespace
}  // namespace telmir::platform
