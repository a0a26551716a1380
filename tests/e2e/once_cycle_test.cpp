// `telmir --once` against temporary installations: the first run cycle from the governance
// chain to the QA chain, the startup gate, and the exit statuses and streams.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "e2e_helpers.h"
#include "support/process.h"

namespace telmir::testing {
namespace {

namespace fs = std::filesystem;

TEST(OnceCycle, CleanInstallationRecordsOneSnapshotThenEveryDecisionThenAnalyses) {
  Installation inst;
  Env env = inst.env();
  env["ORVANTE_TELMIR_READY_FILE"] = inst.scratch() + "/state/ready/marker";
  auto r = run_once(env, inst.scratch());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "telmir ready\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_text(inst.scratch() + "/state/ready/marker"), "ready\n");

  auto qa = read_qa_records(inst.qa_chain_path());
  ASSERT_GE(qa.size(), 3u);
  auto types = event_types(qa);
  // Step 8's snapshot first, the behavioural record and the element record last, in that order.
  EXPECT_EQ(types.front(), "qa_environmental_snapshot");
  EXPECT_EQ(types[types.size() - 2], "qa_behavioral_analysis");
  EXPECT_EQ(types.back(), "qa_element_verification");
  EXPECT_EQ(of_type(qa, "qa_environmental_snapshot").size(), 1u);
  EXPECT_EQ(of_type(qa, "qa_decision_verification").size(), count_decisions(inst));
  EXPECT_TRUE(of_type(qa, "qa_condition_detected").empty());

  auto snapshot = qa.front();
  EXPECT_EQ(snapshot->root().string_member("overall"), "healthy");
  EXPECT_TRUE(strings_of(snapshot, "active_conditions").empty());
  // A new chain's first snapshot carries the build facts.
  EXPECT_NE(snapshot->root().find("binary_sha256"), nullptr);
  EXPECT_NE(snapshot->root().find("toolchain_version"), nullptr);

  // Every verification names a decision of the chain, in chain order.
  std::vector<std::string> decision_hashes;
  for (const auto& g : governance_records(inst)) {
    if (is_decision(g)) decision_hashes.emplace_back(*g->root().string_member("record_hash"));
  }
  std::vector<std::string> verified;
  for (const auto& v : of_type(qa, "qa_decision_verification")) {
    verified.emplace_back(v->root().string_member("governance_record_hash").value_or(""));
    EXPECT_TRUE(v->root().find("all_clear")->as_bool());
  }
  EXPECT_EQ(verified, decision_hashes);
  expect_qa_chain_verifies(inst);
}

TEST(OnceCycle, ARestartContinuesTheChainAndVerifiesTheDecisionsAgain) {
  Installation inst;
  ASSERT_EQ(run_once(inst.env(), inst.scratch()).status, 0);
  auto first = read_qa_records(inst.qa_chain_path());
  auto r = run_once(inst.env(), inst.scratch());
  ASSERT_EQ(r.status, 0) << r.err;
  auto both = read_qa_records(inst.qa_chain_path());
  EXPECT_EQ(both.size(), 2 * first.size());
  EXPECT_EQ(of_type(both, "qa_decision_verification").size(), 2 * count_decisions(inst));
  // Only the chain's very first snapshot carries the build facts.
  EXPECT_EQ(both[first.size()]->root().find("binary_sha256"), nullptr);
  expect_qa_chain_verifies(inst);
}

TEST(OnceCycle, ADamagedRecordInTheSnapshotTailGatesTheStart) {
  Installation inst;
  chaingen::Seal tampered;
  tampered.tamper.emplace_back("matched_rule", json::Node("allow_everything"));
  inst.append_record(chaingen::make_decision(inst.decision_spec()), tampered);
  auto r = run_once(inst.env(), inst.scratch());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("telmir startup gate failed: ENV-004: ", 0), 0u) << r.err;
  EXPECT_TRUE(read_text(inst.qa_chain_path()).empty());
}

TEST(OnceCycle, CriticalVerificationFailuresRaiseConditionsAndAFreshSnapshot) {
  Installation inst;
  auto spec = inst.decision_spec();
  spec.request_id = "req-tampered";
  chaingen::Seal tampered;
  tampered.tamper.emplace_back("matched_rule", json::Node("allow_everything"));
  std::string bad = inst.append_record(chaingen::make_decision(spec), tampered);
  // Later records keep the damage out of the tails the snapshot and the elements examine, so
  // the start is not gated and only verification sees it.
  for (const char* id : {"req-after-1", "req-after-2"}) {
    spec.request_id = id;
    inst.append_decision(spec);
  }
  Env env = inst.env();
  env["ORVANTE_TELMIR_TAIL_RECORDS"] = "2";
  env["ORVANTE_TELMIR_ELEMENT_TAIL_RECORDS"] = "2";

  auto r = run_once(env, inst.scratch());
  ASSERT_EQ(r.status, 0) << r.err;
  auto qa = read_qa_records(inst.qa_chain_path());
  EXPECT_EQ(of_type(qa, "qa_decision_verification").size(), count_decisions(inst));

  auto conditions = of_type(qa, "qa_condition_detected");
  ASSERT_EQ(conditions.size(), 1u);
  EXPECT_EQ(conditions[0]->root().string_member("condition_id"), "CR-CRIT-005");
  EXPECT_EQ(conditions[0]->root().string_member("governance_record_ref"), bad);

  // Step 8's snapshot, then the one carrying the raised condition.
  auto snapshots = of_type(qa, "qa_environmental_snapshot");
  ASSERT_EQ(snapshots.size(), 2u);
  EXPECT_TRUE(contains(strings_of(snapshots[1], "active_conditions"), "CR-CRIT-005"));
  EXPECT_EQ(snapshots[1]->root().string_member("overall"), "unhealthy");
  expect_qa_chain_verifies(inst);
}

TEST(OnceCycle, SpcLearnsFromThePrimedHistoryThenObservesTheCyclesDecisions) {
  Installation inst;
  Env env = inst.env();
  env["ORVANTE_TELMIR_SPC_MIN_DECISIONS"] = "5";
  auto r = run_once(env, inst.scratch());
  ASSERT_EQ(r.status, 0) << r.err;
  // Learned while priming, over the history's decisions alone.
  std::string baselines = read_text(inst.spc_baseline_path());
  ASSERT_FALSE(baselines.empty());
  auto parsed = json::parse(baselines);
  ASSERT_TRUE(parsed.has_value()) << parsed.error();
  EXPECT_NE(baselines.find("\"samples\": " + std::to_string(count_decisions(inst))),
            std::string::npos)
      << baselines;
  // The verified decisions are observed on top of the primed ones, so the metrics move off
  // their zero-width limits and findings follow the verifications.
  auto qa = read_qa_records(inst.qa_chain_path());
  auto types = event_types(qa);
  auto first_verification = std::find(types.begin(), types.end(), "qa_decision_verification");
  auto first_finding = std::find(types.begin(), types.end(), "qa_spc_finding");
  ASSERT_NE(first_finding, types.end());
  EXPECT_LT(first_verification, first_finding);
  expect_qa_chain_verifies(inst);
}

TEST(OnceCycle, AnOverLongToolNameIsRecordedShortenedNotFatal) {
  Installation inst;
  auto spec = inst.decision_spec();
  spec.tool = std::string(6000, 't');
  std::string hash = inst.append_decision(spec);
  auto r = run_once(inst.env(), inst.scratch());
  ASSERT_EQ(r.status, 0) << r.err;
  auto qa = read_qa_records(inst.qa_chain_path());
  bool found = false;
  for (const auto& v : of_type(qa, "qa_decision_verification")) {
    if (v->root().string_member("governance_record_hash") != hash) continue;
    found = true;
    auto tool = std::string(v->root().string_member("tool_name").value_or(""));
    EXPECT_LT(tool.size(), 6000u);
    EXPECT_EQ(tool.rfind("ttt", 0), 0u);
  }
  EXPECT_TRUE(found);
  expect_qa_chain_verifies(inst);
}

TEST(OnceCycle, BrokenQaChainTailStopsTheStartAndLeavesTheChainAsItWas) {
  Installation inst;
  ASSERT_EQ(run_once(inst.env(), inst.scratch()).status, 0);
  // Change one byte of a record in the tail: its hash no longer matches.
  std::string text = read_text(inst.qa_chain_path());
  auto at = text.rfind("\"sequence\":");
  ASSERT_NE(at, std::string::npos);
  auto before_last = text.rfind('\n', text.size() - 2);
  ASSERT_NE(before_last, std::string::npos);
  auto pos = text.find("\"timestamp_utc\":\"", before_last);
  ASSERT_NE(pos, std::string::npos);
  pos += 17;
  text[pos] = text[pos] == '1' ? '2' : '1';
  write_text(inst.qa_chain_path(), text);

  auto r = run_once(inst.env(), inst.scratch());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("telmir startup gate failed: ENV-005: ", 0), 0u) << r.err;
  EXPECT_EQ(r.err.back(), '\n');
  EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line only";
  EXPECT_EQ(read_text(inst.qa_chain_path()), text);
}

TEST(OnceCycle, TwoCriticalFailuresAreJoinedInNameOrderAndNothingIsAppended) {
  Installation inst;
  // The policy rules no longer match the digest the proxy recorded.
  write_text(inst.policy_rules_path(), "{\"rules\": [], \"changed\": true}\n");
  Env env = inst.env();
  env["ORVANTE_TELMIR_REQUIRE_PROXY_RUNNING"] = "true";
  auto r = run_once(env, inst.scratch());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  const std::string head = "telmir startup gate failed: ENV-001: ";
  const std::string tail =
      "; ENV-009: proxy process status unavailable and ORVANTE_TELMIR_REQUIRE_PROXY_RUNNING=true\n";
  EXPECT_EQ(r.err.rfind(head, 0), 0u) << r.err;
  ASSERT_GE(r.err.size(), tail.size());
  EXPECT_EQ(r.err.substr(r.err.size() - tail.size()), tail) << r.err;
  EXPECT_TRUE(read_text(inst.qa_chain_path()).empty());
  // The key of step 1 exists; the readiness marker does not.
  EXPECT_TRUE(fs::exists(inst.qa_key_path()));
}

TEST(OnceCycle, AHighFailureIsRecordedAndDoesNotGate) {
  Installation inst;
  fs::remove(inst.repo_root() + "/scripts/classifier.py");
  auto r = run_once(inst.env(), inst.scratch());
  ASSERT_EQ(r.status, 0) << r.err;
  auto snapshots = of_type(read_qa_records(inst.qa_chain_path()), "qa_environmental_snapshot");
  ASSERT_EQ(snapshots.size(), 1u);
  EXPECT_EQ(check_status(snapshots[0], "ENV-008"), "fail");
  EXPECT_EQ(snapshots[0]->root().string_member("overall"), "unhealthy");
  EXPECT_TRUE(strings_of(snapshots[0], "active_conditions").empty());
}

TEST(OnceCycle, CriticalElementConditionsReachAFreshSnapshot) {
  struct Case {
    const char* name;
    bool licence_token;  // else a broken link inside the element tail, outside the snapshot's
  };
  for (Case c : {Case{"licence-like token", true}, Case{"broken link", false}}) {
    SCOPED_TRACE(c.name);
    Installation inst;
    Env env = inst.env();
    std::string expected_code;
    if (c.licence_token) {
      json::Node d = chaingen::make_decision(inst.decision_spec());
      d.set("license", json::Node("abcdefghijklmnopqrstu.ABCDEFGHIJKLMNOPQRSTU"));
      inst.append_record(std::move(d));
      expected_code = "CR-CRIT-002";
    } else {
      // An approval event (never verified as a decision) that links to the wrong record,
      // followed by enough decisions to push it out of a two-record snapshot tail.
      chaingen::Seal broken;
      broken.prev_record_hash = json::Node(std::string("sha256:") + std::string(64, '0'));
      inst.append_record(chaingen::make_approval("evt-broken", "op-1", "2026-03-01T09:00:00Z"),
                         broken);
      for (int i = 0; i < 3; ++i) inst.append_decision();
      env["ORVANTE_TELMIR_TAIL_RECORDS"] = "2";
      expected_code = "CR-CRIT-005";
    }
    auto r = run_once(env, inst.scratch());
    ASSERT_EQ(r.status, 0) << r.err;
    auto qa = read_qa_records(inst.qa_chain_path());
    auto types = event_types(qa);
    ASSERT_GE(types.size(), 2u);
    EXPECT_EQ(types[types.size() - 2], "qa_element_verification");
    EXPECT_EQ(types.back(), "qa_environmental_snapshot");
    auto conditions = strings_of(qa.back(), "active_conditions");
    EXPECT_TRUE(contains(conditions, expected_code)) << ::testing::PrintToString(conditions);
    EXPECT_EQ(qa.back()->root().string_member("overall"), "unhealthy");
  }
}

}  // namespace
}  // namespace telmir::testing
