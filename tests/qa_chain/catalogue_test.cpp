#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "canonical/canonical.h"
#include "chain_fixture.h"
#include "qa_chain/qa_chain.h"

namespace telmir::qa {
namespace {

using CatalogueTest = ChainTest;

std::vector<std::string> keys_of(const json::Node& record) {
  std::vector<std::string> keys;
  for (const auto& m : record.members()) keys.push_back(m.first);
  return keys;
}

std::vector<std::string> with_envelope(std::vector<std::string> own) {
  std::vector<std::string> keys = {"event_type", "sequence", "timestamp_utc"};
  keys.insert(keys.end(), own.begin(), own.end());
  for (const char* k : {"prev_record_hash", "record_hash", "signature", "signing_key_id"}) {
    keys.push_back(k);
  }
  return keys;
}

std::string line_of(const json::Node& record) { return *canonical::canonical_json(record); }

TEST_F(CatalogueTest, EachBuilderWritesItsTypeWithExactlyItsFieldsInOrder) {
  QaChainWriter writer = open_writer();
  struct Case {
    const char* event_type;
    std::function<Result<json::Node>()> build;
    std::vector<std::string> own;
  };
  const std::vector<Case> cases = {
      {"qa_spc_finding",
       [&] { return append_spc_finding(writer, "SPC-001", "n", 1, 2, 0, "w", "s"); },
       {"metric_id", "metric_name", "current_value", "ucl", "lcl", "window", "status"}},
      {"qa_behavioral_analysis",
       [&] { return append_behavioral_warm_up(writer, "all", 4, 100); },
       {"analysis_window", "anomaly_count", "findings", "warm_up", "decisions_analyzed",
        "minimum_required"}},
      {"qa_behavioral_analysis",
       [&] { return append_behavioral_analysis(writer, "all", {}); },
       {"analysis_window", "anomaly_count", "findings_included_count", "findings"}},
      {"qa_condition_detected",
       [&] { return append_condition_detected(writer, "c", "t", "high", "d", "ref"); },
       {"condition_id", "condition_type", "severity", "detail", "governance_record_ref"}},
      {"qa_element_verification",
       [&] {
         return append_element_verification(writer, "spec", 5, 4, 1, 0, {}, json::Node::object());
       },
       {"spec_id", "elements_checked", "elements_passed", "elements_flagged", "elements_skipped",
        "findings_included_count", "findings", "coverage"}},
      {"qa_decision_verification",
       [&] {
         return append_decision_verification(writer, "h", "ALLOW", "read_file", json::Node::array(),
                                             true, {});
       },
       {"governance_record_hash", "decision_type", "tool_name", "checks_performed", "all_clear",
        "findings"}},
      {"qa_environmental_snapshot",
       [&] {
         return append_environmental_snapshot(writer, "p", "c", json::Node::object(), {}, "ok");
       },
       {"policy_rules_hash", "capability_registry_hash", "checks", "active_conditions", "overall"}},
      {"qa_verification_backlog_warning",
       [&] { return append_backlog_warning(writer, 1, 2); },
       {"queue_depth", "queue_capacity"}},
      {"qa_decision_verification_skipped",
       [&] { return append_verification_skipped(writer, "h", "r"); },
       {"governance_record_hash", "reason"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.event_type);
    auto r = c.build();
    ASSERT_TRUE(r.has_value()) << r.error();
    EXPECT_EQ(r->find("event_type")->text(), c.event_type);
    EXPECT_EQ(keys_of(*r), with_envelope(c.own));
  }
  EXPECT_EQ(records().size(), cases.size());
}

TEST_F(CatalogueTest, SpcNumbersAreWrittenAsFloats) {
  QaChainWriter writer = open_writer();
  auto r = append_spc_finding(writer, "SPC-002", "rate", 5, 0.25, -0.0, "last 100", "above_ucl");
  ASSERT_TRUE(r.has_value()) << r.error();
  std::string line = line_of(*r);
  EXPECT_NE(line.find("\"current_value\":5.0"), std::string::npos) << line;
  EXPECT_NE(line.find("\"ucl\":0.25"), std::string::npos) << line;
  EXPECT_NE(line.find("\"lcl\":-0.0"), std::string::npos) << line;
}

TEST_F(CatalogueTest, NonFiniteSpcNumbersAreRefusedWithoutUsingUpTheSequence) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* name;
    double current, ucl, lcl;
  };
  const std::vector<Case> cases = {
      {"nan ucl", 1, nan, 0}, {"infinite value", inf, 1, 0}, {"negative infinite lcl", 1, 1, -inf}};
  QaChainWriter writer = open_writer();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = append_spc_finding(writer, "SPC-001", "m", c.current, c.ucl, c.lcl, "w", "s");
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), "QA numeric fields must be finite");
    EXPECT_EQ(writer.next_sequence(), 1u);
  }
  EXPECT_FALSE(std::filesystem::exists(chain_path()));
  auto ok = append_spc_finding(writer, "SPC-001", "m", 1, 2, 0, "w", "s");
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(ok->find("sequence")->text(), "1");
}

// A string finding whose canonical text is `rendered` bytes (the quotes included).
json::Node finding_of(std::size_t rendered) { return json::Node(std::string(rendered - 2, 'f')); }

using Truncating = std::function<Result<json::Node>(QaChainWriter&, std::vector<json::Node>)>;

struct TruncatingBuilder {
  const char* name;
  Truncating build;
  bool counts_anomalies;
};

std::vector<TruncatingBuilder> truncating_builders() {
  return {
      {"behavioural analysis",
       [](QaChainWriter& w, std::vector<json::Node> f) {
         return append_behavioral_analysis(w, "all", std::move(f));
       },
       true},
      {"element verification",
       [](QaChainWriter& w, std::vector<json::Node> f) {
         return append_element_verification(w, "spec", 5, 5, 0, 0, std::move(f),
                                            json::Node::object());
       },
       false},
  };
}

TEST_F(CatalogueTest, FindingsAreCutToTheLongestPrefixWithin3000Bytes) {
  struct Case {
    const char* name;
    std::vector<json::Node> findings;
    std::uint64_t included;
    bool truncated;
  };
  auto cases = [] {
    std::vector<Case> c;
    // 2 brackets + 1000 + 1 + 1000 + 1 + 996 = 3000
    c.push_back(
        {"exactly 3000 bytes", {finding_of(1000), finding_of(1000), finding_of(996)}, 3, false});
    c.push_back({"one byte over", {finding_of(1000), finding_of(1000), finding_of(997)}, 2, true});
    c.push_back({"single finding of 2998 bytes", {finding_of(2998)}, 1, false});
    c.push_back({"single finding over 2998 bytes", {finding_of(2999), finding_of(3)}, 0, true});
    c.push_back({"no findings", {}, 0, false});
    json::Node unrenderable = json::Node::object();
    unrenderable.set("n", json::Node::number_text("1e400"));
    c.push_back(
        {"unrenderable finding dropped", {finding_of(3), unrenderable, finding_of(4)}, 2, true});
    return c;
  };
  for (const TruncatingBuilder& b : truncating_builders()) {
    for (Case& c : cases()) {
      SCOPED_TRACE(std::string(b.name) + ": " + c.name);
      QaChainWriter writer = open_writer();
      std::size_t offered = c.findings.size();
      auto r = b.build(writer, std::move(c.findings));
      ASSERT_TRUE(r.has_value()) << r.error();
      EXPECT_EQ(r->find("findings_included_count")->text(), std::to_string(c.included));
      EXPECT_EQ(r->find("findings")->items().size(), c.included);
      const json::Node* truncated = r->find("findings_truncated");
      if (c.truncated) {
        ASSERT_NE(truncated, nullptr);
        EXPECT_TRUE(truncated->as_bool());
      } else {
        EXPECT_EQ(truncated, nullptr);
      }
      if (b.counts_anomalies) {
        EXPECT_EQ(r->find("anomaly_count")->text(), std::to_string(offered));
      }
      if (c.included > 0) {
        EXPECT_LE(canonical::canonical_json(*r->find("findings"))->size(), 3000u);
      }
    }
  }
}

TEST_F(CatalogueTest, ConditionWithoutReferenceHasNullReference) {
  QaChainWriter writer = open_writer();
  auto r = append_condition_detected(writer, "CR-CRIT-003", "invalid_approval", "critical",
                                     "detail", std::nullopt);
  ASSERT_TRUE(r.has_value());
  EXPECT_NE(line_of(*r).find("\"governance_record_ref\":null"), std::string::npos);
}

Result<json::Node> append_snapshot(QaChainWriter& writer) {
  return append_environmental_snapshot(writer, "sha256:p", "sha256:c", json::Node::object(),
                                       {"CR-HIGH-003"}, "degraded");
}

TEST_F(CatalogueTest, BuildInfoAppearsOnlyInTheSnapshotThatOpensANewChain) {
  const std::string digest = "sha256:" + std::string(64, 'e');
  {
    QaChainWriter writer = open_writer();
    writer.set_build_info(digest, "GNU 12.2.0");
    auto first = append_snapshot(writer);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->find("binary_sha256")->text(), digest);
    EXPECT_EQ(first->find("toolchain_version")->text(), "GNU 12.2.0");
    auto later = append_snapshot(writer);
    ASSERT_TRUE(later.has_value());
    EXPECT_EQ(later->find("binary_sha256"), nullptr);
    EXPECT_EQ(later->find("toolchain_version"), nullptr);
  }
  {
    // A restart continues the chain: its first snapshot is not the chain's first record.
    QaChainWriter writer = open_writer();
    writer.set_build_info(digest, "GNU 12.2.0");
    auto r = append_snapshot(writer);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->find("binary_sha256"), nullptr);
  }
  {
    // A snapshot that is not the first record of a new chain carries nothing either.
    QaChainWriter writer(dir_.file("other.jsonl"), test_key(), std::nullopt, 1);
    writer.set_build_info(digest, "GNU 12.2.0");
    ASSERT_TRUE(append_backlog_warning(writer, 1, 1).has_value());
    auto r = append_snapshot(writer);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->find("toolchain_version"), nullptr);
  }
  {
    // Without build info the opening snapshot has neither key.
    QaChainWriter writer(dir_.file("bare.jsonl"), test_key(), std::nullopt, 1);
    auto r = append_snapshot(writer);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->find("binary_sha256"), nullptr);
    EXPECT_EQ(r->find("toolchain_version"), nullptr);
  }
}

TEST_F(CatalogueTest, SnapshotKeepsTheConditionOrder) {
  QaChainWriter writer = open_writer();
  auto r = append_environmental_snapshot(writer, "p", "c", json::Node::object(),
                                         {"CR-HIGH-003", "CR-CRIT-001", "CR-CRIT-005:x"}, "failed");
  ASSERT_TRUE(r.has_value());
  EXPECT_NE(
      line_of(*r).find(R"("active_conditions":["CR-HIGH-003","CR-CRIT-001","CR-CRIT-005:x"])"),
      std::string::npos);
}

TEST_F(CatalogueTest, DecisionVerificationWithVeryManyShortFindingsIsRefused) {
  QaChainWriter writer = open_writer();
  std::vector<json::Node> findings;
  for (int i = 0; i < 400; ++i) findings.push_back(json::Node("finding"));
  auto r = append_decision_verification(writer, "sha256:h", "ALLOW", "read_file",
                                        json::Node::array(), false, std::move(findings));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().rfind("QA chain record exceeds 4KB atomic append limit: ", 0), 0u);
  EXPECT_EQ(writer.next_sequence(), 1u);
}

}  // namespace
}  // namespace telmir::qa
