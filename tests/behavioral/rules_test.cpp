// The ten rules over small sealed chains: every finding with its exact detail and evidence order.

#include <gtest/gtest.h>

// Cases leave trailing fields at their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <fmt/format.h>

#include <optional>
#include <string>
#include <vector>

#include "behavioral/behavioral.h"
#include "fixture.h"

namespace telmir::behavioral {
namespace {

using testing::approval;
using testing::approved;
using testing::decision;
using testing::Entry;
using testing::event;
using testing::revocation;

struct Expected {
  std::string type;
  std::string subtype;
  std::string detail;
  std::vector<std::size_t> evidence;  // positions in the chain
};

struct RuleCase {
  std::string name;
  std::vector<Entry> entries;
  std::vector<Expected> expected;
  std::uint64_t max_age = 86400;
  std::optional<std::string> policy_rules;  // file text; no file when absent
};

// Compares the findings whose subtype is one of `subtypes` (all when empty) with the expectation.
void check(const RuleCase& c, const std::vector<std::string>& subtypes) {
  SCOPED_TRACE(c.name);
  testing::TempDir dir;
  config::Config config = testing::config_in(dir);
  config.approval_max_age_seconds = c.max_age;
  if (c.policy_rules) dir.write("policy-rules.json", *c.policy_rules);
  testing::Chain chain = testing::seal(c.entries);

  std::vector<BehaviouralFinding> got;
  for (BehaviouralFinding& f : find_behavioural_patterns(config, chain.records)) {
    bool wanted = subtypes.empty();
    for (const std::string& s : subtypes) wanted = wanted || f.subtype == s;
    if (wanted) got.push_back(std::move(f));
  }
  std::vector<BehaviouralFinding> want;
  for (const Expected& e : c.expected) {
    want.push_back({e.type, e.subtype, e.detail, "medium", chain.hashes(e.evidence)});
  }
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(got[i].type, want[i].type);
    EXPECT_EQ(got[i].subtype, want[i].subtype);
    EXPECT_EQ(got[i].detail, want[i].detail);
    EXPECT_EQ(got[i].severity, "medium");
    EXPECT_EQ(got[i].evidence, want[i].evidence);
  }
}

std::string at(int hour, int minute = 0, int second = 0) {
  return fmt::format("2026-03-01T{:02}:{:02}:{:02}Z", hour, minute, second);
}

std::vector<Entry> decisions_at_hours(int daytime, int early) {
  std::vector<Entry> out;
  for (int i = 0; i < daytime; ++i) out.push_back({decision("t", "ALLOW", "read", at(10))});
  for (int i = 0; i < early; ++i) out.push_back({decision("t", "ALLOW", "read", at(2))});
  return out;
}

TEST(BehaviouralRules, ReclassificationIsReportedOnlyWithAChangeOfDecision) {
  const std::string kDetail = "t changed classification read -> write with decision ALLOW -> DENY";
  std::vector<RuleCase> cases = {
      {"label and decision change",
       {{decision("t", "ALLOW", "read")}, {decision("t", "DENY", "write")}},
       {{"classification_inconsistency", "same_tool_reclassified", kDetail, {0, 1}}}},
      {"label changes, decision stays",
       {{decision("t", "ALLOW", "read")}, {decision("t", "ALLOW", "write")}},
       {}},
      {"decision changes, label stays",
       {{decision("t", "ALLOW", "read")}, {decision("t", "DENY", "read")}},
       {}},
      {"records that are not decisions between do not matter",
       {{decision("t", "ALLOW", "read")},
        {event("classifier_reload")},
        {decision("t", "DENY", "write")}},
       {{"classification_inconsistency", "same_tool_reclassified", kDetail, {0, 2}}}},
      {"another tool's decision between breaks the pair",
       {{decision("t", "ALLOW", "read")},
        {decision("u", "ALLOW", "read")},
        {decision("t", "DENY", "write")}},
       {}},
  };
  for (const RuleCase& c : cases) check(c, {"same_tool_reclassified"});
}

TEST(BehaviouralRules, ReversalIsExplainedOnlyByPolicyApprovalOrClassifierRecordsBetween) {
  const std::string kDetail =
      "t reversed ALLOW -> DENY with no visible policy, approval, or classifier change";
  auto between = [](std::vector<Entry> middle) {
    std::vector<Entry> out = {{decision("t", "ALLOW")}};
    for (Entry& e : middle) out.push_back(std::move(e));
    out.push_back({decision("t", "DENY")});
    return out;
  };
  json::Node kind_from_record_type = json::Node::object();
  kind_from_record_type.set("record_type", "policy_reload");
  json::Node non_string_event_type = json::Node::object();
  non_string_event_type.set("event_type", json::Node::from_u64(3));
  non_string_event_type.set("record_type", "policy_reload");
  std::vector<RuleCase> cases = {
      {"nothing between",
       between({}),
       {{"decision_reversal", "visible_cause_absent", kDetail, {0, 1}}}},
      {"an approval between", between({{approval("A1", "alice", at(9))}}), {}},
      {"a capability registry reload between",
       between({{event("capability_registry_reload")}}),
       {}},
      {"a revocation between", between({{revocation("R1", "A1")}}), {}},
      {"a classifier change between", between({{event("classifier_reload")}}), {}},
      {"an event kind taken from record_type", between({{kind_from_record_type}}), {}},
      {"a non-string event_type hides record_type",
       between({{non_string_event_type}}),
       {{"decision_reversal", "visible_cause_absent", kDetail, {0, 2}}}},
      {"only unrelated records between",
       between({{event("heartbeat")}, {event("Policy_note")}}),
       {{"decision_reversal", "visible_cause_absent", kDetail, {0, 3}}}},
      {"another tool's decisions between count as unrelated",
       between({{decision("u", "ALLOW")}, {decision("u", "ALLOW")}}),
       {{"decision_reversal", "visible_cause_absent", kDetail, {0, 3}}}},
      {"the latest decision of the tool is compared",
       {{decision("t", "DENY")},
        {decision("t", "ALLOW")},
        {event("policy_reload")},
        {decision("t", "ALLOW")},
        {decision("t", "DENY")}},
       {{"decision_reversal",
         "visible_cause_absent",
         "t reversed DENY -> ALLOW with no visible policy, approval, or classifier change",
         {0, 1}},
        {"decision_reversal", "visible_cause_absent", kDetail, {3, 4}}}},
  };
  for (const RuleCase& c : cases) check(c, {"visible_cause_absent"});
}

TEST(BehaviouralRules, ReversalWithoutARangeBetweenItsRecordsIsReported) {
  const std::string kDetail =
      "t reversed ALLOW -> DENY with no visible policy, approval, or classifier change";
  chaingen::Seal no_hash;
  no_hash.omit_record_hash = true;
  chaingen::Seal shared_hash;
  shared_hash.tamper.push_back({"record_hash", json::Node("sha256:shared")});
  std::vector<RuleCase> cases = {
      // Neither decision has a hash: both are the same record, found at the first position, so
      // the approval between them is not looked at; no evidence is named.
      {"both decisions without hash",
       {{decision("t", "ALLOW"), no_hash},
        {approval("A1", "alice", at(9))},
        {decision("t", "DENY"), no_hash}},
       {{"decision_reversal", "visible_cause_absent", kDetail, {}}}},
      // The later decision shares its hash with a record before the earlier decision.
      {"later decision found before the earlier one",
       {{event("heartbeat"), shared_hash},
        {decision("t", "ALLOW")},
        {approval("A1", "alice", at(9))},
        {decision("t", "DENY"), shared_hash}},
       {{"decision_reversal", "visible_cause_absent", kDetail, {1, 3}}}},
  };
  for (const RuleCase& c : cases) check(c, {"visible_cause_absent"});
}

TEST(BehaviouralRules, ApprovalAgeIsReportedOnlyBeyondTheLimit) {
  std::vector<RuleCase> cases = {
      {"one second over the limit",
       {{approval("A1", "alice", at(10))}, {approved("A1", at(11, 0, 1))}},
       {{"approval_provenance",
         "approval_age_exceeded",
         "approval age 3601s exceeds configured maximum",
         {0, 1}}},
       3600},
      {"exactly the limit",
       {{approval("A1", "alice", at(10))}, {approved("A1", at(11))}},
       {},
       3600},
      {"approval dated after the decision",
       {{approved("A1", at(9))}, {approval("A1", "alice", at(11))}},
       {},
       0},
      {"limit 0 reports any positive age",
       {{approval("A1", "alice", at(10))}, {approved("A1", at(10, 0, 1))}},
       {{"approval_provenance",
         "approval_age_exceeded",
         "approval age 1s exceeds configured maximum",
         {0, 1}}},
       0},
      {"reference found as approval_id",
       {{chaingen::make_approval("E1", "alice", at(10), "A1")}, {approved("A1", at(12))}},
       {{"approval_provenance",
         "approval_age_exceeded",
         "approval age 7200s exceeds configured maximum",
         {0, 1}}},
       3600},
      {"reference matching no approval",
       {{approval("A2", "alice", at(1))}, {approved("A1", at(12))}},
       {},
       0},
      {"a DENY is not examined",
       {{approval("A1", "alice", at(1))}, {[] {
          json::Node d = approved("A1", at(12));
          d.set("policy_decision", "DENY");
          return d;
        }()}},
       {},
       0},
      {"an approval without timestamp",
       {{[] {
          json::Node a = approval("A1", "alice", at(1));
          a.set("timestamp_utc", json::Node::from_u64(1));
          return a;
        }()},
        {approved("A1", at(12))}},
       {},
       0},
  };
  for (const RuleCase& c : cases) check(c, {"approval_age_exceeded"});
}

TEST(BehaviouralRules, OperatorIsRecognisedOnlyAfterAnEarlierApproval) {
  const std::string kAlice = "operator alice had no prior approval history";
  std::vector<RuleCase> cases = {
      {"first approval used twice",
       {{approval("A1", "alice", at(10))}, {approved("A1", at(10))}, {approved("A1", at(10))}},
       {{"approval_provenance", "unrecognized_operator", kAlice, {0, 1}},
        {"approval_provenance", "unrecognized_operator", kAlice, {0, 2}}}},
      {"second approval of the operator passes",
       {{approval("A1", "alice", at(10))},
        {approved("A1", at(10))},
        {approval("A2", "alice", at(10))},
        {approved("A2", at(10))}},
       {{"approval_provenance", "unrecognized_operator", kAlice, {0, 1}}}},
      {"another operator's earlier approval does not count",
       {{approval("A0", "bob", at(10))},
        {approval("A1", "alice", at(10))},
        {approved("A1", at(10))}},
       {{"approval_provenance", "unrecognized_operator", kAlice, {1, 2}}}},
      {"approving_operator is read before operator",
       {{approval("A0", "alice", at(10))},
        {[] {
          json::Node a = approval("A1", "bob", at(10));
          a.set("approving_operator", "alice");
          return a;
        }()},
        {approved("A1", at(10))}},
       {}},
      {"an approval without operator",
       {{[] {
          json::Node a = approval("A1", "alice", at(10));
          a.set("operator", json::Node::from_u64(7));
          return a;
        }()},
        {approved("A1", at(10))}},
       {}},
  };
  for (const RuleCase& c : cases) check(c, {"unrecognized_operator"});

  // Age and operator for one decision: age first.
  check({"both findings",
         {{approval("A1", "alice", at(1))}, {approved("A1", at(12))}},
         {{"approval_provenance",
           "approval_age_exceeded",
           "approval age 39600s exceeds configured maximum",
           {0, 1}},
          {"approval_provenance", "unrecognized_operator", kAlice, {0, 1}}},
         3600},
        {"approval_age_exceeded", "unrecognized_operator"});
}

TEST(BehaviouralRules, OffHoursNeedThreeDaytimeDecisionsPerEarlyOne) {
  const std::string kThree = "3 decision(s) occurred outside historical activity hours";
  std::vector<Entry> with_offset = decisions_at_hours(3, 0);
  with_offset.push_back({decision("t", "ALLOW", "read", "2024-05-01T03:30:00+05:00")});
  std::vector<Entry> neither;
  for (int hour : {6, 7, 19, 23}) neither.push_back({decision("t", "ALLOW", "read", at(hour))});
  neither.push_back({decision("t", "ALLOW", "read", "not a time")});
  neither.push_back({decision("t", "ALLOW", "read", at(5))});
  neither.push_back({decision("t", "ALLOW", "read", at(8))});
  neither.push_back({decision("t", "ALLOW", "read", at(18))});
  std::vector<Entry> bounds;
  for (int hour : {8, 18, 18}) bounds.push_back({decision("t", "ALLOW", "read", at(hour))});
  bounds.push_back({decision("t", "ALLOW", "read", at(5, 59, 59))});
  std::vector<RuleCase> cases = {
      {"hour 5 is early, hours 8 and 18 are daytime",
       bounds,
       {{"temporal_pattern",
         "off_hours_activity",
         "1 decision(s) occurred outside historical activity hours",
         {3}}}},
      {"three early against ten daytime",
       decisions_at_hours(10, 3),
       {{"temporal_pattern", "off_hours_activity", kThree, {10, 11, 12}}}},
      {"four early against ten daytime", decisions_at_hours(10, 4), {}},
      {"no early decisions", decisions_at_hours(10, 0), {}},
      {"hour as written in its own offset",
       with_offset,
       {{"temporal_pattern",
         "off_hours_activity",
         "1 decision(s) occurred outside historical activity hours",
         {3}}}},
      {"hours 6, 7, 19-23 and unparsable stamps count in neither", neither, {}},
  };
  for (const RuleCase& c : cases) check(c, {"off_hours_activity"});
}

TEST(BehaviouralRules, CoverageReportsDeadAndOverlyBroadRules) {
  const std::string kRules = R"({"rules": [{"id": "r1"}, {"id": "r2"}]})";
  const Expected kDeadR2 = {
      "policy_rule_coverage", "dead_rule", "policy rule r2 matched zero decisions", {}};
  std::vector<RuleCase> cases = {
      {"only r1 matched, two decisions",
       {{decision("t", "ALLOW")}, {event("heartbeat")}, {decision("u", "DENY")}},
       {kDeadR2,
        {"policy_rule_coverage",
         "overly_broad_rule",
         "policy rule r1 matched every decision in window",
         {0, 2}}},
       86400,
       kRules},
      {"one decision only", {{decision("t", "ALLOW")}}, {kDeadR2}, 86400, kRules},
      {"unreadable rules file still reports overly broad rules",
       {{decision("t", "ALLOW")}, {decision("u", "DENY")}},
       {{"policy_rule_coverage",
         "overly_broad_rule",
         "policy rule r1 matched every decision in window",
         {0, 1}}}},
      {"rules file that is not JSON", {{decision("t", "ALLOW")}}, {}, 86400, "{rules"},
      {"identifiers from id, else name; unusable entries skipped",
       {{decision("t", "ALLOW")}},
       {{"policy_rule_coverage", "dead_rule", "policy rule n2 matched zero decisions", {}},
        {"policy_rule_coverage", "dead_rule", "policy rule r9 matched zero decisions", {}}},
       86400,
       R"({"rules": [{"id": "r1"}, {"name": "n2"}, {"id": 5, "name": "n3"}, {"id": ""}, "r4",
                     {"other": 1}, {"id": "r9", "name": "x"}]})"},
      {"rules not an array", {{decision("t", "ALLOW")}}, {}, 86400, R"({"rules": {"id": "r2"}})"},
      {"decisions without a rule are never overly broad",
       {{decision("t", "ALLOW", "read", at(10), std::nullopt)},
        {decision("t", "ALLOW", "read", at(10), std::nullopt)}},
       {}},
  };
  for (const RuleCase& c : cases) check(c, {"dead_rule", "overly_broad_rule"});
}

TEST(BehaviouralRules, NewToolsAreThoseAbsentBeforeTheLastTenDecisions) {
  std::vector<Entry> eleven;
  for (int i = 0; i < 10; ++i) eleven.push_back({decision("x", "ALLOW")});
  eleven.push_back({decision("y", "ALLOW")});
  std::vector<Entry> nine;
  for (int i = 0; i < 9; ++i) nine.push_back({decision(i % 3 == 1 ? "y" : "x", "ALLOW")});
  std::vector<RuleCase> cases = {
      {"eleven decisions, the last a new tool",
       eleven,
       {{"security_relevant_pattern",
         "new_tool_appeared",
         "tool_name y not seen in prior chain history",
         {10}}}},
      {"nine decisions report every tool once",
       nine,
       {{"security_relevant_pattern",
         "new_tool_appeared",
         "tool_name x not seen in prior chain history",
         {0}},
        {"security_relevant_pattern",
         "new_tool_appeared",
         "tool_name y not seen in prior chain history",
         {1}}}},
  };
  for (const RuleCase& c : cases) check(c, {"new_tool_appeared"});
}

TEST(BehaviouralRules, ApprovalDirectlyFollowedByRevocationIsReported) {
  const Expected kRapid = {"security_relevant_pattern",
                           "rapid_approval_revocation",
                           "approval and revocation occurred in adjacent chain records",
                           {}};
  Expected first = kRapid;
  first.evidence = {0, 1};
  Expected later = kRapid;
  later.evidence = {1, 2};
  std::vector<RuleCase> cases = {
      {"revocation of another approval, decision after",
       {{approval("A1", "alice", at(10))}, {revocation("R1", "A9")}, {decision("t", "ALLOW")}},
       {first}},
      {"a decision between",
       {{approval("A1", "alice", at(10))}, {decision("t", "ALLOW")}, {revocation("R1", "A1")}},
       {}},
      {"revocation before approval",
       {{revocation("R1", "A1")}, {approval("A1", "alice", at(10))}},
       {}},
      {"pair after other records",
       {{event("heartbeat")}, {approval("A1", "alice", at(10))}, {revocation("R1", "A1")}},
       {later}},
  };
  for (const RuleCase& c : cases) check(c, {"rapid_approval_revocation"});
}

TEST(BehaviouralRules, DistributionShiftNeedsNinetyOnePercentOfTenOrMore) {
  auto unlabelled = [](int count) {
    std::vector<Entry> out;
    for (int i = 0; i < count; ++i) {
      json::Node d = decision("t", "ALLOW");
      d.members().erase(d.members().begin() + 7);  // classification
      EXPECT_EQ(d.find("classification"), nullptr);
      out.push_back({std::move(d)});
    }
    return out;
  };
  std::vector<Entry> ten_of_eleven = unlabelled(10);
  ten_of_eleven.push_back({decision("t", "ALLOW", "write")});
  const Expected kUnknown = {"security_relevant_pattern",
                             "classification_distribution_shift",
                             "unknown classifications dominate the analysis window",
                             {}};
  std::vector<RuleCase> cases = {
      {"ten of ten", unlabelled(10), {kUnknown}},
      {"nine of nine", unlabelled(9), {}},
      {"ten of eleven is 90", ten_of_eleven, {}},
  };
  for (const RuleCase& c : cases) check(c, {"classification_distribution_shift"});
}

TEST(BehaviouralRules, PhasesReportInFixedOrder) {
  RuleCase c{"one finding from every phase",
             {{approval("A1", "alice", at(1))},
              {revocation("R1", "A1")},
              {decision("t", "ALLOW", "read", at(2))},
              {decision("t", "DENY", "write", at(10))},
              {decision("t", "ALLOW", "write", at(10))},
              {approved("A1", at(10))}},
             {{"classification_inconsistency",
               "same_tool_reclassified",
               "t changed classification read -> write with decision ALLOW -> DENY",
               {2, 3}},
              {"decision_reversal",
               "visible_cause_absent",
               "t reversed ALLOW -> DENY with no visible policy, approval, or classifier change",
               {2, 3}},
              {"decision_reversal",
               "visible_cause_absent",
               "t reversed DENY -> ALLOW with no visible policy, approval, or classifier change",
               {3, 4}},
              {"approval_provenance",
               "approval_age_exceeded",
               "approval age 32400s exceeds configured maximum",
               {0, 5}},
              {"approval_provenance",
               "unrecognized_operator",
               "operator alice had no prior approval history",
               {0, 5}},
              {"temporal_pattern",
               "off_hours_activity",
               "1 decision(s) occurred outside historical activity hours",
               {2}},
              {"policy_rule_coverage", "dead_rule", "policy rule r2 matched zero decisions", {}},
              {"security_relevant_pattern",
               "new_tool_appeared",
               "tool_name t not seen in prior chain history",
               {2}},
              {"security_relevant_pattern",
               "rapid_approval_revocation",
               "approval and revocation occurred in adjacent chain records",
               {0, 1}}},
             3600,
             R"({"rules": [{"id": "r1"}, {"id": "r2"}]})"};
  check(c, {});
}

}  // namespace
}  // namespace telmir::behavioral
