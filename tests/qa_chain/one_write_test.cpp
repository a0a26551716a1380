// How a record reaches the file: the writes of the process are watched through the linker's
// wrapping of write().
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "chain_fixture.h"

#ifdef TELMIR_WRAP_WRITE
namespace {

struct WriteWatch {
  bool active = false;
  std::size_t max_chunk = 0;  // 0: no limit; otherwise every write is cut short to this size
  std::vector<std::string> writes;
};
WriteWatch g_watch;

}  // namespace

extern "C" ssize_t __real_write(int fd, const void* buf, size_t n);
extern "C" ssize_t __wrap_write(int fd, const void* buf, size_t n) {
  if (!g_watch.active || fd <= 2) return __real_write(fd, buf, n);
  if (g_watch.max_chunk != 0) n = std::min(n, g_watch.max_chunk);
  g_watch.writes.emplace_back(static_cast<const char*>(buf), n);
  return __real_write(fd, buf, n);
}
#endif

namespace telmir::qa {
namespace {

class OneWriteTest : public ChainTest {
 protected:
  void SetUp() override {
#ifndef TELMIR_WRAP_WRITE
    GTEST_SKIP() << "write() cannot be watched with this linker";
#endif
  }
#ifdef TELMIR_WRAP_WRITE
  void TearDown() override { g_watch = WriteWatch{}; }
#endif
};

#ifdef TELMIR_WRAP_WRITE
TEST_F(OneWriteTest, RecordAndItsLineFeedGoToTheFileInOneWrite) {
  QaChainWriter writer = open_writer();
  g_watch.active = true;
  auto done = append_backlog_warning(writer, 3, 4);
  g_watch.active = false;
  ASSERT_TRUE(done.has_value()) << done.error();
  ASSERT_EQ(g_watch.writes.size(), 1u);
  EXPECT_EQ(g_watch.writes[0], file_text());
  EXPECT_EQ(g_watch.writes[0].back(), '\n');
}

TEST_F(OneWriteTest, ShortWritesAreContinuedUntilTheWholeLineIsWritten) {
  QaChainWriter writer = open_writer();
  g_watch.active = true;
  g_watch.max_chunk = 100;
  auto done = append_backlog_warning(writer, 3, 4);
  g_watch.active = false;
  ASSERT_TRUE(done.has_value()) << done.error();
  std::string text = file_text();
  EXPECT_GT(g_watch.writes.size(), 1u);
  std::string joined;
  for (const auto& w : g_watch.writes) joined += w;
  EXPECT_EQ(joined, text);
  ASSERT_EQ(records().size(), 1u);
  EXPECT_EQ(text.back(), '\n');
}
#endif

}  // namespace
}  // namespace telmir::qa
