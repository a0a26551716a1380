// The policy rules and registry digests against the proxy's recorded values (ENV-001, ENV-010)
// and the governance posture (ENV-011).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "environment/environment.h"
#include "environment_fixture.h"

namespace telmir::environment {
namespace {

using ::testing::Contains;
using testing::Installation;
using ::testing::StartsWith;
using testing::write_text;

class Digests : public Installation {};

TEST_F(Digests, PolicyFormattingDoesNotMatterRegistryBytesDo) {
  write_text(config_.policy_rules_path,
             "{\n  \"_comment\": \"other\",\n  \"rules\": [ {\"tool\": \"read_file\", "
             "\"id\": \"allow_read_workspace\"} ],\n  \"version\": 2\n}\n");
  EXPECT_EQ(*compute_policy_rules_hash(config_.policy_rules_path), policy_hash_);

  write_text(config_.capability_registry_path, std::string(testing::kRegistry) + "\n");
  Result<std::string> changed = compute_capability_registry_hash(config_.capability_registry_path);
  ASSERT_TRUE(changed.has_value());
  EXPECT_NE(*changed, registry_hash_);
  EXPECT_EQ(changed->size(), 71u);
  // The proxy recorded the old bytes' digest.
  EnvironmentSnapshot s = snapshot();
  EXPECT_EQ(s.checks["ENV-001"].status, CheckStatus::kPass);
  EXPECT_EQ(s.checks["ENV-010"].status, CheckStatus::kFail);
}

TEST_F(Digests, PolicyRulesDigestErrorsBecomeTheErrorForm) {
  struct Case {
    const char* name;
    std::optional<std::string> text;  // nothing: the file is missing
    std::string expected_prefix;
  };
  const Case cases[] = {
      {"missing", std::nullopt,
       "error:failed to read policy rules " + config_.policy_rules_path + ": "},
      {"array", std::string("[1,2]"), "error:policy hash requires an object"},
      {"not JSON", std::string("{rules"),
       "error:failed to parse policy rules " + config_.policy_rules_path + ": "},
      {"not UTF-8", std::string("{\"a\":\"\xc3\"}"),
       "error:failed to read policy rules " + config_.policy_rules_path + ": "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.text) {
      write_text(config_.policy_rules_path, *c.text);
    } else {
      std::filesystem::remove(config_.policy_rules_path);
    }
    EnvironmentSnapshot s = snapshot();
    EXPECT_THAT(s.policy_rules_hash, StartsWith(c.expected_prefix));
    const EnvCheck& check = s.checks["ENV-001"];
    EXPECT_EQ(check.status, CheckStatus::kFail);
    EXPECT_EQ(check.severity, "critical");
    EXPECT_EQ(check.detail, s.policy_rules_hash);
    EXPECT_EQ(s.active_conditions.front(), "CR-CRIT-001");
    EXPECT_THAT(s.active_conditions, Contains("CR-CRIT-005:ENV-001"));
  }
}

TEST_F(Digests, MissingRegistryFailsDigestAndPosture) {
  std::filesystem::remove(config_.capability_registry_path);
  EnvironmentSnapshot s = snapshot();
  std::string read_error = "failed to read capability registry " + config_.capability_registry_path;
  EXPECT_THAT(s.capability_registry_hash, StartsWith("error:" + read_error + ": "));
  EXPECT_EQ(s.checks["ENV-010"].detail, s.capability_registry_hash);
  EXPECT_EQ(s.checks["ENV-010"].severity, "high");
  EXPECT_THAT(*s.checks["ENV-011"].detail, StartsWith(read_error + ": "));
  EXPECT_TRUE(s.checks["ENV-011"].extra.empty());
}

TEST_F(Digests, OnlyTheNewest200LinesCount) {
  // An old record with another digest, then 200 records without one.
  testing::ChainWriter chain;
  json::Node old = testing::decision(0);
  old.set("policy_rules_hash", "sha256:" + std::string(64, 'f'));
  chain.add(std::move(old));
  for (int i = 1; i <= 200; ++i) chain.add(testing::decision(i));
  write_text(config_.decision_chain_path, chain.text());
  EXPECT_EQ(*proxy_recorded_value(config_.decision_chain_path, "policy_rules_hash"), std::nullopt);
  EXPECT_EQ(check_policy_rules_digest(policy_hash_, config_.decision_chain_path).status,
            CheckStatus::kPass);

  // With one record fewer, the old digest is the newest recorded one.
  chain.lines().pop_back();
  write_text(config_.decision_chain_path, chain.text());
  EnvCheck check = check_policy_rules_digest(policy_hash_, config_.decision_chain_path);
  EXPECT_EQ(check.status, CheckStatus::kFail);
  EXPECT_EQ(check.detail, "policy_rules_hash mismatch: current=" + policy_hash_ +
                              ", proxy_chain=sha256:" + std::string(64, 'f'));
}

TEST_F(Digests, RecordedValueSkipsNonStrings) {
  json::Node older = testing::decision(5);
  older.set("policy_rules_hash", policy_hash_);
  governance_.add(std::move(older));
  json::Node newest = testing::decision(6);
  newest.set("policy_rules_hash", json::Node::from_u64(12));
  governance_.add(std::move(newest));
  write_governance();
  EXPECT_EQ(*proxy_recorded_value(config_.decision_chain_path, "policy_rules_hash"), policy_hash_);
  EXPECT_EQ(snapshot().checks["ENV-001"].status, CheckStatus::kPass);
}

TEST_F(Digests, RecordedValueOfMissingChainIsNothing) {
  std::filesystem::remove(config_.decision_chain_path);
  EXPECT_EQ(*proxy_recorded_value(config_.decision_chain_path, "policy_rules_hash"), std::nullopt);
  EXPECT_EQ(check_capability_registry_digest(registry_hash_, config_.decision_chain_path).status,
            CheckStatus::kPass);
  // A digest in error form still fails.
  EnvCheck failed = check_capability_registry_digest("error:boom", config_.decision_chain_path);
  EXPECT_EQ(failed.detail, "error:boom");
  EXPECT_EQ(failed.severity, "high");
}

TEST_F(Digests, DifferentRegistryDigestIsHighAndDoesNotGate) {
  json::Node record = testing::decision(7);
  record.set("capability_registry_hash", "sha256:" + std::string(64, 'a'));
  governance_.add(std::move(record));
  write_governance();
  EnvironmentSnapshot s = snapshot();
  const EnvCheck& check = s.checks["ENV-010"];
  EXPECT_EQ(check.status, CheckStatus::kFail);
  EXPECT_EQ(check.severity, "high");
  EXPECT_EQ(check.detail, "capability_registry_hash mismatch: current=" + registry_hash_ +
                              ", proxy_chain=sha256:" + std::string(64, 'a'));
  EXPECT_EQ(s.active_conditions, std::vector<std::string>{"CR-CRIT-004"});
  EXPECT_TRUE(startup_gate_reasons(s).empty());
}

TEST_F(Digests, UnreadableTailFailsBothDigestChecks) {
  governance_.add_raw("{\"policy_decision\":");
  write_governance();
  EnvironmentSnapshot s = snapshot();
  std::string prefix = "invalid chain JSON in " + config_.decision_chain_path + ": ";
  EXPECT_THAT(*s.checks["ENV-001"].detail, StartsWith(prefix));
  EXPECT_EQ(s.checks["ENV-001"].severity, "critical");
  EXPECT_EQ(s.checks["ENV-010"].detail, s.checks["ENV-001"].detail);
  EXPECT_EQ(s.checks["ENV-010"].severity, "high");
}

TEST_F(Digests, PostureNormalisation) {
  struct Case {
    const char* registry;
    CheckStatus status;
    const char* mode;
  };
  const Case cases[] = {
      {R"({"governance_posture":" Developer "})", CheckStatus::kFail, "developer"},
      {"{\"governance_posture\":\"\\u3000DEVELOPER\\t\"}", CheckStatus::kFail, "developer"},
      {R"({"governance_posture":{"mode":"developer"}})", CheckStatus::kFail, "developer"},
      {R"({"governance_posture":{"mode":1}})", CheckStatus::kPass, "production"},
      {R"({"governance_posture":7})", CheckStatus::kPass, "production"},
      {R"({"other":1})", CheckStatus::kPass, "production"},
      {R"(["governance_posture"])", CheckStatus::kPass, "production"},
      {R"({"governance_posture":"Staging"})", CheckStatus::kPass, "staging"},
      // Only ASCII letters are lowered.
      {"{\"governance_posture\":\"D\xc3\x89VELOPER\"}", CheckStatus::kPass, "d\xc3\x89veloper"},
      {R"({"governance_posture":"devel oper"})", CheckStatus::kPass, "devel oper"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.registry);
    write_text(config_.capability_registry_path, c.registry);
    EnvCheck check = check_governance_posture(config_.capability_registry_path);
    EXPECT_EQ(check.status, c.status);
    EXPECT_EQ(check.extra.at("mode").text(), c.mode);
    if (c.status == CheckStatus::kFail) {
      EXPECT_EQ(check.severity, "high");
      EXPECT_EQ(check.detail,
                "Proxy operating in developer mode \xe2\x80\x94 governance posture is relaxed "
                "for unrecognized formats");
    }
  }
}

TEST_F(Digests, RegistryNotUtf8IsDigestedButFailsPosture) {
  const std::string bytes = "{\"governance_posture\":\"production\xff\"}";
  write_text(config_.capability_registry_path, bytes);
  json::Node record = testing::decision(8);
  record.set("capability_registry_hash", canonical::sha256_digest(bytes));
  governance_.add(std::move(record));
  write_governance();
  EnvironmentSnapshot s = snapshot();
  EXPECT_EQ(s.capability_registry_hash, canonical::sha256_digest(bytes));
  EXPECT_EQ(s.checks["ENV-010"].status, CheckStatus::kPass);
  const EnvCheck& posture = s.checks["ENV-011"];
  EXPECT_EQ(posture.status, CheckStatus::kFail);
  EXPECT_THAT(*posture.detail,
              StartsWith("failed to read capability registry " + config_.capability_registry_path));
  EXPECT_TRUE(posture.extra.empty());
}

TEST_F(Digests, RegistryThatIsNotJsonFailsPostureOnly) {
  write_text(config_.capability_registry_path, "posture: developer\n");
  EnvironmentSnapshot s = snapshot();
  EXPECT_THAT(*s.checks["ENV-011"].detail, StartsWith("failed to parse capability registry " +
                                                      config_.capability_registry_path + ": "));
  EXPECT_EQ(s.capability_registry_hash, canonical::sha256_digest("posture: developer\n"));
}

}  // namespace
}  // namespace telmir::environment
