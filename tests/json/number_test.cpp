#include "json/number.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace telmir::json {
namespace {

TEST(JsonNumber, GrammarAcceptsOnlyJsonNumbers) {
  struct Case {
    const char* text;
    bool valid;
  };
  const Case cases[] = {
      {"0", true},          {"-0", true},
      {"1.50", true},       {"1E2", true},
      {"1e+2", true},       {"1e-2", true},
      {"-12.5e10", true},   {"123456789012345678901234567890", true},
      {"", false},          {"-", false},
      {"01", false},        {"-01", false},
      {"+1", false},        {".5", false},
      {"1.", false},        {"1.e5", false},
      {"1e", false},        {"1e+", false},
      {"NaN", false},       {"Infinity", false},
      {"-Infinity", false}, {"0x10", false},
      {" 1", false},        {"1 ", false},
      {"1.5.2", false},     {"--1", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(is_json_number(c.text), c.valid);
  }
}

TEST(JsonNumber, ParseDoubleGivesNearestAndFlagsRangeByInfinity) {
  EXPECT_EQ(parse_double("0.1"), 0.1);
  EXPECT_EQ(parse_double("123456.789e3"), 123456789.0);
  EXPECT_EQ(parse_double("4.9e-324"), std::numeric_limits<double>::denorm_min());
  const auto huge = parse_double("1e400");
  ASSERT_TRUE(huge.has_value());
  EXPECT_TRUE(std::isinf(*huge));
  const auto negative_zero = parse_double("-0.0");
  ASSERT_TRUE(negative_zero.has_value());
  EXPECT_TRUE(std::signbit(*negative_zero));
  EXPECT_FALSE(parse_double("1.").has_value());
  EXPECT_FALSE(parse_double("NaN").has_value());
}

TEST(JsonNumber, FormatDoubleLaysOutShortestDigits) {
  struct Case {
    double value;
    const char* text;
  };
  const Case cases[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {123.0, "123.0"},
      {3.0, "3.0"},
      {1e15, "1000000000000000.0"},
      {1e16, "1e+16"},
      {12.34, "12.34"},
      {0.1, "0.1"},
      {1e-5, "0.00001"},
      {0.001234, "0.001234"},
      {1e-6, "1e-06"},
      {1.5e-7, "1.5e-07"},
      {123456789.0, "123456789.0"},
      {5e-324, "5e-324"},
      {1.7976931348623157e+308, "1.7976931348623157e+308"},
      {1.8446744073709552e+19, "1.8446744073709552e+19"},
      {1e100, "1e+100"},
      {-2.5, "-2.5"},
      {-1e16, "-1e+16"},
      {1234567890123456.7, "1234567890123456.8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(format_double(c.value), c.text);
  }
}

TEST(JsonNumber, FormatDoubleRoundTrips) {
  const double values[] = {0.3, 2.0 / 3.0, 1e-300, 6.02214076e23, 9007199254740993.0, 0.7};
  for (double v : values) {
    const std::string text = format_double(v);
    SCOPED_TRACE(text);
    ASSERT_TRUE(is_json_number(text));
    EXPECT_EQ(parse_double(text), v);
  }
}

TEST(JsonNumber, NonFiniteDoubleGivesUnrepresentableText) {
  EXPECT_EQ(format_double(std::numeric_limits<double>::infinity()), "1e999");
  EXPECT_EQ(format_double(std::numeric_limits<double>::quiet_NaN()), "1e999");
}

}  // namespace
}  // namespace telmir::json
