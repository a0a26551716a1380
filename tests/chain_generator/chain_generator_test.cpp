#include "chain_generator/chain_generator.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "canonical/canonical.h"
#include "canonical/preimage.h"
#include "governance/chain_reader.h"
#include "governance/records/records.h"
#include "key/key.h"
#include "platform/fs.h"
#include "platform/text.h"

namespace telmir::chaingen {
namespace {

constexpr std::string_view kSeedHex =
    "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";

class TempDir {
 public:
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "telmir-chaingen-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

key::PublicKey governance_public_key() {
  return key::public_key_from_seed(*key::parse_signing_key(kSeedHex));
}

// What a verifier would find wrong with each record of a chain.
struct Verdict {
  bool hash_ok = false;
  bool link_ok = false;
  bool signature_ok = false;
};

std::vector<Verdict> verify(const std::vector<json::Record>& records) {
  const key::PublicKey pk = governance_public_key();
  std::vector<Verdict> out;
  std::optional<std::string_view> prev;
  for (const json::Record& r : records) {
    const json::Value& v = r->root();
    Verdict d;
    auto computed = canonical::record_hash(v);
    d.hash_ok = computed && v.string_member("record_hash") == std::string_view(*computed);
    d.link_ok = v.string_member("prev_record_hash") == prev;
    if (auto sig = v.string_member("signature")) {
      auto bytes = key::decode_base64url(*sig);
      auto preimage = canonical::signature_preimage(v);
      if (bytes && preimage) {
        if (auto s = key::signature_from_bytes(*bytes)) {
          d.signature_ok = key::verify_signature(pk, *preimage, *s).has_value();
        }
      }
    }
    prev = v.string_member("record_hash");
    out.push_back(d);
  }
  return out;
}

std::vector<json::Record> parse_lines(const std::string& text) {
  std::vector<json::Record> out;
  for (const auto& line : platform::split_json_lines(text)) {
    auto r = json::parse(line.text);
    EXPECT_TRUE(r.has_value()) << r.error() << ": " << line.text;
    if (r) out.push_back(*r);
  }
  return out;
}

TEST(ChainGenerator, WritesAChainThatVerifiesRecordByRecord) {
  TempDir dir;
  ChainBuilder builder(GovernanceSigner::from_seed_hex(kSeedHex).value());
  ChainOptions options;
  options.records = 2000;
  options.policy_rules_hash = "sha256:" + std::string(64, 'a');
  options.capability_registry_hash = "sha256:" + std::string(64, 'b');
  ASSERT_TRUE(generate_chain(builder, options).has_value());
  const std::string path = dir.file("chain.jsonl");
  ASSERT_TRUE(builder.write_file(path).has_value());

  governance::ChainReader reader(path);
  auto records = reader.read_new_records();
  ASSERT_TRUE(records.has_value()) << records.error();
  ASSERT_EQ(records->size(), 2000u);
  const auto verdicts = verify(*records);
  for (std::size_t i = 0; i < verdicts.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(verdicts[i].hash_ok);
    EXPECT_TRUE(verdicts[i].link_ok);
    EXPECT_TRUE(verdicts[i].signature_ok);
  }
  EXPECT_EQ((*records)[0]->root().find("prev_record_hash"), nullptr);

  // A realistic mix, and approvals that decisions rely on are present and never revoked.
  std::map<std::string, std::size_t> decisions, tools, rules;
  std::set<std::string> approvals, revoked;
  std::size_t config_changes = 0, with_latency = 0, with_reference = 0;
  for (const json::Record& r : *records) {
    const json::Value& v = r->root();
    if (governance::is_approval_event(v)) approvals.emplace(*v.string_member("event_id"));
    if (governance::is_revocation_event(v)) revoked.emplace(*v.string_member("approval_event_id"));
    if (governance::is_configuration_change(v)) ++config_changes;
    if (!governance::is_decision_record(v)) continue;
    ++decisions[std::string(*governance::decision_value(v))];
    ++tools[std::string(governance::tool_key(v))];
    ++rules[std::string(v.string_member("matched_rule").value_or("none"))];
    if (v.find("decision_latency_ms") != nullptr) ++with_latency;
    EXPECT_EQ(v.string_member("policy_rules_hash"), options.policy_rules_hash);
    if (auto ref = v.string_member("approval_event_id")) {
      ++with_reference;
      EXPECT_TRUE(approvals.contains(std::string(*ref))) << *ref;
      EXPECT_EQ(v.string_member("matched_rule"), "approved_lookup");
    }
  }
  EXPECT_GT(decisions["ALLOW"], decisions["DENY"]);
  EXPECT_GT(decisions["DENY"], 100u);
  EXPECT_GE(tools.size(), 6u);
  EXPECT_GE(rules.size(), 5u);
  EXPECT_GT(with_reference, 50u);
  EXPECT_GT(config_changes, 0u);
  EXPECT_FALSE(revoked.empty());
  for (const json::Record& r : *records) {
    if (auto ref = r->root().string_member("approval_event_id");
        ref && governance::is_decision_record(r->root())) {
      EXPECT_FALSE(revoked.contains(std::string(*ref)));
    }
  }
  EXPECT_EQ(with_latency, decisions["ALLOW"] + decisions["DENY"]);
}

TEST(ChainGenerator, DamageShowsWhereItWasDone) {
  struct Case {
    DamageKind kind;
    bool hash_ok, link_ok, signature_ok;
  };
  const Case cases[] = {
      {DamageKind::kTamper, false, true, false},
      {DamageKind::kBreakLink, true, false, true},
      {DamageKind::kStripSignature, true, true, false},
      {DamageKind::kCorruptSignature, true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.kind));
    ChainBuilder builder(GovernanceSigner::from_seed_hex(kSeedHex).value());
    ChainOptions options;
    options.records = 40;
    options.damage = {{c.kind, 20}};
    ASSERT_TRUE(generate_chain(builder, options).has_value());
    const auto verdicts = verify(parse_lines(builder.text()));
    ASSERT_EQ(verdicts.size(), 40u);
    for (std::size_t i = 0; i < verdicts.size(); ++i) {
      SCOPED_TRACE(i);
      const bool damaged = i == 20;
      EXPECT_EQ(verdicts[i].hash_ok, damaged ? c.hash_ok : true);
      EXPECT_EQ(verdicts[i].link_ok, damaged ? c.link_ok : true) << "later links stay intact";
      EXPECT_EQ(verdicts[i].signature_ok, damaged ? c.signature_ok : true);
    }
  }
  ChainBuilder builder(GovernanceSigner::from_seed_hex(kSeedHex).value());
  ChainOptions options;
  options.records = 10;
  options.damage = {{DamageKind::kBadLine, 4}};
  ASSERT_TRUE(generate_chain(builder, options).has_value());
  ASSERT_EQ(builder.lines().size(), 11u);
  EXPECT_FALSE(json::parse(builder.lines()[4]).has_value());
}

TEST(ChainGenerator, SealsRecordsAsAsked) {
  ChainBuilder builder(GovernanceSigner::from_seed_hex(kSeedHex).value());
  DecisionSpec spec;
  auto first = builder.append(make_decision(spec));
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->find("prev_record_hash"), nullptr);
  const std::string first_hash = first->find("record_hash")->text();
  EXPECT_EQ(first->find("signing_key_id")->text(), builder.signer().key_id());
  EXPECT_EQ(first->find("signature")->text().size(), 86u);

  Seal padded;
  padded.signature = SignatureForm::kPadded;
  auto second = builder.append(make_decision(spec), padded);
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(second->find("prev_record_hash")->text(), first_hash);
  EXPECT_EQ(second->find("signature")->text().size(), 88u);
  EXPECT_TRUE(second->find("signature")->text().ends_with("=="));

  Seal bare;
  bare.signature = SignatureForm::kNone;
  bare.omit_prev_record_hash = true;
  auto third = builder.append(make_approval("A1", "alice", "2026-03-01T10:00:00Z"), bare);
  ASSERT_TRUE(third.has_value());
  EXPECT_EQ(third->find("signature"), nullptr);
  EXPECT_EQ(third->find("signing_key_id"), nullptr);
  EXPECT_EQ(third->find("prev_record_hash"), nullptr);

  Seal odd;
  odd.prev_record_hash = json::Node(nullptr);
  odd.omit_record_hash = true;
  odd.signature = SignatureForm::kEmpty;
  auto fourth = builder.append(make_revocation("R1", "A1", "bob", "2026-03-01T11:00:00Z"), odd);
  ASSERT_TRUE(fourth.has_value());
  EXPECT_EQ(fourth->find("prev_record_hash")->kind(), json::Kind::kNull);
  EXPECT_EQ(fourth->find("record_hash"), nullptr);
  EXPECT_EQ(fourth->find("signature")->text(), "");
  EXPECT_FALSE(builder.last_record_hash().has_value());

  EXPECT_FALSE(builder.append(json::Node("not an object")).has_value());
  EXPECT_EQ(builder.lines().size(), 4u);
}

TEST(ChainGenerator, SameSeedSameChain) {
  auto make = [](std::uint64_t seed) {
    ChainBuilder builder(GovernanceSigner::from_seed_hex(kSeedHex).value());
    ChainOptions options;
    options.records = 200;
    options.rng_seed = seed;
    EXPECT_TRUE(generate_chain(builder, options).has_value());
    return builder.text();
  };
  EXPECT_EQ(make(7), make(7));
  EXPECT_NE(make(7), make(8));
}

TEST(ChainGenerator, ProxyConfigurationDigestsAreTheRecordedOnes) {
  auto config = example_proxy_configuration();
  ASSERT_TRUE(config.has_value()) << config.error();
  auto rules = json::parse(config->policy_rules_text);
  ASSERT_TRUE(rules.has_value());
  EXPECT_EQ(canonical::policy_hash((*rules)->root()).value(), config->policy_rules_hash);
  EXPECT_EQ(canonical::sha256_digest(config->capability_registry_text),
            config->capability_registry_hash);
  auto registry = json::parse(config->capability_registry_text);
  ASSERT_TRUE(registry.has_value());
  EXPECT_EQ((*registry)->root().string_member("governance_posture"), "production");
}

TEST(ChainGeneratorCommand, WritesTheChainItsConfigurationAndKeyAndAppends) {
  TempDir dir;
  const std::string chain = dir.file("LOGS/decision-chain.jsonl");
  const std::string command =
      std::string(TELMIR_CHAINGEN_BINARY) + " --records 50 --seed-hex " + std::string(kSeedHex) +
      " --out " + chain + " --policy-rules " + dir.file("capabilities/policy-rules.json") +
      " --capability-registry " + dir.file("capabilities/capability-registry.json") +
      " --write-key " + dir.file("governance.key");
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  ASSERT_EQ(std::system((std::string(TELMIR_CHAINGEN_BINARY) +
                         " --records 25 --rng-seed 2 --append --key-file " +
                         dir.file("governance.key") + " --out " + chain)
                            .c_str()),
            0);
  auto text = platform::read_file(chain);
  ASSERT_TRUE(text.has_value());
  const auto records = parse_lines(*text);
  ASSERT_EQ(records.size(), 75u);
  const auto verdicts = verify(records);
  for (std::size_t i = 0; i < verdicts.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(verdicts[i].hash_ok && verdicts[i].link_ok && verdicts[i].signature_ok);
  }
  auto config = example_proxy_configuration();
  ASSERT_TRUE(config.has_value());
  EXPECT_EQ(platform::read_file(dir.file("capabilities/capability-registry.json")).value(),
            config->capability_registry_text);
  EXPECT_EQ(records[1]->root().string_member("capability_registry_hash"),
            config->capability_registry_hash);
  EXPECT_NE(
      std::system((std::string(TELMIR_CHAINGEN_BINARY) + " --records 5 > /dev/null 2>&1").c_str()),
      0);
}

}  // namespace
}  // namespace telmir::chaingen
