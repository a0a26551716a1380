// One DecisionVerifier over several run cycles, as the service keeps it.

#include <string>

#include "verifier_fixture.h"

namespace telmir::verifier_test {
namespace {

using chaingen::DecisionSpec;
using chaingen::Seal;

class Cycles {
 public:
  Cycles()
      : reader(in.config.decision_chain_path),
        writer(qa::open_qa_chain(in.config.qa_chain_path,
                                 key::ensure_qa_signing_key(in.config.qa_signing_key_path).value())
                   .value()),
        spc(spc::load_spc_state(in.config.spc_baseline_path, in.config.spc_min_decisions)),
        verifier(in.config) {}

  // Reads what was appended, queues the decisions and verifies them.
  void cycle() {
    Result<std::vector<json::Record>> records = reader.read_new_records();
    ASSERT_TRUE(records) << records.error();
    ASSERT_TRUE(governance::enqueue_decisions(verifier.queue(), std::move(*records), writer));
    Result<void> verified = governance::verify_queue(verifier, reader.chain_history(), spc, writer);
    ASSERT_TRUE(verified) << verified.error();
  }

  std::vector<json::Record> verifications() const {
    return of_type(in.read_qa_chain(), "qa_decision_verification");
  }

  Installation in;
  governance::ChainReader reader;
  qa::QaChainWriter writer;
  spc::SpcState spc;
  governance::DecisionVerifier verifier;
};

DecisionSpec decision(std::string category, std::string request) {
  DecisionSpec spec;
  spec.tool = "t1";
  spec.category = std::move(category);
  spec.request_id = std::move(request);
  return spec;
}

TEST(RunCycles, AppendedDecisionIsComparedWithDecisionsOfEarlierCycles) {
  Cycles c;
  c.in.add_decision(decision("read", "r1"));
  ASSERT_TRUE(c.in.chain.write_file(c.in.config.decision_chain_path));
  c.cycle();
  const std::size_t first_cycle_lines = c.in.chain.lines().size();
  c.in.add(chaingen::make_approval("A1", "op-1", "2026-03-01T08:00:00Z"));
  c.in.add_decision(decision("write", "r2"));
  ASSERT_TRUE(c.in.chain.append_to_file(c.in.config.decision_chain_path, first_cycle_lines));
  c.cycle();

  std::vector<json::Record> verifications = c.verifications();
  ASSERT_EQ(verifications.size(), 2u);
  expect_check(verifications[1], "structural_integrity", Expect::passes());
  expect_check(
      verifications[1], "classification_consistency",
      Expect::fails("classification changed for t1: read -> write", "CR-HIGH-001", "high"));
}

TEST(RunCycles, ReplacedChainIsVerifiedAgainstItsOwnRecords) {
  Cycles c;
  c.in.add_decision(decision("read", "r1"));
  c.in.add_decision(decision("read", "r2"));
  c.in.add_decision(decision("read", "r3"));
  ASSERT_TRUE(c.in.chain.write_file(c.in.config.decision_chain_path));
  c.cycle();

  // A shorter chain takes the file's place; its only record claims a predecessor.
  chaingen::ChainBuilder replacement(test_signer());
  Seal seal;
  seal.prev_record_hash = json::Node(c.in.chain.last_record_hash().value());
  ASSERT_TRUE(replacement.append(chaingen::make_decision(decision("write", "r4")), seal));
  ASSERT_TRUE(replacement.write_file(c.in.config.decision_chain_path));
  c.cycle();

  std::vector<json::Record> verifications = c.verifications();
  ASSERT_EQ(verifications.size(), 4u);
  expect_check(verifications[3], "structural_integrity",
               Expect::fails("prev_record_hash mismatch: expected None, got Some(\"" +
                                 c.in.chain.last_record_hash().value() + "\")",
                             "CR-CRIT-005"));
  // The records of the old chain are gone: nothing to compare the label with.
  expect_check(verifications[3], "classification_consistency", Expect::passes());
}

}  // namespace
}  // namespace telmir::verifier_test
