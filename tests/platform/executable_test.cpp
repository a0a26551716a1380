#include "platform/executable.h"

#include <gtest/gtest.h>

#include "platform/fs.h"

namespace telmir::platform {
namespace {

TEST(Executable, PathNamesTheRunningBinaryAndItsBytesAreRead) {
  const Result<std::string> path = executable_path();
  ASSERT_TRUE(path.has_value()) << path.error();
  ASSERT_FALSE(path->empty());
  EXPECT_EQ(path->front(), '/');
  const Result<std::string> bytes = read_executable();
  ASSERT_TRUE(bytes.has_value()) << bytes.error();
  const Result<std::string> by_path = read_file(*path);
  ASSERT_TRUE(by_path.has_value()) << by_path.error();
  EXPECT_EQ(*bytes, *by_path);
  EXPECT_GT(bytes->size(), 4u);
}

}  // namespace
}  // namespace telmir::platform
