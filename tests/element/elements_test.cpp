// The five elements over small sealed chains: exact details, element order and the counts.

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "canonical/preimage.h"
#include "element/element.h"
#include "fixture.h"
#include "governance/records/records.h"
#include "json/value.h"

namespace telmir::element {
namespace {

using testing::decision;
using testing::Entry;
using testing::event;
using testing::Installation;
using testing::with;
using testing::without;

ElementFinding schema(std::string detail) {
  return {"CHAIN_RECORD_SCHEMA", "high", std::move(detail), std::nullopt};
}
ElementFinding linkage(std::string detail) {
  return {"HASH_LINKAGE", "critical", std::move(detail), "CR-CRIT-005"};
}
ElementFinding signature(std::string detail) {
  return {"SIGNATURE_VALIDITY", "critical", std::move(detail), "CR-HIGH-002"};
}
ElementFinding token(std::string path) {
  return {"NEGATIVE_CONSTRAINTS", "critical", "plaintext license-like token found at " + path,
          "CR-CRIT-002"};
}
ElementFinding configuration(std::string detail) {
  return {"CONFIGURATION_STATE", "high", std::move(detail), std::nullopt};
}

void expect_findings(const ElementSummary& summary, const std::vector<ElementFinding>& expected) {
  ASSERT_EQ(summary.findings.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(summary.findings[i].element_id, expected[i].element_id);
    EXPECT_EQ(summary.findings[i].severity, expected[i].severity);
    EXPECT_EQ(summary.findings[i].detail, expected[i].detail);
    EXPECT_EQ(summary.findings[i].condition_id, expected[i].condition_id);
  }
  EXPECT_EQ(summary.elements_checked, 5u);
  EXPECT_EQ(summary.elements_flagged, expected.size());
}

void expect_counts(const ElementSummary& s, std::uint64_t passed, std::uint64_t skipped) {
  EXPECT_EQ(s.elements_passed, passed);
  EXPECT_EQ(s.elements_skipped, skipped);
}

TEST(ElementVerification, CleanGeneratedTailPassesEveryExaminedElement) {
  for (bool key : {false, true}) {
    SCOPED_TRACE(key);
    Installation inst;
    if (key) inst.configure_key();
    chaingen::ChainBuilder builder(testing::test_signer());
    chaingen::ChainOptions options;
    options.records = 150;
    ASSERT_TRUE(chaingen::generate_chain(builder, options));
    std::vector<json::Record> history;
    for (const std::string& line : builder.lines()) history.push_back(testing::raw(line));
    ElementSummary s = evaluate_elements(inst.config(), history);
    expect_findings(s, {});
    expect_counts(s, key ? 5 : 4, key ? 0 : 1);
  }
}

TEST(ElementVerification, SchemaAndSignatureFindingsAreCountedPerFinding) {
  Installation inst;
  inst.configure_key();
  chaingen::Seal unsigned_record;
  unsigned_record.signature = chaingen::SignatureForm::kNone;
  std::vector<json::Record> history =
      testing::seal({{decision()},
                     {without(decision(), {"matched_rule", "classification"})},
                     {decision(), unsigned_record}});
  ElementSummary s = evaluate_elements(inst.config(), history);
  expect_findings(s, {schema("mediated_decision missing required field classification"),
                      schema("mediated_decision missing required field matched_rule"),
                      signature("unsigned record while signing key is configured")});
  expect_counts(s, 3, 0);
}

TEST(ElementVerification, RequiredFieldsFollowTheFixedListThenTheSpecificationInByteOrder) {
  struct Case {
    std::string name;
    std::optional<std::string> spec;  // file text; no file when absent
    std::vector<Entry> entries;
    std::vector<ElementFinding> expected;
  };
  const std::string kSpec =
      "elements:\n  - event: x\n    required: [b, a]\n  - event: mediated\n    required: [zz]\n";
  std::vector<Case> cases = {
      {"event lacking both fields",
       kSpec,
       {{event("x")}},
       {schema("x missing required field a"), schema("x missing required field b")}},
      {"a null value counts as present",
       kSpec,
       {{with(event("x"), "a", json::Node())}},
       {schema("x missing required field b")}},
      {"a mediated decision lacking everything",
       std::nullopt,
       {{without(decision(), {"record_type", "timestamp_utc", "original_tool", "classification",
                              "policy_decision", "matched_rule"}),
         [] {
           chaingen::Seal s;
           s.omit_prev_record_hash = true;
           s.omit_record_hash = true;
           s.tamper.push_back({"record_type", json::Node("mediated_decision")});
           return s;
         }()}},
       {schema("mediated_decision missing required field timestamp_utc"),
        schema("mediated_decision missing required field original_tool"),
        schema("mediated_decision missing required field classification"),
        schema("mediated_decision missing required field policy_decision"),
        schema("mediated_decision missing required field matched_rule"),
        schema("mediated_decision missing required field prev_record_hash"),
        schema("mediated_decision missing required field record_hash")}},
      {"both rules on one record, fixed list first",
       kSpec,
       {{with(without(decision(), {"matched_rule"}), "event_type", json::Node("mediated"))}},
       {schema("mediated_decision missing required field matched_rule"),
        schema("mediated missing required field zz")}},
      {"record_type other than mediated_decision",
       kSpec,
       {{with(without(decision(), {"matched_rule"}), "record_type", json::Node("decision"))}},
       {}},
      {"missing specification file", std::nullopt, {{event("x")}}, {}},
      {"specification that is not YAML", "elements: [ {event: x\n", {{event("x")}}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Installation inst;
    if (c.spec) inst.write("chain-events-v1.yaml", *c.spec);
    ElementSummary s = evaluate_elements(inst.config(), testing::seal(c.entries));
    std::vector<ElementFinding> got;
    for (const ElementFinding& f : s.findings) {
      if (f.element_id == kChainRecordSchema) got.push_back(f);
    }
    EXPECT_EQ(got, c.expected);
  }
}

TEST(ElementVerification, HashLinkageReportsMismatchesInOptionalNotation) {
  Installation inst;
  chaingen::Seal tampered;
  tampered.tamper.push_back({"matched_rule", json::Node("other")});
  chaingen::Seal broken;
  broken.prev_record_hash = json::Node("sha256:wrong");
  chaingen::Seal no_prev;
  no_prev.omit_prev_record_hash = true;
  chaingen::Seal no_hash;
  no_hash.omit_record_hash = true;
  std::vector<json::Record> history = testing::seal({{decision()},
                                                     {decision(), tampered},
                                                     {decision(), broken},
                                                     {decision(), no_prev},
                                                     {decision(), no_hash},
                                                     {decision()}});
  history.push_back(testing::raw("[1]"));
  auto hash_of = [&](std::size_t i) {
    return std::string(*governance::record_hash_text(history[i]->root()));
  };
  ElementSummary s = evaluate_elements(inst.config(), history);
  std::vector<ElementFinding> got;
  for (const ElementFinding& f : s.findings) {
    if (f.element_id == kHashLinkage) got.push_back(f);
  }
  // history: opening event, d1, d2 tampered, d3 linked wrongly, d4 without link, d5 without
  // hash, d6 (links to nothing, as d5 has no hash), a record that is not an object.
  const std::string recomputed_2 = *canonical::record_hash(history[2]->root());
  const std::string recomputed_5 = *canonical::record_hash(history[5]->root());
  EXPECT_EQ(
      got,
      (std::vector<ElementFinding>{
          linkage("record_hash mismatch: expected " + recomputed_2 + ", got Some(\"" + hash_of(2) +
                  "\")"),
          linkage("record_hash mismatch: expected " + recomputed_5 + ", got None"),
          linkage("record hash preimage requires an object"),
          linkage("prev_record_hash mismatch: expected Some(\"" + hash_of(2) +
                  "\"), got Some(\"sha256:wrong\")"),
          linkage("prev_record_hash mismatch: expected Some(\"" + hash_of(3) + "\"), got None"),
          linkage("prev_record_hash mismatch: expected Some(\"" + hash_of(6) + "\"), got None"),
      }));
}

TEST(ElementVerification, FirstExaminedRecordsLinkIsNotCheckedAndTheTailCoversAtMostTheHistory) {
  struct Case {
    std::uint64_t tail;
    std::size_t records;  // decisions after the opening event: d0 tampered, d1 linked wrongly
    std::size_t findings;
  } cases[] = {
      {2, 4, 0},    // d2 and d3 only
      {3, 4, 1},    // d1 examined first: its link is not checked, but its hash is
      {4, 4, 3},    // d0's hash, d1's hash and link
      {100, 4, 3},  // a tail longer than the history examines every record
      {100, 0, 0},  // an empty history
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tail);
    SCOPED_TRACE(c.records);
    Installation inst;
    inst.config().element_tail_records = c.tail;
    chaingen::Seal tampered;
    tampered.tamper.push_back({"matched_rule", json::Node("other")});
    chaingen::Seal broken;
    broken.prev_record_hash = json::Node("sha256:wrong");
    broken.tamper.push_back({"note", json::Node("x")});
    std::vector<Entry> entries = {
        {decision(), tampered}, {decision(), broken}, {decision()}, {decision()}};
    entries.resize(c.records);
    // After the opening event; an empty history has not even that.
    std::vector<json::Record> history =
        c.records == 0 ? std::vector<json::Record>{} : testing::seal(entries);
    ElementSummary s = evaluate_elements(inst.config(), history);
    EXPECT_EQ(s.findings.size(), c.findings);
    for (const ElementFinding& f : s.findings) EXPECT_EQ(f.element_id, kHashLinkage);
    expect_counts(s, c.findings == 0 ? 4 : 3, 1);
  }
}

TEST(ElementVerification, SignatureFindingsOnePerRecordWithFixedDetails) {
  auto form = [](chaingen::SignatureForm f) {
    chaingen::Seal s;
    s.signature = f;
    return s;
  };
  Installation inst;
  inst.configure_key();
  std::vector<json::Record> history =
      testing::seal({{decision()},
                     {decision(), form(chaingen::SignatureForm::kEmpty)},
                     {decision(), form(chaingen::SignatureForm::kNone)},
                     {decision(), form(chaingen::SignatureForm::kPadded)},
                     {decision(), form(chaingen::SignatureForm::kCorrupt)},
                     {with(decision(), "signature", json::Node::from_u64(1)),
                      form(chaingen::SignatureForm::kNone)}});
  const std::string valid_signature = testing::test_signer().sign("x");
  history.push_back(testing::raw(R"({"n": 1e400, "signature": ")" + valid_signature + R"("})"));
  history.push_back(testing::raw(R"(["not an object"])"));
  ElementSummary s = evaluate_elements(inst.config(), history);
  std::vector<ElementFinding> got;
  for (const ElementFinding& f : s.findings) {
    if (f.element_id == kSignatureValidity) got.push_back(f);
  }
  EXPECT_EQ(got, (std::vector<ElementFinding>{
                     signature("invalid signature bytes"),
                     signature("unsigned record while signing key is configured"),
                     signature("invalid signature encoding"),
                     signature("signature verification failed"),
                     signature("unsigned record while signing key is configured"),
                     signature("record cannot produce signature preimage"),
                     signature("unsigned record while signing key is configured"),
                 }));
}

TEST(ElementVerification, UnloadableKeyIsOneFindingAndNoRecordIsExamined) {
  Installation inst;
  inst.config().signing_key_path = inst.file("no-such-key");
  chaingen::Seal unsigned_record;
  unsigned_record.signature = chaingen::SignatureForm::kNone;
  ElementSummary s = evaluate_elements(
      inst.config(), testing::seal({{decision(), unsigned_record}, {decision()}}));
  expect_findings(
      s, {{"SIGNATURE_VALIDITY", "critical",
           "failed to read signing key " + inst.file("no-such-key") + ": No such file or directory",
           "CR-CRIT-005"}});
  expect_counts(s, 4, 0);
}

TEST(ElementVerification, LicenseLikeTokensAreFoundByPathAndNearMissesAreNot) {
  const std::string a20(20, 'a');
  const std::string b20 = "B1-_" + std::string(16, 'b');
  struct Case {
    std::string name;
    json::Node record;
    std::vector<ElementFinding> expected;
  };
  json::Node nested = json::Node::object();
  json::Node items = json::Node::array();
  items.push(json::Node(std::string("short")));
  items.push(json::Node(a20 + "." + b20));
  nested.set("items", std::move(items));
  std::vector<Case> cases = {
      {"two runs of twenty joined by one full stop",
       with(event("e"), "license", json::Node(a20 + "." + b20)),
       {token(".license")}},
      {"nineteen characters in the first part",
       with(event("e"), "license", json::Node(a20.substr(1) + "." + b20)),
       {}},
      {"nineteen characters in the second part",
       with(event("e"), "license", json::Node(a20 + "." + b20.substr(1))),
       {}},
      {"two full stops", with(event("e"), "license", json::Node(a20 + "." + b20 + "." + a20)), {}},
      {"a plus sign", with(event("e"), "license", json::Node(a20 + "." + b20 + "+")), {}},
      {"nested in objects and arrays",
       with(event("e"), "nested", std::move(nested)),
       {token(".nested.items[1]")}},
      {"a key is not examined", with(event("e"), a20 + "." + b20, json::Node("v")), {}},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    Installation inst;
    ElementSummary s = evaluate_elements(inst.config(), testing::seal({{std::move(c.record)}}));
    expect_findings(s, c.expected);
  }
}

TEST(ElementVerification, ConfigurationFindingsPolicyRulesFirst) {
  struct Case {
    std::string name;
    std::optional<std::string> policy;    // absent: file missing
    std::optional<std::string> registry;  // absent: file missing
    std::vector<std::string> details;
  };
  const std::string kBad = "{\"rules\": [";
  const std::string kBadMessage = json::parse(kBad).error();
  std::vector<Case> cases = {
      {"unreadable policy rules, invalid registry",
       std::nullopt,
       kBad,
       {"failed to read policy-rules.json: No such file or directory",
        "capability-registry.json is not valid JSON: " + kBadMessage}},
      {"invalid policy rules, unreadable registry",
       kBad,
       std::nullopt,
       {"policy-rules.json is not valid JSON: " + kBadMessage,
        "failed to read capability-registry.json: No such file or directory"}},
      {"any valid JSON passes", "[]", "3", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Installation inst;
    std::filesystem::remove(inst.config().policy_rules_path);
    std::filesystem::remove(inst.config().capability_registry_path);
    if (c.policy) inst.write("policy-rules.json", *c.policy);
    if (c.registry) inst.write("capability-registry.json", *c.registry);
    ElementSummary s = evaluate_elements(inst.config(), {});
    std::vector<ElementFinding> expected;
    for (const std::string& d : c.details) expected.push_back(configuration(d));
    expect_findings(s, expected);
    expect_counts(s, c.details.empty() ? 4 : 3, 1);
  }
}

TEST(ElementVerification, CriticalConditionsKeepOrderAndDuplicates) {
  ElementSummary s;
  s.findings = {schema("x"),
                linkage("a"),
                signature("b"),
                signature("c"),
                token(".t"),
                configuration("y"),
                {"SIGNATURE_VALIDITY", "critical", "k", std::nullopt}};
  EXPECT_EQ(critical_conditions(s),
            (std::vector<std::string>{"CR-CRIT-005", "CR-HIGH-002", "CR-HIGH-002", "CR-CRIT-002"}));
}

}  // namespace
}  // namespace telmir::element
