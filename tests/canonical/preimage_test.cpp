#include "canonical/preimage.h"

#include <gtest/gtest.h>

#include <string>

#include "canonical/canonical.h"

namespace telmir::canonical {
namespace {

json::Record read(std::string_view text) {
  Result<json::Record> doc = json::parse(text);
  EXPECT_TRUE(doc.has_value()) << doc.error() << " in " << text;
  return doc ? *doc : json::freeze(json::Node());
}

template <class F>
std::string run(F f, std::string_view text) {
  const json::Record doc = read(text);
  Result<std::string> out = f(doc->root());
  return out ? *out : "error: " + out.error();
}

std::string hash_preimage(std::string_view text) {
  return run([](const json::Value& v) { return record_hash_preimage(v); }, text);
}
std::string hash_of(std::string_view text) {
  return run([](const json::Value& v) { return record_hash(v); }, text);
}
std::string sig_preimage(std::string_view text) {
  return run([](const json::Value& v) { return signature_preimage(v); }, text);
}
std::string policy_of(std::string_view text) {
  return run([](const json::Value& v) { return policy_hash(v); }, text);
}

constexpr std::string_view kQaRecord =
    R"({"event_type":"qa_verification_backlog_warning","sequence":7,)"
    R"("timestamp_utc":"2025-01-01T00:00:00.000Z","queue_depth":1000,"queue_capacity":1000,)"
    R"("prev_record_hash":null,"record_hash":null,"signature":null,"signing_key_id":null})";

constexpr std::string_view kDecision =
    R"({"record_type":"mediated_decision","timestamp_utc":"2025-01-01T00:00:00Z","session_id":"s1",)"
    R"("request_id":"r1","process_id":42,"policy_decision":"ALLOW","original_tool":"read_file",)"
    R"("policy_reasons":[{"code":"R1","message":"matched"},{"message":"no code"},"plain"],)"
    R"("tool_args_redacted":{"path":"/srv/a","canonical_path":"/srv/a","mode":"r"},)"
    R"("policy_inputs":{"canonical_path":"/srv/a","allow_base_dirs":["/srv"],"tier":1},)"
    R"("normalized_args":{"canonical_path":"/srv/a","canonical_src_path":"/a",)"
    R"("canonical_dst_path":"/b","n":2},"intent":{"expected_outputs":[{"ref":"out:path",)"
    R"("value":"/srv/b"},{"ref":"out:text","value":"v"},{"ref":"x:path"}]},"evidence_refs":["e1"],)"
    R"("untrusted_inputs":[],"request_bytes_b64":"AAAA","prev_record_hash":"h0","record_hash":"h1",)"
    R"("signature":"s","signing_key_id":"k"})";

TEST(RecordHash, QaRecordHashesOverItsSortedPreimage) {
  EXPECT_EQ(
      hash_preimage(kQaRecord),
      R"({"event_type":"qa_verification_backlog_warning","prev_record_hash":null,)"
      R"("queue_capacity":1000,"queue_depth":1000,"record_hash":null,"sequence":7,)"
      R"("signature":null,"signing_key_id":null,"timestamp_utc":"2025-01-01T00:00:00.000Z"})");
  EXPECT_EQ(hash_of(kQaRecord),
            "sha256:0a663b71270fc5741f16404c9a36f736014c2b5ffe9f78e5230059055bc4ae2e");
}

TEST(SignaturePreimage, DecisionRecordCoversOnlyItsStableContent) {
  EXPECT_EQ(sig_preimage(kDecision),
            R"({"intent":{"expected_outputs":[{"ref":"out:path","value":"<path-redacted>"},)"
            R"({"ref":"out:text","value":"v"},{"ref":"x:path"}]},"normalized_args":{"n":2},)"
            R"("original_tool":"read_file","policy_decision":"ALLOW","policy_inputs":{"tier":1},)"
            R"("policy_reasons":[{"code":"R1"},{"code":null},"plain"],"prev_record_hash":"h0",)"
            R"("record_type":"mediated_decision","tool_args_redacted":{"mode":"r"}})");
}

TEST(RecordHashPreimage, DecisionRecordKeepsEveryKeyWithHashAndSignatureNulled) {
  std::string nulled(kDecision);
  for (std::string_view from : {R"("h1")", R"("s")", R"("k")"}) {
    const std::size_t at = nulled.rfind(from);
    ASSERT_NE(at, std::string::npos);
    nulled.replace(at, from.size(), "null");
  }
  const json::Record expected_doc = read(nulled);
  const Result<std::string> expected = canonical_json(expected_doc->root());
  ASSERT_TRUE(expected.has_value());
  EXPECT_EQ(hash_preimage(kDecision), *expected);
  EXPECT_NE(expected->find(R"("evidence_refs":["e1"])"), std::string::npos);
  EXPECT_NE(expected->find(R"("canonical_dst_path":"/b")"), std::string::npos);
}

TEST(PolicyHash, TopLevelUnderscoreKeysAreLeftOut) {
  EXPECT_EQ(policy_of(R"({"_comment":"x","rules":[{"_note":1,"id":"a"}],"version":2})"),
            "sha256:691e2a379f6a0c1d8c1fe56587531bd2a81087b581742d73debe72733489bd72");
  EXPECT_EQ(policy_of(R"({"rules":[{"_note":1,"id":"a"}],"version":2})"),
            "sha256:691e2a379f6a0c1d8c1fe56587531bd2a81087b581742d73debe72733489bd72");
  EXPECT_EQ(policy_of(R"({"_a":1,"__b":{"c":2}})"), sha256_digest("{}"));
  EXPECT_EQ(policy_of(R"({"":1,"_":2})"), sha256_digest(R"({"":1})"));
}

TEST(RecordHash, MissingRecordHashEqualsNullRecordHash) {
  EXPECT_EQ(hash_of(R"({"a":1})"), hash_of(R"({"a":1,"record_hash":null})"));
  EXPECT_EQ(hash_preimage(R"({"a":1})"), R"({"a":1,"record_hash":null})");
}

TEST(RecordHash, PresentSignatureDiffersFromAbsentSignature) {
  EXPECT_NE(hash_of(R"({"a":1,"signature":"abc"})"), hash_of(R"({"a":1})"));
  EXPECT_EQ(hash_preimage(R"({"a":1,"signature":"abc","signing_key_id":"k"})"),
            R"({"a":1,"record_hash":null,"signature":null,"signing_key_id":null})");
}

TEST(RecordHash, FillingInHashAndSignatureKeepsTheHash) {
  json::Node record = json::Node::object();
  record.set("event_type", "qa_test");
  record.set("sequence", json::Node::from_u64(3));
  record.set("prev_record_hash", nullptr);
  record.set("record_hash", nullptr);
  record.set("signature", nullptr);
  record.set("signing_key_id", nullptr);
  const Result<std::string> before = record_hash(record);
  ASSERT_TRUE(before.has_value()) << before.error();
  record.set("record_hash", *before);
  record.set("signature", "c2lnbmF0dXJl");
  record.set("signing_key_id", "ed25519:00");
  const Result<std::string> after = record_hash(record);
  ASSERT_TRUE(after.has_value()) << after.error();
  EXPECT_EQ(*after, *before);
  const json::Record frozen = json::freeze(record);
  EXPECT_EQ(*record_hash(frozen->root()), *before);
}

TEST(SignaturePreimage, ChoosesTheDecisionFormOnlyForDecisionRecords) {
  struct Case {
    const char* name;
    const char* record;
    bool decision_form;
  };
  const Case cases[] = {
      {"event record with a decision",
       R"({"event_type":"x","policy_decision":"ALLOW","session_id":"s"})", false},
      {"event type of any value",
       R"({"event_type":null,"record_type":"mediated_decision","session_id":"s"})", false},
      {"numeric record type", R"({"record_type":5,"session_id":"s"})", false},
      {"neither marker", R"({"session_id":"s"})", false},
      {"string record type", R"({"record_type":"","session_id":"s"})", true},
      {"decision of any value", R"({"policy_decision":null,"session_id":"s"})", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string sig = sig_preimage(c.record);
    if (c.decision_form) {
      EXPECT_EQ(sig.find("session_id"), std::string::npos) << sig;
      EXPECT_EQ(sig.find("record_hash"), std::string::npos) << sig;
    } else {
      EXPECT_EQ(sig, hash_preimage(c.record));
    }
  }
}

TEST(SignaturePreimage, ReasonsKeepOnlyTheirCode) {
  EXPECT_EQ(
      sig_preimage(R"({"policy_decision":"DENY","policy_reasons":)"
                   R"([{"code":{"x":1},"m":2},{},"s",7,null,[{"message":1}]]})"),
      R"({"policy_decision":"DENY","policy_reasons":[{"code":{"x":1}},{"code":null},"s",7,null,[{"message":1}]]})");
  // Not an array: untouched.
  EXPECT_EQ(sig_preimage(R"({"policy_decision":"DENY","policy_reasons":{"code":1,"m":2}})"),
            R"({"policy_decision":"DENY","policy_reasons":{"code":1,"m":2}})");
}

TEST(SignaturePreimage, PathRedactionNeedsAColonPathRefAndAValue) {
  struct Case {
    const char* output;
    const char* expected;
  };
  const Case cases[] = {
      {R"({"ref":":path","value":"/a"})", R"({"ref":":path","value":"<path-redacted>"})"},
      {R"({"ref":"a:path","value":null})", R"({"ref":"a:path","value":"<path-redacted>"})"},
      {R"({"ref":"apath","value":"/a"})", R"({"ref":"apath","value":"/a"})"},
      {R"({"ref":"a:PATH","value":"/a"})", R"({"ref":"a:PATH","value":"/a"})"},
      {R"({"ref":"a:path:x","value":"/a"})", R"({"ref":"a:path:x","value":"/a"})"},
      {R"({"ref":7,"value":"/a"})", R"({"ref":7,"value":"/a"})"},
      {R"({"ref":"a:path"})", R"({"ref":"a:path"})"},
      {R"("a:path")", R"("a:path")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    const std::string record =
        std::string(R"({"policy_decision":"ALLOW","intent":{"expected_outputs":[)") + c.output +
        "]}}";
    EXPECT_EQ(sig_preimage(record), std::string(R"({"intent":{"expected_outputs":[)") + c.expected +
                                        R"(]},"policy_decision":"ALLOW"})");
  }
}

TEST(SignaturePreimage, OnlyTheNamedLevelsLoseTheirPathKeys) {
  EXPECT_EQ(
      sig_preimage(R"({"policy_decision":"ALLOW","canonical_path":"/top","path":"/p",)"
                   R"("intent":{"canonical_path":"/i","expected_outputs":"none"},)"
                   R"("tool_args_redacted":{"inner":{"path":"/deep"},"path":"/x"},)"
                   R"("policy_inputs":"flat","normalized_args":[{"canonical_path":"/n"}]})"),
      R"({"canonical_path":"/top","intent":{"canonical_path":"/i","expected_outputs":"none"},)"
      R"("normalized_args":[{"canonical_path":"/n"}],"path":"/p","policy_decision":"ALLOW",)"
      R"("policy_inputs":"flat","tool_args_redacted":{"inner":{"path":"/deep"}}})");
}

TEST(Preimages, NonObjectsAreRefused) {
  for (const char* text : {"[]", "1", "\"s\"", "null"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(hash_preimage(text), "error: record hash preimage requires an object");
    EXPECT_EQ(hash_of(text), "error: record hash preimage requires an object");
    EXPECT_EQ(sig_preimage(text), "error: record hash preimage requires an object");
    EXPECT_EQ(policy_of(text), "error: policy hash requires an object");
  }
}

TEST(Preimages, UnrenderableNumberIsPassedOn) {
  const char* event = R"({"event_type":"x","v":[1e400]})";
  const char* decision = R"({"policy_decision":"ALLOW","v":{"w":-1e400}})";
  EXPECT_EQ(hash_preimage(event), "error: unsupported JSON number");
  EXPECT_EQ(hash_of(event), "error: unsupported JSON number");
  EXPECT_EQ(sig_preimage(event), "error: unsupported JSON number");
  EXPECT_EQ(sig_preimage(decision), "error: unsupported JSON number");
  EXPECT_EQ(policy_of(R"({"rules":[1e400]})"), "error: unsupported JSON number");
  // A left-out member cannot fail the hash.
  EXPECT_EQ(policy_of(R"({"_bad":1e400})"), sha256_digest("{}"));
  EXPECT_EQ(sig_preimage(R"({"policy_decision":"ALLOW","session_id":1e400})"),
            R"({"policy_decision":"ALLOW"})");
}

TEST(Preimages, BuiltNodesGiveTheSameBytesAsReadValues) {
  const json::Record doc = read(kDecision);
  const json::Node node = json::Node::from_value(doc->root());
  EXPECT_EQ(*record_hash_preimage(node), *record_hash_preimage(doc->root()));
  EXPECT_EQ(*record_hash(node), *record_hash(doc->root()));
  EXPECT_EQ(*signature_preimage(node), *signature_preimage(doc->root()));
  EXPECT_EQ(*policy_hash(node), *policy_hash(doc->root()));
}

}  // namespace
}  // namespace telmir::canonical
