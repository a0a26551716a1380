#include <filesystem>
#include <string>

#include "governance/verifier_checks.h"
#include "verifier_fixture.h"

namespace telmir::verifier_test {
namespace {

using chaingen::DecisionSpec;
using chaingen::Seal;
using chaingen::SignatureForm;

Seal unsigned_seal() {
  Seal seal;
  seal.signature = SignatureForm::kNone;
  return seal;
}

DecisionSpec allowed_against_constraint(std::string decision = "ALLOW") {
  DecisionSpec spec;
  spec.policy_decision = std::move(decision);
  spec.matched_negative_constraint = "no_secrets";
  return spec;
}

TEST(VerificationRecord, CleanDecisionWritesFivePasses) {
  Installation in;
  in.add_decision({}, unsigned_seal());
  json::Node second = in.add_decision({}, unsigned_seal());
  RunOutcome out = in.run();
  ASSERT_TRUE(out.verified) << out.verified.error();
  std::vector<json::Record> verifications = out.verifications();
  ASSERT_EQ(verifications.size(), 2u);

  const json::Value& v = verifications[1]->root();
  EXPECT_EQ(v.string_member("governance_record_hash"), second.find("record_hash")->text());
  EXPECT_EQ(v.string_member("decision_type"), "ALLOW");
  EXPECT_EQ(v.string_member("tool_name"), "read_file");
  EXPECT_TRUE(v.find("all_clear")->as_bool());
  ASSERT_TRUE(v.find("findings")->is_array());
  EXPECT_TRUE(v.find("findings")->items().empty());
  const json::Value* checks = v.find("checks_performed");
  ASSERT_NE(checks, nullptr);
  ASSERT_EQ(checks->members().size(), 5u);
  for (std::string_view name : governance::kCheckNames) {
    SCOPED_TRACE(name);
    ASSERT_NE(checks->find(name), nullptr);
    EXPECT_EQ(checks->find(name)->as_string(), "pass");
  }
  EXPECT_TRUE(out.conditions().empty());
  EXPECT_TRUE(out.raised.empty());
}

TEST(VerificationRecord, FailingChecksAreWrittenInCheckOrderWithTheirConditions) {
  Installation in;
  DecisionSpec spec = allowed_against_constraint();
  spec.matched_rule = "approved_lookup";
  Seal seal = unsigned_seal();
  seal.omit_record_hash = true;
  in.add_decision(spec, seal);
  RunOutcome out = in.run();
  ASSERT_TRUE(out.verified) << out.verified.error();
  ASSERT_EQ(out.verifications().size(), 1u);
  const json::Value& v = out.verifications()[0]->root();

  EXPECT_EQ(v.string_member("governance_record_hash"), "unknown");
  EXPECT_FALSE(v.find("all_clear")->as_bool());
  std::span<const json::Value> findings = v.find("findings")->items();
  ASSERT_EQ(findings.size(), 3u);
  EXPECT_EQ(findings[0].string_member("check"), "structural_integrity");
  EXPECT_EQ(findings[0].string_member("condition_type"), "environment_critical");
  EXPECT_EQ(findings[1].string_member("check"), "approval_provenance");
  EXPECT_EQ(findings[1].string_member("condition_type"), "invalid_approval");
  EXPECT_EQ(findings[2].string_member("check"), "negative_constraints");
  EXPECT_EQ(findings[2].string_member("condition_id"), "CR-CRIT-002");
  EXPECT_EQ(findings[2].string_member("detail"),
            "ALLOW decision matched a declared negative constraint");

  // The verification comes first, then one condition per critical failure in check order.
  ASSERT_EQ(out.qa_records.size(), 4u);
  EXPECT_EQ(out.qa_records[0]->root().string_member("event_type"), "qa_decision_verification");
  std::vector<json::Record> conditions = out.conditions();
  ASSERT_EQ(conditions.size(), 3u);
  const char* codes[] = {"CR-CRIT-005", "CR-CRIT-003", "CR-CRIT-002"};
  for (std::size_t i = 0; i < 3; ++i) {
    const json::Value& c = conditions[i]->root();
    EXPECT_EQ(c.string_member("condition_id"), codes[i]);
    EXPECT_EQ(c.string_member("condition_type"), findings[i].string_member("condition_type"));
    EXPECT_EQ(c.string_member("severity"), "critical");
    EXPECT_EQ(c.string_member("detail"), findings[i].string_member("detail"));
    EXPECT_EQ(c.string_member("governance_record_ref"), "unknown");
  }
  EXPECT_EQ(out.raised, (std::vector<std::string>{"CR-CRIT-005", "CR-CRIT-003", "CR-CRIT-002"}));
}

TEST(VerificationRecord, FailureMembersFollowTheFixedOrder) {
  governance::VerificationResult result;
  for (std::size_t i = 0; i < 5; ++i) result.checks[i].name = governance::kCheckNames[i];
  result.checks[1].outcome = governance::CheckOutcome::fail(
      "high", "classification changed for t: a -> b", "CR-HIGH-001", "classification_anomaly");
  json::Node checks = governance::checks_performed(result);
  std::vector<std::string> names;
  for (const auto& [name, value] : checks.members()) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>(governance::kCheckNames.begin(),
                                             governance::kCheckNames.end())));
  const json::Node* failed = checks.find("classification_consistency");
  ASSERT_NE(failed, nullptr);
  std::vector<std::string> keys;
  for (const auto& [key, value] : failed->members()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"status", "severity", "detail", "condition_id"}));

  std::vector<json::Node> findings = governance::verification_findings(result);
  ASSERT_EQ(findings.size(), 1u);
  keys.clear();
  for (const auto& [key, value] : findings[0].members()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"check", "severity", "detail", "condition_id",
                                            "condition_type"}));
  EXPECT_FALSE(result.all_clear());
}

TEST(NegativeConstraints, OnlyAllowDecisionsViolateConstraints) {
  struct Case {
    const char* behaviour;
    const char* decision;
    std::optional<bool> match_flag;
    std::optional<std::string> constraint;
    bool fails;
  };
  const Case cases[] = {
      {"DENY with a matched constraint passes", "DENY", std::nullopt, "no_secrets", false},
      {"ALLOW with a matched constraint fails", "ALLOW", std::nullopt, "no_secrets", true},
      {"ALLOW with negative_constraint_match true fails", "ALLOW", true, std::nullopt, true},
      {"DENY with negative_constraint_match true passes", "DENY", true, std::nullopt, false},
      {"ALLOW with an empty constraint name fails", "ALLOW", false, "", true},
      {"ALLOW without constraint passes", "ALLOW", false, std::nullopt, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.behaviour);
    Installation in;
    DecisionSpec spec;
    spec.policy_decision = c.decision;
    json::Node record = chaingen::make_decision(spec);
    json::Node classification = json::Node::object();
    classification.set("category", json::Node("read"));
    if (c.match_flag) classification.set("negative_constraint_match", json::Node(*c.match_flag));
    record.set("classification", std::move(classification));
    if (c.constraint) record.set("matched_negative_constraint", json::Node(*c.constraint));
    in.add(std::move(record));
    RunOutcome out = in.run();
    ASSERT_TRUE(out.verified) << out.verified.error();
    ASSERT_EQ(out.verifications().size(), 1u);
    expect_check(out.verifications()[0], "negative_constraints",
                 c.fails ? Expect::fails("ALLOW decision matched a declared negative constraint",
                                         "CR-CRIT-002")
                         : Expect::passes());
    EXPECT_EQ(out.conditions().size(), c.fails ? 1u : 0u);
  }
}

TEST(NegativeConstraints, NonBooleanMatchFlagDoesNotCount) {
  json::Node record = chaingen::make_decision({});
  json::Node classification = json::Node::object();
  classification.set("category", json::Node("read"));
  classification.set("negative_constraint_match", json::Node("true"));
  record.set("classification", std::move(classification));
  json::Record frozen = json::freeze(record);
  EXPECT_TRUE(governance::check_negative_constraints(frozen->root()).passed());
}

TEST(RaisedConditions, CodeRaisedTwiceIsAppendedTwiceAndListedOnce) {
  Installation in;
  in.add_decision(allowed_against_constraint());
  in.add_decision(allowed_against_constraint());
  RunOutcome out = in.run();
  ASSERT_TRUE(out.verified) << out.verified.error();
  std::vector<json::Record> conditions = out.conditions();
  ASSERT_EQ(conditions.size(), 2u);
  EXPECT_NE(conditions[0]->root().string_member("governance_record_ref"),
            conditions[1]->root().string_member("governance_record_ref"));
  for (const json::Record& c : conditions) {
    EXPECT_EQ(c->root().string_member("condition_id"), "CR-CRIT-002");
  }
  EXPECT_EQ(out.raised, std::vector<std::string>{"CR-CRIT-002"});
}

TEST(VerifyQueue, EveryVerifiedDecisionIsObservedBySpc) {
  Installation in;
  in.add_decision({});
  in.add(chaingen::make_approval("A1", "op-1", "2026-03-01T10:00:00Z"));
  in.add_decision({});
  in.add_decision(allowed_against_constraint("DENY"));
  RunOutcome out = in.run();
  ASSERT_TRUE(out.verified) << out.verified.error();
  EXPECT_EQ(out.verifications().size(), 3u);
  EXPECT_EQ(out.spc_decisions, 3u);
  EXPECT_EQ(out.still_queued, 0u);
  EXPECT_TRUE(of_type(out.qa_records, "qa_spc_finding").empty());
}

TEST(VerifyQueue, FailedAppendStopsThePassAfterTheDecisionLeftTheQueue) {
  Installation in;
  in.add_decision({});
  in.add_decision({});
  in.add_decision({});
  // The QA chain becomes a directory once the writer is open: every append fails.
  in.before_verify = [&in] {
    std::filesystem::remove(in.config.qa_chain_path);
    std::filesystem::create_directory(in.config.qa_chain_path);
  };
  RunOutcome out = in.run();
  ASSERT_FALSE(out.verified);
  EXPECT_FALSE(out.verified.error().empty());
  EXPECT_EQ(out.still_queued, 2u);
  EXPECT_EQ(out.spc_decisions, 0u);
}

TEST(VerifyQueue, EmptyQueueWritesNothing) {
  Installation in;
  in.add(chaingen::make_approval("A1", "op-1", "2026-03-01T10:00:00Z"));
  RunOutcome out = in.run();
  ASSERT_TRUE(out.verified) << out.verified.error();
  EXPECT_TRUE(out.qa_records.empty());
  EXPECT_TRUE(out.raised.empty());
}

}  // namespace
}  // namespace telmir::verifier_test
