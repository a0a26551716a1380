// One analysis run writes exactly one record: the warm-up form or the analysis form.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "behavioral/behavioral.h"
#include "fixture.h"
#include "key/key.h"
#include "platform/text.h"
#include "qa_chain/qa_chain.h"

namespace telmir::behavioral {
namespace {

using testing::approval;
using testing::decision;
using testing::Entry;

struct Written {
  std::size_t lines = 0;
  json::Record last;
};

Written read_qa_chain(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  const std::string all = text.str();
  Written w;
  for (const platform::JsonLine& line : platform::split_json_lines(all)) {
    ++w.lines;
    auto parsed = json::parse(line.text);
    EXPECT_TRUE(parsed.has_value());
    if (parsed) w.last = *parsed;
  }
  return w;
}

qa::QaChainWriter open_writer(const std::string& path) {
  std::array<std::uint8_t, 32> bytes{};
  bytes.fill(3);
  auto writer = qa::open_qa_chain(path, key::QaKey(key::Seed(bytes)));
  EXPECT_TRUE(writer.has_value());
  return std::move(*writer);
}

std::string compact(const json::Value* v) { return v ? json::write_compact(*v) : "<absent>"; }

TEST(BehaviouralRun, TooFewDecisionsWriteOnlyTheWarmUpForm) {
  testing::TempDir dir;
  config::Config config = testing::config_in(dir);
  config.behavioral_min_decisions = 4;
  std::vector<Entry> entries;
  for (int i = 0; i < 3; ++i) entries.push_back({decision("t", "ALLOW")});
  for (int i = 0; i < 40; ++i)
    entries.push_back({approval("A" + std::to_string(i), "alice", "2026-03-01T10:00:00Z")});
  testing::Chain chain = testing::seal(entries);
  qa::QaChainWriter writer = open_writer(config.qa_chain_path);

  auto result = run_behavioural_analysis(config, chain.records, writer);
  ASSERT_TRUE(result.has_value()) << result.error();
  EXPECT_TRUE(result->empty());
  Written w = read_qa_chain(config.qa_chain_path);
  ASSERT_EQ(w.lines, 1u);
  const json::Value& r = w.last->root();
  EXPECT_EQ(r.string_member("event_type"), "qa_behavioral_analysis");
  EXPECT_EQ(compact(r.find("warm_up")), "true");
  EXPECT_EQ(compact(r.find("decisions_analyzed")), "3");
  EXPECT_EQ(compact(r.find("minimum_required")), "4");
  EXPECT_EQ(compact(r.find("anomaly_count")), "0");
  EXPECT_EQ(compact(r.find("findings")), "[]");
  EXPECT_EQ(r.string_member("analysis_window"), "1h");
}

TEST(BehaviouralRun, MinimumZeroOverEmptyHistoryWritesAnEmptyAnalysis) {
  testing::TempDir dir;
  config::Config config = testing::config_in(dir);
  config.behavioral_min_decisions = 0;
  qa::QaChainWriter writer = open_writer(config.qa_chain_path);

  auto result = run_behavioural_analysis(config, {}, writer);
  ASSERT_TRUE(result.has_value()) << result.error();
  Written w = read_qa_chain(config.qa_chain_path);
  ASSERT_EQ(w.lines, 1u);
  const json::Value& r = w.last->root();
  EXPECT_EQ(compact(r.find("anomaly_count")), "0");
  EXPECT_EQ(compact(r.find("findings_included_count")), "0");
  EXPECT_EQ(compact(r.find("findings")), "[]");
  EXPECT_EQ(r.find("findings_truncated"), nullptr);
  EXPECT_EQ(r.find("warm_up"), nullptr);
  EXPECT_EQ(r.find("decisions_analyzed"), nullptr);
  EXPECT_EQ(r.find("minimum_required"), nullptr);
}

TEST(BehaviouralRun, AnalysisWritesEveryFindingInOrder) {
  testing::TempDir dir;
  config::Config config = testing::config_in(dir);
  config.behavioral_min_decisions = 2;
  testing::Chain chain =
      testing::seal({{decision("t", "ALLOW", "read")}, {decision("t", "DENY", "write")}});
  qa::QaChainWriter writer = open_writer(config.qa_chain_path);

  auto result = run_behavioural_analysis(config, chain.records, writer);
  ASSERT_TRUE(result.has_value()) << result.error();
  ASSERT_EQ(result->size(), 4u);  // reclassification, reversal, overly broad rule, new tool
  Written w = read_qa_chain(config.qa_chain_path);
  const json::Value& r = w.last->root();
  EXPECT_EQ(compact(r.find("anomaly_count")), "4");
  EXPECT_EQ(compact(r.find("findings_included_count")), "4");
  ASSERT_NE(r.find("findings"), nullptr);
  ASSERT_EQ(r.find("findings")->items().size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(r.find("findings")->items()[i].string_member("subtype"), (*result)[i].subtype);
  }
}

TEST(BehaviouralRun, FindingsBeyondTheBudgetAreCountedAndTheWrittenOnesAreTheBudgetPrefix) {
  testing::TempDir dir;
  config::Config config = testing::config_in(dir);
  config.behavioral_min_decisions = 0;
  std::vector<Entry> entries;
  for (int i = 0; i < 60; ++i)
    entries.push_back({decision(i % 2 ? "t" : "u", i % 4 < 2 ? "ALLOW" : "DENY")});
  testing::Chain chain = testing::seal(entries);
  qa::QaChainWriter writer = open_writer(config.qa_chain_path);

  auto result = run_behavioural_analysis(config, chain.records, writer);
  ASSERT_TRUE(result.has_value()) << result.error();
  ASSERT_GT(result->size(), 40u);
  // What the record must hold: the longest prefix of all rendered findings within 3000 bytes.
  std::string expected = "[";
  std::size_t expected_count = 0;
  for (const BehaviouralFinding& f : *result) {
    std::string text = json::write_compact(json::freeze(finding_to_json(f))->root());
    // Findings are written in canonical form: compact with keys in byte order.
    auto canonical = json::parse(text);
    ASSERT_TRUE(canonical.has_value());
    std::string sorted;
    {
      json::Node n = json::Node::from_value((*canonical)->root());
      std::sort(n.members().begin(), n.members().end(),
                [](const auto& a, const auto& b) { return a.first < b.first; });
      sorted = json::write_compact(json::freeze(n)->root());
    }
    std::size_t next = expected.size() + sorted.size() + (expected_count ? 1 : 0) + 1;
    if (next > 3000) break;
    if (expected_count) expected += ",";
    expected += sorted;
    ++expected_count;
  }
  expected += "]";
  Written w = read_qa_chain(config.qa_chain_path);
  const json::Value& r = w.last->root();
  EXPECT_EQ(compact(r.find("anomaly_count")), std::to_string(result->size()));
  EXPECT_EQ(compact(r.find("findings_included_count")), std::to_string(expected_count));
  EXPECT_EQ(compact(r.find("findings_truncated")), "true");
  EXPECT_EQ(compact(r.find("findings")), expected);
}

TEST(BehaviouralFindingJson, FirstFiveEvidenceStringsAndTheTotal) {
  struct Case {
    std::size_t evidence;
    const char* expected;
  } cases[] = {
      {7,
       R"({"type":"t","subtype":"s","detail":"d","severity":"medium","evidence_records":["h0","h1","h2","h3","h4"],"evidence_records_total":7,"evidence_records_truncated":true})"},
      {5,
       R"({"type":"t","subtype":"s","detail":"d","severity":"medium","evidence_records":["h0","h1","h2","h3","h4"],"evidence_records_total":5})"},
      {0,
       R"({"type":"t","subtype":"s","detail":"d","severity":"medium","evidence_records":[],"evidence_records_total":0})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.evidence);
    BehaviouralFinding f{"t", "s", "d", "medium", {}};
    for (std::size_t i = 0; i < c.evidence; ++i) f.evidence.push_back("h" + std::to_string(i));
    EXPECT_EQ(json::write_compact(json::freeze(finding_to_json(f))->root()), c.expected);
  }
}

TEST(BehaviouralFindingJson, NumericRecordHashIsLeftOutOfTheEvidence) {
  testing::TempDir dir;
  chaingen::Seal numeric;
  numeric.tamper.push_back({"record_hash", json::Node::number_text("12")});
  std::vector<Entry> entries;
  for (int i = 0; i < 7; ++i) {
    entries.push_back({decision("t", "ALLOW", "read", "2026-03-01T10:00:00Z")});
  }
  for (int i = 0; i < 7; ++i) {
    entries.push_back({decision("t", "ALLOW", "read", "2026-03-01T02:00:00Z"),
                       i == 3 ? numeric : chaingen::Seal{}});
  }
  for (int i = 0; i < 14; ++i) {
    entries.push_back({decision("t", "ALLOW", "read", "2026-03-01T10:00:00Z")});
  }
  testing::Chain chain = testing::seal(entries);
  for (const BehaviouralFinding& f :
       find_behavioural_patterns(testing::config_in(dir), chain.records)) {
    if (f.subtype != "off_hours_activity") continue;
    EXPECT_EQ(f.detail, "7 decision(s) occurred outside historical activity hours");
    EXPECT_EQ(f.evidence, chain.hashes({7, 8, 9, 11, 12, 13}));
    json::Record rendered = json::freeze(finding_to_json(f));
    EXPECT_EQ(compact(rendered->root().find("evidence_records_total")), "6");
    EXPECT_EQ(rendered->root().find("evidence_records")->items().size(), 5u);
    EXPECT_EQ(compact(rendered->root().find("evidence_records_truncated")), "true");
    return;
  }
  ADD_FAILURE() << "no off-hours finding";
}

}  // namespace
}  // namespace telmir::behavioral
