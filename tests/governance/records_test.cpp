#include "governance/records/records.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "json/value.h"
#include "platform/rfc3339.h"

namespace telmir::governance {
namespace {

json::Record parsed(std::string_view text) {
  auto r = json::parse(text);
  EXPECT_TRUE(r.has_value()) << text << ": " << r.error();
  return *r;
}

TEST(StringKeyRule, SecondSpellingOnlyWhenFirstIsAbsent) {
  struct Case {
    const char* record;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {R"({"a":"x","b":"y"})", "x"},
      {R"({"b":"y"})", "y"},
      {R"({"a":1,"b":"y"})", std::nullopt},
      {R"({"a":null,"b":"y"})", std::nullopt},
      {R"({"a":"","b":"y"})", ""},
      {R"({"b":2})", std::nullopt},
      {R"({})", std::nullopt},
      {R"(["a","b"])", std::nullopt},
      {R"("a")", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.record);
    auto r = parsed(c.record);
    auto got = string_key(r->root(), "a", "b");
    EXPECT_EQ(got ? std::optional<std::string>(std::string(*got)) : std::nullopt, c.expected);
  }
}

TEST(ToolKey, FallsBackToToolNameOnlyWhenOriginalToolIsMissing) {
  struct Case {
    const char* record;
    const char* expected;
  };
  const Case cases[] = {
      {R"({"original_tool":"read_file","tool_name":"other"})", "read_file"},
      {R"({"tool_name":"write_file"})", "write_file"},
      {R"({"original_tool":7,"tool_name":"write_file"})", "unknown"},
      {R"({"original_tool":null})", "unknown"},
      {R"({"tool_name":["x"]})", "unknown"},
      {R"({})", "unknown"},
      {R"({"original_tool":""})", ""},
      {R"(42)", "unknown"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.record);
    EXPECT_EQ(tool_key(parsed(c.record)->root()), c.expected);
  }
}

TEST(RecordTimestamp, AcceptsTheRfc3339FormsAndConvertsToUtcSeconds) {
  struct Case {
    const char* text;
    std::optional<std::uint64_t> expected;
  };
  const Case cases[] = {
      {"2026-03-01T08:15:00Z", 1772352900},
      {"2026-03-01t08:15:00z", 1772352900},
      {"2026-03-01 08:15:00Z", 1772352900},
      {"2026-03-01T08:15:00.999999999999Z", 1772352900},
      {"2026-03-01T10:15:00+02:00", 1772352900},
      {"2026-03-01T02:45:00-05:30", 1772352900},
      {"2024-02-29T00:00:00Z", 1709164800},
      {"2016-12-31T23:59:60Z", 1483228800},
      {"1970-01-01T00:00:00Z", 0},
      {"1969-12-31T23:59:59Z", 0},
      {"1970-01-01T00:30:00+01:00", 0},
      {"2023-02-29T00:00:00Z", std::nullopt},
      {"2026-03-01T24:00:00Z", std::nullopt},
      {"2026-03-01T08:60:00Z", std::nullopt},
      {"2026-13-01T08:15:00Z", std::nullopt},
      {"2026-03-01T08:15:00", std::nullopt},
      {"2026-03-01T08:15:00.Z", std::nullopt},
      {"2026-03-01T08:15:00+0200", std::nullopt},
      {"2026-03-01T08:15:00+24:00", std::nullopt},
      {"2026-03-01T08:15:00Z ", std::nullopt},
      {" 2026-03-01T08:15:00Z", std::nullopt},
      {"2026-03-01_08:15:00Z", std::nullopt},
      {"2026-3-01T08:15:00Z", std::nullopt},
      {"2026-03-01", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    json::Node record = json::Node::object();
    record.set("timestamp_utc", c.text);
    EXPECT_EQ(record_timestamp(json::freeze(record)->root()), c.expected);
  }
}

TEST(RecordTimestamp, ReadsTimestampOnlyWhenTimestampUtcIsAbsent) {
  struct Case {
    const char* record;
    std::optional<std::uint64_t> expected;
  };
  const Case cases[] = {
      {R"({"timestamp":"2000-01-01T00:00:00Z"})", 946684800},
      {R"({"timestamp_utc":"2026-03-01T08:15:00Z","timestamp":"2000-01-01T00:00:00Z"})",
       1772352900},
      {R"({"timestamp_utc":946684800,"timestamp":"2000-01-01T00:00:00Z"})", std::nullopt},
      {R"({"timestamp_utc":"yesterday","timestamp":"2000-01-01T00:00:00Z"})", std::nullopt},
      {R"({})", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.record);
    EXPECT_EQ(record_timestamp(parsed(c.record)->root()), c.expected);
  }
}

TEST(RecordTime, KeepsTheOffsetAndTheFraction) {
  auto r = parsed(R"({"timestamp_utc":"2026-03-01T13:45:00.25+05:30"})");
  auto t = record_time(r->root());
  ASSERT_TRUE(t.has_value());
  EXPECT_EQ(t->epoch_seconds, 1772352900);
  EXPECT_EQ(t->offset_seconds, 5 * 3600 + 30 * 60);
  EXPECT_EQ(t->nanoseconds, 250000000u);
}

TEST(Rfc3339Format, WritesMillisecondsTruncatedWithZ) {
  EXPECT_EQ(platform::format_rfc3339_utc_millis(1772352900999), "2026-03-01T08:15:00.999Z");
  EXPECT_EQ(platform::format_rfc3339_utc_millis(0), "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(platform::format_rfc3339_utc_millis(-1), "1969-12-31T23:59:59.999Z");
  EXPECT_EQ(platform::format_rfc3339_utc_seconds(1709164800), "2024-02-29T00:00:00Z");
  auto back = platform::parse_rfc3339(platform::format_rfc3339_utc_millis(1772352900123));
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->epoch_seconds, 1772352900);
  EXPECT_EQ(back->nanoseconds, 123000000u);
}

TEST(SameHashRule, EqualTextHashesOrNoHashOnEitherSide) {
  struct Case {
    const char* a;
    const char* b;
    bool same;
  };
  const Case cases[] = {
      {R"({"record_hash":"sha256:aa"})", R"({"record_hash":"sha256:aa","x":1})", true},
      {R"({"record_hash":"sha256:aa"})", R"({"record_hash":"sha256:AA"})", false},
      {R"({"x":1})", R"({"y":2})", true},
      {R"({"record_hash":null})", R"({"record_hash":7})", true},
      {R"({"record_hash":"sha256:aa"})", R"({})", false},
      {R"({"record_hash":"7"})", R"({"record_hash":7})", false},
      {R"([1])", R"({})", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
    EXPECT_EQ(same_record(parsed(c.a)->root(), parsed(c.b)->root()), c.same);
    EXPECT_EQ(same_record(parsed(c.b)->root(), parsed(c.a)->root()), c.same);
  }
}

TEST(RecordKinds, AreRecognisedByExactTexts) {
  struct Case {
    const char* record;
    bool decision, approval, revocation, configuration, mediated;
  };
  const Case cases[] = {
      {R"({"policy_decision":"ALLOW"})", true, false, false, false, false},
      {R"({"policy_decision":"DENY","record_type":"mediated_decision"})", true, false, false, false,
       true},
      {R"({"policy_decision":"allow"})", false, false, false, false, false},
      {R"({"policy_decision":"ALLOW "})", false, false, false, false, false},
      {R"({"policy_decision":1})", false, false, false, false, false},
      {R"({"record_type":"mediated_decision"})", false, false, false, false, true},
      {R"({"record_type":"Mediated_decision"})", false, false, false, false, false},
      {R"({"event_type":"opaque_artifact_approval"})", false, true, false, false, false},
      {R"({"event_type":"opaque_artifact_revocation"})", false, false, true, false, false},
      {R"({"record_type":"opaque_artifact_approval"})", false, false, false, false, false},
      {R"({"event_type":"classifier_reload"})", false, false, false, true, false},
      {R"({"event_type":"proxy_capability_registry_update"})", false, false, false, true, false},
      {R"({"record_type":"classifier_change"})", false, false, false, true, false},
      {R"({"event_type":"proxy_started","record_type":"classifier"})", false, false, false, false,
       false},
      {R"({"event_type":5,"record_type":"classifier"})", false, false, false, false, false},
      {R"({"event_type":"Classifier_reload"})", false, false, false, false, false},
      {R"(["policy_decision","ALLOW"])", false, false, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.record);
    const json::Record record = parsed(c.record);
    const json::Value& v = record->root();
    EXPECT_EQ(is_decision_record(v), c.decision);
    EXPECT_EQ(is_approval_event(v), c.approval);
    EXPECT_EQ(is_revocation_event(v), c.revocation);
    EXPECT_EQ(is_configuration_change(v), c.configuration);
    EXPECT_EQ(is_mediated_decision(v), c.mediated);
  }
}

}  // namespace
}  // namespace telmir::governance
