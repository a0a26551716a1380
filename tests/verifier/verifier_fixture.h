#pragma once

// A small installation for verifier tests: a governance key, a chain built with the chain
// generator, a QA chain and an SPC state that is still learning. `run` reads the chain as the
// run cycle does, queues its decisions, verifies them and returns what the QA chain received.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "chain_generator/chain_generator.h"
#include "config/config.h"
#include "governance/chain_reader.h"
#include "governance/decision_verifier.h"
#include "governance/verification_queue.h"
#include "json/value.h"
#include "key/key.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "qa_chain/qa_chain.h"
#include "spc/spc.h"
#include "support/temp_dir.h"

namespace telmir::verifier_test {

inline constexpr std::string_view kGovernanceSeedHex =
    "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";

inline chaingen::GovernanceSigner test_signer() {
  return chaingen::GovernanceSigner::from_seed_hex(kGovernanceSeedHex).value();
}

// A temporary directory per test, removed with everything in it.
class TempDir : public ::telmir::testing::TempDir {
 public:
  TempDir() : ::telmir::testing::TempDir("telmir-verifier") {}
};

// The QA records of one event type, in chain order.
inline std::vector<json::Record> of_type(const std::vector<json::Record>& records,
                                         std::string_view event_type) {
  std::vector<json::Record> out;
  for (const json::Record& r : records) {
    if (r->root().string_member("event_type") == event_type) out.push_back(r);
  }
  return out;
}

inline std::string text_of(const json::Value& v) { return std::string(v.as_string()); }

struct RunOutcome {
  Result<void> verified;
  std::vector<json::Record> qa_records;
  std::vector<std::string> raised;
  std::size_t spc_decisions = 0;
  std::size_t still_queued = 0;

  std::vector<json::Record> verifications() const {
    return of_type(qa_records, "qa_decision_verification");
  }
  std::vector<json::Record> conditions() const {
    return of_type(qa_records, "qa_condition_detected");
  }
};

class Installation {
 public:
  Installation() : chain(test_signer()) {
    config.runtime_dir = dir.path();
    config.decision_chain_path = dir.file("decision-chain.jsonl");
    config.qa_chain_path = dir.file("qa-chain.jsonl");
    config.qa_signing_key_path = dir.file("qa-key.pem");
    config.spc_baseline_path = dir.file("spc-baselines.json");
    config.spc_min_decisions = 100000;  // SPC stays learning: no findings in these tests
    config.signing_key_path = dir.file("governance.key");
    std::string key_text = chain.signer().seed_hex() + "\n";
    EXPECT_TRUE(platform::replace_file_atomically(*config.signing_key_path, key_text));
  }

  json::Node add(json::Node record, const chaingen::Seal& seal = {}) {
    Result<json::Node> sealed = chain.append(std::move(record), seal);
    EXPECT_TRUE(sealed) << (sealed ? "" : sealed.error());
    return sealed ? *sealed : json::Node();
  }
  json::Node add_decision(const chaingen::DecisionSpec& spec, const chaingen::Seal& seal = {}) {
    return add(chaingen::make_decision(spec), seal);
  }

  // Writes the chain, reads it whole, queues its decisions and verifies them.
  RunOutcome run() {
    RunOutcome out;
    EXPECT_TRUE(chain.write_file(config.decision_chain_path));
    governance::ChainReader reader(config.decision_chain_path);
    Result<std::vector<json::Record>> records = reader.read_new_records();
    EXPECT_TRUE(records) << (records ? "" : records.error());

    Result<key::QaKey> qa_key = key::ensure_qa_signing_key(config.qa_signing_key_path);
    EXPECT_TRUE(qa_key);
    Result<qa::QaChainWriter> writer = qa::open_qa_chain(config.qa_chain_path, *qa_key);
    EXPECT_TRUE(writer);
    spc::SpcState spc = spc::load_spc_state(config.spc_baseline_path, config.spc_min_decisions);

    governance::DecisionVerifier verifier(config);
    EXPECT_TRUE(governance::enqueue_decisions(verifier.queue(), std::move(*records), *writer));
    if (before_verify) before_verify();
    out.verified = governance::verify_queue(verifier, reader.chain_history(), spc, *writer);
    out.raised = verifier.raised_conditions();
    out.spc_decisions = spc.decisions().size();
    out.still_queued = verifier.queue().size();
    out.qa_records = read_qa_chain();
    return out;
  }

  std::vector<json::Record> read_qa_chain() const {
    std::vector<json::Record> out;
    Result<std::string> text = platform::read_file(config.qa_chain_path);
    if (!text) return out;
    for (const platform::JsonLine& line : platform::split_json_lines(*text)) {
      Result<json::Record> r = json::parse(line.text);
      EXPECT_TRUE(r);
      if (r) out.push_back(*r);
    }
    return out;
  }

  TempDir dir;
  chaingen::ChainBuilder chain;
  config::Config config;
  std::function<void()> before_verify;
};

// The outcome object of a check in a written `checks_performed`, or the string "pass".
inline const json::Value* check_member(const json::Record& verification, std::string_view check) {
  const json::Value* checks = verification->root().find("checks_performed");
  return checks == nullptr ? nullptr : checks->find(check);
}

// What a check is expected to have written.
struct Expect {
  bool pass = true;
  std::string detail;
  bool detail_is_prefix = false;
  std::string condition_id;
  std::string severity = "critical";

  static Expect passes() { return {}; }
  static Expect fails(std::string detail, std::string condition_id,
                      std::string severity = "critical") {
    return {false, std::move(detail), false, std::move(condition_id), std::move(severity)};
  }
  static Expect fails_with_prefix(std::string prefix, std::string condition_id) {
    return {false, std::move(prefix), true, std::move(condition_id), "critical"};
  }
};

inline void expect_check(const json::Record& verification, std::string_view check,
                         const Expect& expect) {
  const json::Value* member = check_member(verification, check);
  ASSERT_NE(member, nullptr) << check;
  if (expect.pass) {
    EXPECT_EQ(member->as_string(), "pass") << json::write_compact(*member);
    return;
  }
  ASSERT_TRUE(member->is_object()) << json::write_compact(*member);
  EXPECT_EQ(member->string_member("status"), "fail");
  EXPECT_EQ(member->string_member("severity"), expect.severity);
  EXPECT_EQ(member->string_member("condition_id"), expect.condition_id);
  std::string detail(member->string_member("detail").value_or("<no detail>"));
  if (expect.detail_is_prefix) {
    EXPECT_TRUE(detail.starts_with(expect.detail)) << detail;
    EXPECT_GT(detail.size(), expect.detail.size()) << "the reason is missing: " << detail;
  } else {
    EXPECT_EQ(detail, expect.detail);
  }
}

}  // namespace telmir::verifier_test
