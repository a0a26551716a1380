// The lines that ENV-006 only counts are validated without building a tree; that pass must
// accept and refuse exactly what the JSON reader does, with the reader's message.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "environment/environment.h"
#include "environment_fixture.h"
#include "json/value.h"
#include "platform/text.h"

namespace telmir::environment {
namespace {

std::string nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

const std::vector<std::string>& malformed_inputs() {
  static const std::vector<std::string> inputs = {
      // the JSON reader's own table of refused inputs
      "",
      "  \n ",
      "01",
      "[-01]",
      "+1",
      ".5",
      "1.",
      "1.e3",
      "1e",
      "1e+",
      "-",
      "-Infinity",
      "NaN",
      "Infinity",
      "[1 2]",
      "[1,]",
      "[1",
      "{\"a\":1,}",
      "{a:1}",
      "{\"a\" 1}",
      "{\"a\":1 \"b\":2}",
      "tru",
      "nul",
      "True",
      "truex",
      "{} {}",
      "1\n2",
      "\xEF\xBB\xBF{}",
      "\"abc",
      "\"abc\\",
      "\"a\tb\"",
      "\"a\nb\"",
      std::string("\"a\0b\"", 5),
      "\"\\x\"",
      "\"\\\x01\"",
      "\"\\u12G4\"",
      "\"\\u12\"",
      "\"\\uD800\"",
      "\"\\uD800\\u0041\"",
      "\"\\uD800\\uD800\"",
      "\"\\uDC00\"",
      "\"\\ude00\\uD83D\"",
      "\"\xC3\x28\"",
      "\"\x80\"",
      "\"\xC0\xAF\"",
      "\"\xE0\x80\xAF\"",
      "\"\xED\xA0\x80\"",
      "\"\xF4\x90\x80\x80\"",
      "\"\xF5\x80\x80\x80\"",
      "\"\xE2\x82\"",
      "[\"\xE2\x82",
      "{\"k\xFF\":1}",
      "[\xC3\xA9]",
      "{\"a\":\n  [1,\n   x]}",
      nested(129),
      // more of the same kinds, inside records
      "-01",
      "--1",
      "0x10",
      "1_000",
      "{\"a\":01}",
      "[1.]",
      "[.1]",
      "{\"a\":-}",
      "NULL",
      "falsey",
      "\"a\x01\"",
      "\"\\ud800x\"",
      "\"\\udbff\\udbff\"",
      "\"\xff\"",
      "\"\xc3\"",
      "\"\xf8\x88\x80\x80\x80\"",
      "{",
      "}",
      "[",
      "]",
      "[,1]",
      "{\"a\"}",
      "{1:2}",
      "[] x",
      "1 2",
      "\"a\" \"b\"",
      "{}\x01",
      "{\"a\":" + nested(128) + "}",
  };
  return inputs;
}

const std::vector<std::string>& well_formed_inputs() {
  static const std::vector<std::string> inputs = {
      "0",
      "-0",
      "1.50",
      "1E2",
      "1e-7",
      "123456789012345678901234567890",
      "1e400",
      "true",
      "null",
      "\"\\ud83d\\ude00\"",
      "\"\xf0\x9f\x98\x80\"",
      "\"\\u0000\"",
      "{\"a\":1,\"a\":2}",
      "  [ 1 , { \"b\" : [ ] } ]  ",
      nested(128),
      "{\"a\":" + nested(127) + "}",
      "\"\x7f\"",
  };
  return inputs;
}

TEST(FastPass, AgreesWithTheReaderOnMalformedInputs) {
  for (const std::string& input : malformed_inputs()) {
    SCOPED_TRACE(::testing::PrintToString(input));
    Result<json::Record> parsed = json::parse(input);
    Result<void> validated = json::validate(input);
    ASSERT_FALSE(parsed.has_value());
    ASSERT_FALSE(validated.has_value());
    EXPECT_EQ(validated.error(), parsed.error());
  }
}

TEST(FastPass, AgreesWithTheReaderOnWellFormedInputs) {
  for (const std::string& input : well_formed_inputs()) {
    SCOPED_TRACE(::testing::PrintToString(input));
    EXPECT_TRUE(json::parse(input).has_value());
    EXPECT_TRUE(json::validate(input).has_value());
  }
}

class ApprovalLines : public testing::Installation {
 protected:
  // A chain of a valid record, the line under test and another valid record.
  EnvCheck count_with(const std::string& line) {
    std::string path = root_ + "/chain.jsonl";
    testing::write_text(path,
                        "{\"event_type\":\"opaque_artifact_approval\"}\n" + line + "\n{\"n\":1}\n");
    return check_active_approvals(path);
  }
};

TEST_F(ApprovalLines, MalformedLineAnywhereFailsWithTheReadersMessage) {
  const std::string path = root_ + "/chain.jsonl";
  for (const std::string& input : malformed_inputs()) {
    // A chain line holds no line feed, and a blank line is no line.
    if (input.find('\n') != std::string::npos || platform::is_blank_line(input)) continue;
    SCOPED_TRACE(::testing::PrintToString(input));
    EnvCheck check = count_with(input);
    EXPECT_EQ(check.status, CheckStatus::kFail);
    if (!platform::is_valid_utf8(input)) {
      // The whole file is refused before any line is looked at.
      EXPECT_THAT(*check.detail, ::testing::StartsWith("failed to read chain " + path + ": "));
      continue;
    }
    EXPECT_EQ(check.detail, "invalid chain JSON in " + path + ": " + json::parse(input).error());
  }
}

TEST_F(ApprovalLines, WellFormedLinesAreCounted) {
  for (const std::string& input : well_formed_inputs()) {
    SCOPED_TRACE(::testing::PrintToString(input));
    EnvCheck check = count_with(input);
    EXPECT_EQ(check.status, CheckStatus::kPass) << check.detail.value_or("");
    EXPECT_EQ(check.extra.at("active_approval_events").text(), "1");
  }
}

}  // namespace
}  // namespace telmir::environment
