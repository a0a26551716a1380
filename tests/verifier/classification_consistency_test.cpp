#include <functional>
#include <string>

#include "verifier_fixture.h"

namespace telmir::verifier_test {
namespace {

using chaingen::DecisionSpec;

DecisionSpec decision(std::string tool, std::string category) {
  DecisionSpec spec;
  spec.tool = std::move(tool);
  spec.category = category;
  spec.action_type = category;
  return spec;
}

json::Node with_classification(DecisionSpec spec, json::Node classification) {
  json::Node record = chaingen::make_decision(spec);
  record.set("classification", std::move(classification));
  return record;
}

struct ClassificationCase {
  const char* behaviour;
  std::uint64_t history_depth;
  // Builds the chain; the last decision record is the one examined.
  std::function<void(Installation&)> build;
  Expect expect;
};

const ClassificationCase kClassificationCases[] = {
    {"equal labels pass", 10,
     [](Installation& in) {
       in.add_decision(decision("t1", "read"));
       in.add_decision(decision("t1", "read"));
     },
     Expect::passes()},
    {"read then write with nothing between fails", 10,
     [](Installation& in) {
       in.add_decision(decision("t1", "read"));
       in.add_decision(decision("t1", "write"));
     },
     Expect::fails("classification changed for t1: read -> write", "CR-HIGH-001", "high")},
    {"a classifier change between explains the change", 10,
     [](Installation& in) {
       in.add_decision(decision("t1", "read"));
       in.add(chaingen::make_config_change("classifier_reload", "2026-03-01T08:00:01Z"));
       in.add_decision(decision("t1", "write"));
     },
     Expect::passes()},
    {"a capability registry change given as record_type explains the change", 10,
     [](Installation& in) {
       in.add_decision(decision("t1", "read"));
       json::Node change = json::Node::object();
       change.set("record_type", json::Node("capability_registry_update"));
       in.add(std::move(change));
       in.add_decision(decision("t1", "write"));
     },
     Expect::passes()},
    {"an unrelated event between does not explain the change", 10,
     [](Installation& in) {
       in.add_decision(decision("t1", "read"));
       in.add(chaingen::make_config_change("policy_reload", "2026-03-01T08:00:01Z"));
       in.add_decision(decision("t1", "write"));
     },
     Expect::fails("classification changed for t1: read -> write", "CR-HIGH-001", "high")},
    {"a configuration change before the earlier decision does not explain it", 10,
     [](Installation& in) {
       in.add(chaingen::make_config_change("classifier_reload", "2026-03-01T08:00:01Z"));
       in.add_decision(decision("t1", "read"));
       in.add_decision(decision("t1", "write"));
     },
     Expect::fails("classification changed for t1: read -> write", "CR-HIGH-001", "high")},
    {"decisions of other tools are passed over", 10,
     [](Installation& in) {
       in.add_decision(decision("t1", "read"));
       in.add_decision(decision("t2", "write"));
       in.add_decision(decision("t1", "read"));
     },
     Expect::passes()},
    {"with N = 1 only the most recent earlier decision is compared", 1,
     [](Installation& in) {
       in.add_decision(decision("t1", "write"));
       in.add_decision(decision("t1", "read"));
       in.add_decision(decision("t1", "read"));
     },
     Expect::passes()},
    {"with N = 2 the older decision is compared too", 2,
     [](Installation& in) {
       in.add_decision(decision("t1", "write"));
       in.add_decision(decision("t1", "read"));
       in.add_decision(decision("t1", "read"));
     },
     Expect::fails("classification changed for t1: write -> read", "CR-HIGH-001", "high")},
    {"the label falls back to confidence_tier", 10,
     [](Installation& in) {
       json::Node a = json::Node::object();
       a.set("confidence_tier", json::Node("high"));
       json::Node b = json::Node::object();
       b.set("confidence_tier", json::Node("low"));
       in.add(with_classification(decision("t1", "x"), std::move(a)));
       in.add(with_classification(decision("t1", "x"), std::move(b)));
     },
     Expect::fails("classification changed for t1: high -> low", "CR-HIGH-001", "high")},
    {"the first present member decides even when it is not text", 10,
     [](Installation& in) {
       json::Node a = json::Node::object();
       a.set("category", json::Node::from_u64(3));
       a.set("action_type", json::Node("read"));
       json::Node b = json::Node::object();
       b.set("category", json::Node());
       b.set("action_type", json::Node("read"));
       in.add(with_classification(decision("t1", "x"), std::move(a)));
       in.add(with_classification(decision("t1", "x"), std::move(b)));
     },
     Expect::fails("classification changed for t1: 3 -> null", "CR-HIGH-001", "high")},
    {"a missing classification is unknown", 10,
     [](Installation& in) {
       in.add_decision(decision("t1", "read"));
       json::Node record = chaingen::make_decision(decision("t1", "read"));
       record.set("classification", json::Node("not an object"));
       in.add(std::move(record));
     },
     Expect::fails("classification changed for t1: read -> unknown", "CR-HIGH-001", "high")},
    {"records without a tool share the tool key unknown", 10,
     [](Installation& in) {
       json::Node a = chaingen::make_decision(decision("t1", "read"));
       a.set("original_tool", json::Node::from_u64(1));
       json::Node b = chaingen::make_decision(decision("t1", "write"));
       b.set("original_tool", json::Node());
       in.add(std::move(a));
       in.add(std::move(b));
     },
     Expect::fails("classification changed for unknown: read -> write", "CR-HIGH-001", "high")},
    {"a record that is not a decision is not a candidate", 10,
     [](Installation& in) {
       json::Node other = chaingen::make_decision(decision("t1", "write"));
       other.set("policy_decision", json::Node("allow"));
       in.add(std::move(other));
       in.add_decision(decision("t1", "read"));
     },
     Expect::passes()},
};

TEST(ClassificationConsistency, ComparesEarlierDecisionsOfTheSameTool) {
  for (const ClassificationCase& c : kClassificationCases) {
    SCOPED_TRACE(c.behaviour);
    Installation in;
    in.config.classification_history = c.history_depth;
    c.build(in);
    RunOutcome out = in.run();
    ASSERT_TRUE(out.verified) << out.verified.error();
    std::vector<json::Record> verifications = out.verifications();
    ASSERT_FALSE(verifications.empty());
    expect_check(verifications.back(), "classification_consistency", c.expect);
  }
}

TEST(ClassificationConsistency, OnlyFailureIsHighWithoutConditionRecord) {
  Installation in;
  in.add_decision(decision("t1", "read"));
  in.add_decision(decision("t1", "write"));
  RunOutcome out = in.run();
  ASSERT_TRUE(out.verified) << out.verified.error();
  std::vector<json::Record> verifications = out.verifications();
  ASSERT_EQ(verifications.size(), 2u);
  const json::Value& second = verifications[1]->root();
  EXPECT_FALSE(second.find("all_clear")->as_bool());
  std::span<const json::Value> findings = second.find("findings")->items();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0].string_member("check"), "classification_consistency");
  EXPECT_EQ(findings[0].string_member("severity"), "high");
  EXPECT_EQ(findings[0].string_member("condition_id"), "CR-HIGH-001");
  EXPECT_EQ(findings[0].string_member("condition_type"), "classification_anomaly");
  EXPECT_TRUE(out.conditions().empty());
  EXPECT_TRUE(out.raised.empty());
}

}  // namespace
}  // namespace telmir::verifier_test
