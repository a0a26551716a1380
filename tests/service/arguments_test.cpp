#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "service/entry.h"

namespace telmir::service {
namespace {

TEST(OnceRequested, OnlyTheExactWholeArgumentSelectsOneCycle) {
  struct Case {
    std::vector<std::string_view> args;
    bool once;
  };
  const Case cases[] = {
      {{}, false},          {{"--once"}, true},    {{"-v", "extra", "--once", "--verbose"}, true},
      {{"--ONCE"}, false},  {{"--once=1"}, false}, {{"-once"}, false},
      {{"--once "}, false}, {{"once"}, false},     {{"--onc", "e"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    EXPECT_EQ(once_requested(c.args), c.once);
  }
}

}  // namespace
}  // namespace telmir::service
