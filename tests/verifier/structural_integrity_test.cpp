#include <functional>
#include <string>

#include "canonical/preimage.h"
#include "key/key.h"
#include "verifier_fixture.h"

namespace telmir::verifier_test {
namespace {

using chaingen::DecisionSpec;
using chaingen::Seal;
using chaingen::SignatureForm;

std::string zero_hash() { return "sha256:" + std::string(64, '0'); }

Seal unsigned_seal() {
  Seal seal;
  seal.signature = SignatureForm::kNone;
  return seal;
}

std::string stored_hash(const json::Node& record) {
  const json::Node* hash = record.find("record_hash");
  return hash != nullptr ? hash->text() : "";
}

std::string computed_hash(const json::Node& record) {
  return canonical::record_hash(record).value();
}

struct StructuralCase {
  const char* behaviour;
  // Builds the chain; the last decision record is the one examined. Returns the expectation.
  std::function<Expect(Installation&)> build;
};

const StructuralCase kStructuralCases[] = {
    {"first record without prev_record_hash passes",
     [](Installation& in) {
       in.add_decision({}, unsigned_seal());
       return Expect::passes();
     }},
    {"first record written with a prev_record_hash fails linkage",
     [](Installation& in) {
       Seal seal = unsigned_seal();
       seal.prev_record_hash = json::Node(zero_hash());
       in.add_decision({}, seal);
       return Expect::fails(
           "prev_record_hash mismatch: expected None, got Some(\"" + zero_hash() + "\")",
           "CR-CRIT-005");
     }},
    {"later record linked to its predecessor passes",
     [](Installation& in) {
       in.add_decision({}, unsigned_seal());
       in.add_decision({}, unsigned_seal());
       return Expect::passes();
     }},
    {"later record linked to another record fails with both hashes",
     [](Installation& in) {
       json::Node first = in.add_decision({}, unsigned_seal());
       Seal seal = unsigned_seal();
       seal.prev_record_hash = json::Node(zero_hash());
       in.add_decision({}, seal);
       return Expect::fails("prev_record_hash mismatch: expected Some(\"" + stored_hash(first) +
                                "\"), got Some(\"" + zero_hash() + "\")",
                            "CR-CRIT-005");
     }},
    {"later record without prev_record_hash fails with None as the actual value",
     [](Installation& in) {
       json::Node first = in.add_decision({}, unsigned_seal());
       Seal seal = unsigned_seal();
       seal.omit_prev_record_hash = true;
       // Another request: an identical record would be the first one under the same-hash rule.
       DecisionSpec other;
       other.request_id = "req-2";
       in.add_decision(other, seal);
       return Expect::fails(
           "prev_record_hash mismatch: expected Some(\"" + stored_hash(first) + "\"), got None",
           "CR-CRIT-005");
     }},
    {"linkage values are written in escaped optional notation",
     [](Installation& in) {
       Seal seal = unsigned_seal();
       seal.prev_record_hash = json::Node("a\"b\\c\td\n\u0301");
       in.add_decision({}, seal);
       return Expect::fails(
           "prev_record_hash mismatch: expected None, got Some(\"a\\\"b\\\\c\\td\\n\\u{301}\")",
           "CR-CRIT-005");
     }},
    {"a non-string prev_record_hash counts as missing",
     [](Installation& in) {
       Seal seal = unsigned_seal();
       seal.prev_record_hash = json::Node::from_u64(7);
       in.add_decision({}, seal);
       return Expect::passes();
     }},
    {"predecessor without record_hash and no prev_record_hash pass together",
     [](Installation& in) {
       Seal first = unsigned_seal();
       first.omit_record_hash = true;
       in.add(chaingen::make_approval("A1", "op", "2026-03-01T08:00:00Z"), first);
       Seal second = unsigned_seal();
       second.omit_prev_record_hash = true;
       in.add_decision({}, second);
       return Expect::passes();
     }},
    {"tampered field fails on the record hash and the signature is not examined",
     [](Installation& in) {
       in.config.signing_key_path = in.dir.file("no-such-key");
       Seal seal;
       seal.tamper.emplace_back("matched_rule", json::Node("tampered"));
       json::Node record = in.add_decision({}, seal);
       return Expect::fails("record_hash mismatch: expected " + computed_hash(record) +
                                ", got Some(\"" + stored_hash(record) + "\")",
                            "CR-CRIT-005");
     }},
    {"missing record_hash is written as None",
     [](Installation& in) {
       Seal seal = unsigned_seal();
       seal.omit_record_hash = true;
       json::Node record = in.add_decision({}, seal);
       return Expect::fails(
           "record_hash mismatch: expected " + computed_hash(record) + ", got None", "CR-CRIT-005");
     }},
    {"a record that cannot be hashed fails with the hashing error",
     [](Installation& in) {
       in.chain.append_raw_line(
           R"({"policy_decision":"ALLOW","original_tool":"t","latency":1e400})");
       return Expect::fails("unsupported JSON number", "CR-CRIT-005");
     }},
    {"signed record with a configured key passes",
     [](Installation& in) {
       in.add_decision({});
       in.add_decision({});
       return Expect::passes();
     }},
    {"signed record with no key configured passes",
     [](Installation& in) {
       in.config.signing_key_path.reset();
       Seal seal;
       seal.signature = SignatureForm::kCorrupt;
       in.add_decision({}, seal);
       return Expect::passes();
     }},
    {"signed record with a missing key file fails with the loader's message",
     [](Installation& in) {
       in.config.signing_key_path = in.dir.file("no-such-key");
       in.add_decision({});
       return Expect::fails(key::load_governance_verifying_key(in.dir.file("no-such-key")).error(),
                            "CR-HIGH-002");
     }},
    {"signed record with a malformed key file fails with the parser's message",
     [](Installation& in) {
       EXPECT_TRUE(platform::replace_file_atomically(*in.config.signing_key_path, "not a key\n"));
       in.add_decision({});
       return Expect::fails(
           "unsupported signing key format; expected PKCS#8 PEM or 32 byte seed hex",
           "CR-HIGH-002");
     }},
    {"empty signature is not examined",
     [](Installation& in) {
       Seal seal;
       seal.signature = SignatureForm::kEmpty;
       in.add_decision({}, seal);
       return Expect::passes();
     }},
    {"unsigned record passes with a key configured",
     [](Installation& in) {
       in.add_decision({}, unsigned_seal());
       return Expect::passes();
     }},
    {"signature with base64 padding fails decoding",
     [](Installation& in) {
       Seal seal;
       seal.signature = SignatureForm::kPadded;
       in.add_decision({}, seal);
       return Expect::fails_with_prefix("invalid signature base64url: ", "CR-HIGH-002");
     }},
    {"signature of the wrong length fails as signature bytes",
     [](Installation& in) {
       // The record hash ignores the signature's value, so only the signature step sees this.
       Seal seal;
       seal.tamper.emplace_back("signature", json::Node("AAAA"));
       in.add_decision({}, seal);
       return Expect::fails_with_prefix("invalid Ed25519 signature bytes: ", "CR-HIGH-002");
     }},
    {"signature over other bytes fails verification",
     [](Installation& in) {
       Seal seal;
       seal.signature = SignatureForm::kCorrupt;
       in.add_decision({}, seal);
       return Expect::fails_with_prefix("signature verification failed: ", "CR-HIGH-002");
     }},
};

TEST(StructuralIntegrity, RecordHashLinkageAndSignatureDetails) {
  for (const StructuralCase& c : kStructuralCases) {
    SCOPED_TRACE(c.behaviour);
    Installation in;
    Expect expect = c.build(in);
    RunOutcome out = in.run();
    ASSERT_TRUE(out.verified) << out.verified.error();
    std::vector<json::Record> verifications = out.verifications();
    ASSERT_FALSE(verifications.empty());
    expect_check(verifications.back(), "structural_integrity", expect);
  }
}

TEST(StructuralIntegrity, RepeatedRecordIsLinkedAtItsFirstPosition) {
  Installation in;
  in.add_decision({}, unsigned_seal());
  in.add_decision({}, unsigned_seal());
  // The same line again: under the same-hash rule it stands at its first position, whose
  // predecessor is the one its prev_record_hash names.
  in.chain.append_raw_line(in.chain.lines()[1]);
  RunOutcome out = in.run();
  ASSERT_TRUE(out.verified) << out.verified.error();
  std::vector<json::Record> verifications = out.verifications();
  ASSERT_EQ(verifications.size(), 3u);
  expect_check(verifications[2], "structural_integrity", Expect::passes());
}

}  // namespace
}  // namespace telmir::verifier_test
