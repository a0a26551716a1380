// The `qa_element_verification` record: counts, findings as objects, the coverage object and
// the findings budget.

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "element/element.h"
#include "fixture.h"
#include "key/key.h"
#include "platform/text.h"
#include "qa_chain/qa_chain.h"

namespace telmir::element {
namespace {

using testing::decision;
using testing::event;
using testing::with;

qa::QaChainWriter open_writer(const std::string& path) {
  std::array<std::uint8_t, 32> bytes{};
  bytes.fill(5);
  auto writer = qa::open_qa_chain(path, key::QaKey(key::Seed(bytes)));
  EXPECT_TRUE(writer.has_value());
  return std::move(*writer);
}

std::vector<json::Record> qa_records(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  const std::string all = text.str();
  std::vector<json::Record> out;
  for (const platform::JsonLine& line : platform::split_json_lines(all)) {
    auto parsed = json::parse(line.text);
    EXPECT_TRUE(parsed.has_value());
    if (parsed) out.push_back(*parsed);
  }
  return out;
}

std::string compact(const json::Value* v) { return v ? json::write_compact(*v) : "<absent>"; }

TEST(ElementRecord, CleanTailWithoutKeyRecordsFourVerifiedElements) {
  testing::Installation inst;
  qa::QaChainWriter writer = open_writer(inst.config().qa_chain_path);
  auto summary = verify_elements(inst.config(), testing::seal({{decision()}}), writer);
  ASSERT_TRUE(summary.has_value()) << summary.error();
  std::vector<json::Record> written = qa_records(inst.config().qa_chain_path);
  ASSERT_EQ(written.size(), 1u);
  const json::Value& r = written[0]->root();
  EXPECT_EQ(r.string_member("event_type"), "qa_element_verification");
  EXPECT_EQ(r.string_member("spec_id"), "hand-curated-telmir-v1");
  EXPECT_EQ(compact(r.find("elements_checked")), "5");
  EXPECT_EQ(compact(r.find("elements_passed")), "4");
  EXPECT_EQ(compact(r.find("elements_flagged")), "0");
  EXPECT_EQ(compact(r.find("elements_skipped")), "1");
  EXPECT_EQ(compact(r.find("findings_included_count")), "0");
  EXPECT_EQ(compact(r.find("findings")), "[]");
  EXPECT_EQ(r.find("findings_truncated"), nullptr);
  // The chain line is canonical, so members appear in byte order there.
  EXPECT_EQ(
      compact(r.find("coverage")),
      R"({"active_unverified":0,"active_verified":4,"contradictory":0,"not_implemented":0,"not_observable":0,"suspended":0})");
  EXPECT_EQ(
      json::write_compact(json::freeze(coverage_object(*summary))->root()),
      R"({"active_verified":4,"active_unverified":0,"not_observable":0,"not_implemented":0,"contradictory":0,"suspended":0})");
}

TEST(ElementRecord, FindingsAreObjectsWithConditionOrNull) {
  EXPECT_EQ(
      json::write_compact(
          json::freeze(finding_to_json({"HASH_LINKAGE", "critical", "d", "CR-CRIT-005"}))->root()),
      R"({"element_id":"HASH_LINKAGE","severity":"critical","detail":"d","condition_id":"CR-CRIT-005"})");
  EXPECT_EQ(
      json::write_compact(
          json::freeze(finding_to_json({"CONFIGURATION_STATE", "high", "d", std::nullopt}))
              ->root()),
      R"({"element_id":"CONFIGURATION_STATE","severity":"high","detail":"d","condition_id":null})");
}

TEST(ElementRecord, FindingsBeyondTheBudgetAreLeftOutButCounted) {
  testing::Installation inst;
  const std::string token = std::string(20, 'a') + "." + std::string(20, 'b');
  json::Node record = event("e");
  for (int i = 0; i < 40; ++i) record.set("license_" + std::to_string(i), json::Node(token));
  qa::QaChainWriter writer = open_writer(inst.config().qa_chain_path);
  auto summary = verify_elements(inst.config(), testing::seal({{std::move(record)}}), writer);
  ASSERT_TRUE(summary.has_value()) << summary.error();
  EXPECT_EQ(summary->elements_flagged, 40u);
  EXPECT_EQ(summary->findings.size(), 40u);
  EXPECT_EQ(critical_conditions(*summary).size(), 40u);
  const auto records = qa_records(inst.config().qa_chain_path);
  const json::Value& r = records.at(0)->root();
  EXPECT_EQ(compact(r.find("elements_flagged")), "40");
  EXPECT_EQ(compact(r.find("elements_passed")), "3");
  EXPECT_EQ(compact(r.find("findings_truncated")), "true");
  const std::size_t included = r.find("findings")->items().size();
  EXPECT_GT(included, 0u);
  EXPECT_LT(included, 40u);
  EXPECT_EQ(compact(r.find("findings_included_count")), std::to_string(included));
  EXPECT_EQ(r.find("findings")->items()[0].string_member("detail"),
            "plaintext license-like token found at .license_0");
}

}  // namespace
}  // namespace telmir::element
