// The record readers the rules share, over hand-written records.

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "behavioral/behavioral.h"
#include "governance/records/records.h"
#include "json/value.h"

namespace telmir::behavioral {
namespace {

json::Record parse(const std::string& text) {
  auto r = json::parse(text);
  EXPECT_TRUE(r.has_value()) << text;
  return r ? *r : json::freeze(json::Node());
}

TEST(BehaviouralReaders, CategoryLabelPrefersCategoryAndRendersNonStrings) {
  struct Case {
    const char* record;
    const char* label;
  } cases[] = {
      {R"({"classification": {"category": "read", "action_type": "write"}})", "read"},
      {R"({"classification": {"action_type": "write", "confidence_tier": "high"}})", "write"},
      {R"({"classification": {"confidence_tier": "high"}})", "unknown"},
      {R"({"classification": {"category": 3}})", "3"},
      {R"({"classification": {"category": null, "action_type": "write"}})", "null"},
      {R"({"classification": {"category": {"a": [1, true]}}})", R"({"a":[1,true]})"},
      {R"({"classification": "read"})", "unknown"},
      {R"({})", "unknown"},
      {R"([1])", "unknown"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.record);
    EXPECT_EQ(category_label(parse(c.record)->root()), c.label);
  }
}

TEST(BehaviouralReaders, AlternativeKeysFallBackOnlyWhenTheFirstIsAbsent) {
  struct Case {
    const char* record;
    const char* kind;
    std::optional<std::string> op;
    std::optional<std::string> reference;
    const char* decision;
    const char* rule;
  } cases[] = {
      {R"({"event_type": "e", "record_type": "r", "approving_operator": "a", "operator": "o",
           "approval_event_id": "x", "approval_id": "y", "policy_decision": "allow",
           "matched_rule": "m"})",
       "e", "a", "x", "allow", "m"},
      {R"({"record_type": "r", "operator": "o", "approval_id": "y"})", "r", "o", "y", "UNKNOWN",
       ""},
      {R"({"event_type": 1, "record_type": "r", "approving_operator": null, "operator": "o",
           "approval_event_id": 2, "approval_id": "y", "policy_decision": 1, "matched_rule": 2})",
       "", std::nullopt, std::nullopt, "UNKNOWN", ""},
      {R"("text")", "", std::nullopt, std::nullopt, "UNKNOWN", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.record);
    const json::Record r = parse(c.record);
    EXPECT_EQ(event_kind(r->root()), c.kind);
    EXPECT_EQ(approving_operator(r->root()), c.op);
    EXPECT_EQ(approval_reference(r->root()), c.reference);
    EXPECT_EQ(decision_value(r->root()), c.decision);
    EXPECT_EQ(rule_name(r->root()), c.rule);
  }
}

TEST(BehaviouralReaders, ApprovalAndRevocationAreRecognisedByEventKind) {
  EXPECT_TRUE(is_approval_record(parse(R"({"record_type": "opaque_artifact_approval"})")->root()));
  EXPECT_FALSE(is_approval_record(
      parse(R"({"event_type": 5, "record_type": "opaque_artifact_approval"})")->root()));
  EXPECT_TRUE(
      is_revocation_record(parse(R"({"event_type": "opaque_artifact_revocation"})")->root()));
  EXPECT_FALSE(
      is_revocation_record(parse(R"({"event_type": "opaque_artifact_approval"})")->root()));
}

TEST(BehaviouralReaders, RecordHourIsTheHourAsWrittenInItsOwnOffset) {
  struct Case {
    const char* record;
    std::optional<int> hour;
    std::optional<std::uint64_t> timestamp;
  } cases[] = {
      // 2024-05-02T01:30:00Z
      {R"({"timestamp_utc": "2024-05-01 23:30:00-02:00"})", 23, 1714613400},
      {R"({"timestamp_utc": "2024-05-01T03:30:00+05:00"})", 3, 1714516200},
      {R"({"timestamp_utc": "2024-05-01t03:30:00.999Z"})", 3, 1714534200},
      {R"({"timestamp": "2024-05-01T07:00:00Z"})", 7, 1714546800},
      {R"({"timestamp_utc": 5, "timestamp": "2024-05-01T07:00:00Z"})", std::nullopt, std::nullopt},
      {R"({"timestamp_utc": "1969-12-31T22:00:00Z"})", 22, 0},
      {R"({"timestamp_utc": "2024-05-01"})", std::nullopt, std::nullopt},
      {R"({})", std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.record);
    const json::Record r = parse(c.record);
    EXPECT_EQ(record_hour(r->root()), c.hour);
    EXPECT_EQ(governance::record_timestamp(r->root()), c.timestamp);
  }
}

}  // namespace
}  // namespace telmir::behavioral
