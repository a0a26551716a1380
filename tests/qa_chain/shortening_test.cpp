#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "canonical/canonical.h"
#include "chain_fixture.h"
#include "qa_chain/qa_chain.h"

namespace telmir::qa {
namespace {

using ShorteningTest = ChainTest;

std::string marker(std::size_t removed) { return "\u2026[+" + std::to_string(removed) + " bytes]"; }

std::size_t written_line_size(const std::string& text) {
  return text.empty() ? 0 : text.size() - 1;  // one line and its line feed
}

TEST_F(ShorteningTest, OverlongToolNameIsWrittenShortenedWithinTheLine) {
  QaChainWriter writer = open_writer();
  std::string tool(5000, 't');
  auto r = append_decision_verification(writer, "sha256:h", "ALLOW", tool, json::Node::array(),
                                        true, {});
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(r->find("tool_name")->text(), std::string(2500, 't') + marker(2500));
  EXPECT_LE(written_line_size(file_text()), 4096u);
  auto rs = records();
  ASSERT_EQ(rs.size(), 1u);
  EXPECT_EQ(*rs[0]->root().string_member("tool_name"), r->find("tool_name")->text());
  EXPECT_EQ(writer.next_sequence(), 2u);
}

TEST_F(ShorteningTest, CutFallsBackToACharacterBoundary) {
  QaChainWriter writer = open_writer();
  std::string tool = "x";
  for (int i = 0; i < 2500; ++i) tool += "\u00e9";  // 5001 bytes; byte 2500 continues a character
  auto r = append_decision_verification(writer, "sha256:h", "ALLOW", tool, json::Node::array(),
                                        true, {});
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(r->find("tool_name")->text(), tool.substr(0, 2499) + marker(2502));
}

TEST_F(ShorteningTest, LongestStringGoesFirstAndTheFirstInKeyOrderAmongEquals) {
  QaChainWriter writer = open_writer();
  // Two equal strings: shortening the first in key order is enough.
  auto r = append_decision_verification(writer, "sha256:h", std::string(2000, 'd'),
                                        std::string(2000, 't'), json::Node::array(), true, {});
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(r->find("decision_type")->text(), std::string(1000, 'd') + marker(1000));
  EXPECT_EQ(r->find("tool_name")->text(), std::string(2000, 't'));

  // A longer one later in key order still goes first; then the other one when needed.
  auto both = append_decision_verification(writer, std::string(3000, 'g'), "ALLOW",
                                           std::string(3200, 't'), json::Node::array(), true, {});
  ASSERT_TRUE(both.has_value()) << both.error();
  EXPECT_EQ(both->find("tool_name")->text(), std::string(1600, 't') + marker(1600));
  EXPECT_EQ(both->find("governance_record_hash")->text(), std::string(1500, 'g') + marker(1500));
}

TEST_F(ShorteningTest, NestedValuesAreShortenedButKeysNever) {
  QaChainWriter writer = open_writer();
  json::Node checks = json::Node::object();
  json::Node check = json::Node::object();
  check.set("detail", std::string(4500, 'v'));
  checks.set("signature", std::move(check));
  auto r =
      append_decision_verification(writer, "sha256:h", "ALLOW", "t", std::move(checks), true, {});
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(r->find("checks_performed")->find("signature")->find("detail")->text(),
            std::string(2250, 'v') + marker(2250));

  json::Node long_key = json::Node::object();
  long_key.set(std::string(4500, 'k'), "short value");
  auto refused =
      append_decision_verification(writer, "sha256:h", "ALLOW", "t", std::move(long_key), true, {});
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().rfind("QA chain record exceeds 4KB atomic append limit: ", 0), 0u);
  EXPECT_EQ(writer.next_sequence(), 2u);
}

TEST_F(ShorteningTest, StopsAtStringsOf64BytesAndRefusesWithTheLimitError) {
  QaChainWriter writer = open_writer();
  std::vector<json::Node> findings;
  for (int i = 0; i < 60; ++i) findings.push_back(json::Node(std::string(64, 'f')));
  auto r = append_decision_verification(writer, "sha256:h", "ALLOW", "t", json::Node::array(),
                                        false, std::move(findings));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().rfind("QA chain record exceeds 4KB atomic append limit: ", 0), 0u);
  EXPECT_FALSE(std::filesystem::exists(chain_path()));
}

TEST_F(ShorteningTest, RecordThatFitsIsLeftAsBuilt) {
  QaChainWriter writer = open_writer();
  std::string tool(3000, 't');
  auto r = append_decision_verification(writer, "sha256:h", "ALLOW", tool, json::Node::array(),
                                        true, {});
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->find("tool_name")->text(), tool);
}

TEST_F(ShorteningTest, AppliesToTheFourTypesThatCarryOutsideText) {
  const std::string huge(6000, 'x');
  const std::string cut = std::string(3000, 'x') + marker(3000);
  struct Case {
    const char* name;
    std::function<Result<json::Node>(QaChainWriter&)> build;
    std::function<const json::Node*(const json::Node&)> field;
  };
  const std::vector<Case> cases = {
      {"condition detail",
       [&](QaChainWriter& w) {
         return append_condition_detected(w, "CR-CRIT-005", "environment_critical", "critical",
                                          huge, "sha256:h");
       },
       [](const json::Node& r) { return r.find("detail"); }},
      {"condition reference",
       [&](QaChainWriter& w) {
         return append_condition_detected(w, "CR-CRIT-005", "environment_critical", "critical", "d",
                                          huge);
       },
       [](const json::Node& r) { return r.find("governance_record_ref"); }},
      {"skipped reason",
       [&](QaChainWriter& w) { return append_verification_skipped(w, "sha256:h", huge); },
       [](const json::Node& r) { return r.find("reason"); }},
      {"snapshot check detail",
       [&](QaChainWriter& w) {
         json::Node checks = json::Node::object();
         json::Node check = json::Node::object();
         check.set("detail", huge);
         checks.set("ENV-005", std::move(check));
         return append_environmental_snapshot(w, "p", "c", std::move(checks), {}, "degraded");
       },
       [](const json::Node& r) { return r.find("checks")->find("ENV-005")->find("detail"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QaChainWriter writer = open_writer();
    auto r = c.build(writer);
    ASSERT_TRUE(r.has_value()) << r.error();
    EXPECT_EQ(c.field(*r)->text(), cut);
    EXPECT_LE(canonical::canonical_json(*r)->size(), 4096u);
  }
}

TEST_F(ShorteningTest, OtherTypesAreStillRefusedWhenTooLong) {
  const std::string huge(6000, 'x');
  struct Case {
    const char* name;
    std::function<Result<json::Node>(QaChainWriter&)> build;
  };
  const std::vector<Case> cases = {
      {"spc finding",
       [&](QaChainWriter& w) { return append_spc_finding(w, "SPC-001", huge, 1, 2, 0, "w", "s"); }},
      {"element verification",
       [&](QaChainWriter& w) {
         return append_element_verification(w, huge, 1, 1, 0, 0, {}, json::Node::object());
       }},
      {"behavioural analysis",
       [&](QaChainWriter& w) { return append_behavioral_analysis(w, huge, {}); }},
      {"plain append",
       [&](QaChainWriter& w) {
         json::Node r = new_qa_record(w, "qa_decision_verification");
         r.set("tool_name", huge);
         return append(w, std::move(r));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QaChainWriter writer = open_writer();
    auto r = c.build(writer);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().rfind("QA chain record exceeds 4KB atomic append limit: ", 0), 0u);
    EXPECT_EQ(writer.next_sequence(), 1u);
  }
}

}  // namespace
}  // namespace telmir::qa
