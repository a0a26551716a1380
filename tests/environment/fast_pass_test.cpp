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
      // numbers outside the grammar
      "01",
      "-01",
      "+1",
      ".5",
      "1.",
      "1.e5",
      "1e",
      "1e+",
      "-",
      "--1",
      "0x10",
      "NaN",
      "Infinity",
      "-Infinity",
      "1_000",
      "{\"a\":01}",
      "[1.]",
      "[.1]",
      "{\"a\":-}",
      // literals
      "tru",
      "nul",
      "True",
      "NULL",
      "falsey",
      // strings
      "\"abc",
      "\"a\tb\"",
      "\"a\x01\"",
      "\"\\x\"",
      "\"\\u12\"",
      "\"\\u12G4\"",
      // surrogates
      "\"\\ud800\"",
      "\"\\udc00\"",
      "\"\\ud800\\u0041\"",
      "\"\\ud800x\"",
      "\"\\udbff\\udbff\"",
      // UTF-8
      "\"\xff\"",
      "\"\xc3\"",
      "\"\xc0\xaf\"",
      "\"\xe0\x80\xaf\"",
      "\"\xed\xa0\x80\"",
      "\"\xf4\x90\x80\x80\"",
      "\"\xf8\x88\x80\x80\x80\"",
      "\xef\xbb\xbf{}",
      // structure
      "{",
      "}",
      "[",
      "]",
      "[1,]",
      "[,1]",
      "{\"a\":1,}",
      "{\"a\" 1}",
      "{a:1}",
      "{\"a\":1 \"b\":2}",
      "[1 2]",
      "{\"a\"}",
      "{1:2}",
      "{} {}",
      "[] x",
      "1 2",
      "\"a\" \"b\"",
      "{}\x01",
      "",
      // depth
      nested(129),
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
    if (input.empty()) continue;  // a blank line is no line
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
