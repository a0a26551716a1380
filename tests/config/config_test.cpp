#include "config/config.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "canonical/canonical.h"
#include "platform/executable.h"

namespace telmir::config {
namespace {

using Env = std::map<std::string, std::string, std::less<>>;

EnvSource source_of(const Env& env) {
  return [&env](std::string_view name) -> std::optional<std::string> {
    auto it = env.find(name);
    if (it == env.end()) return std::nullopt;
    return it->second;
  };
}

struct Loaded {
  Config config;
  std::string warnings;
};

Loaded load(const Env& env) {
  std::FILE* sink = std::tmpfile();
  EXPECT_NE(sink, nullptr);
  Result<Config> config = load_config(source_of(env), sink);
  EXPECT_TRUE(config.has_value());
  std::string warnings;
  std::rewind(sink);
  char buf[512];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, sink)) > 0) warnings.append(buf, n);
  std::fclose(sink);
  return {config ? *config : Config{}, warnings};
}

std::string warning(std::string_view legacy, std::string_view current) {
  return "warning: env var " + std::string(legacy) + " is deprecated; use " + std::string(current) +
         " (the legacy name still works for one release window)\n";
}

const std::string kRoot = TELMIR_SOURCE_DIR;

TEST(LoadConfig, SettingsComeFromTheEnvironmentWithDefaultsBoundsAndLegacyNames) {
  struct Case {
    const char* name;
    Env env;
    std::function<void(const Config&)> check;
    std::string warnings;
  };
  const Case cases[] = {
      {"no variables: every default",
       {},
       [](const Config& c) {
         EXPECT_EQ(c.repo_root, kRoot);
         EXPECT_EQ(c.runtime_dir, kRoot + "/gov_runtime");
         EXPECT_EQ(c.qa_signing_key_path, kRoot + "/gov_runtime/.orvante-qa-signing-key.pem");
         EXPECT_EQ(c.signing_key_path, std::nullopt);
         EXPECT_EQ(c.policy_rules_path, kRoot + "/capabilities/policy-rules.json");
         EXPECT_EQ(c.capability_registry_path, kRoot + "/capabilities/capability-registry.json");
         EXPECT_EQ(c.decision_chain_path, kRoot + "/gov_runtime/LOGS/decision-chain.jsonl");
         EXPECT_EQ(c.qa_chain_path, kRoot + "/gov_runtime/LOGS/qa-chain.jsonl");
         EXPECT_EQ(c.heartbeat, 30u);
         EXPECT_EQ(c.ready_file, std::nullopt);
         EXPECT_FALSE(c.require_proxy_running);
         EXPECT_EQ(c.tail_records, 100u);
         EXPECT_EQ(c.verification_queue_depth, 1000u);
         EXPECT_EQ(c.classification_history, 10u);
         EXPECT_EQ(c.approval_max_age_seconds, 86400u);
         EXPECT_EQ(c.spc_min_decisions, 100u);
         EXPECT_EQ(c.spc_baseline_path, kRoot + "/gov_runtime/telmir/spc-baselines.json");
         EXPECT_EQ(c.behavioral_interval, 3600u);
         EXPECT_EQ(c.behavioral_min_decisions, 100u);
         EXPECT_EQ(c.element_interval, 600u);
         EXPECT_EQ(c.element_tail_records, 100u);
         EXPECT_EQ(c.chain_events_spec_path, kRoot + "/specs/chain-events-v1.yaml");
         EXPECT_EQ(c.chain_integrity_spec_path, kRoot + "/specs/chain-integrity-spec-v1.yaml");
         EXPECT_FALSE(c.toolchain_version.empty());
       },
       ""},
      {"runtime directory moves the runtime files only",
       {{"ORVANTE_RUNTIME_DIR", "/var/rt"}},
       [](const Config& c) {
         EXPECT_EQ(c.runtime_dir, "/var/rt");
         EXPECT_EQ(c.qa_signing_key_path, "/var/rt/.orvante-qa-signing-key.pem");
         EXPECT_EQ(c.decision_chain_path, "/var/rt/LOGS/decision-chain.jsonl");
         EXPECT_EQ(c.qa_chain_path, "/var/rt/LOGS/qa-chain.jsonl");
         EXPECT_EQ(c.spc_baseline_path, "/var/rt/telmir/spc-baselines.json");
         EXPECT_EQ(c.policy_rules_path, kRoot + "/capabilities/policy-rules.json");
         EXPECT_EQ(c.capability_registry_path, kRoot + "/capabilities/capability-registry.json");
         EXPECT_EQ(c.chain_events_spec_path, kRoot + "/specs/chain-events-v1.yaml");
       },
       ""},
      {"repository root moves the files below it",
       {{"ORVANTE_REPO_ROOT", "/opt/gov"}},
       [](const Config& c) {
         EXPECT_EQ(c.repo_root, "/opt/gov");
         EXPECT_EQ(c.runtime_dir, "/opt/gov/gov_runtime");
         EXPECT_EQ(c.qa_chain_path, "/opt/gov/gov_runtime/LOGS/qa-chain.jsonl");
         EXPECT_EQ(c.policy_rules_path, "/opt/gov/capabilities/policy-rules.json");
         EXPECT_EQ(c.chain_integrity_spec_path, "/opt/gov/specs/chain-integrity-spec-v1.yaml");
       },
       ""},
      {"legacy runtime directory warns once",
       {{"GOV_RUNTIME_DIR", "/legacy"}},
       [](const Config& c) {
         EXPECT_EQ(c.runtime_dir, "/legacy");
         EXPECT_EQ(c.decision_chain_path, "/legacy/LOGS/decision-chain.jsonl");
       },
       warning("GOV_RUNTIME_DIR", "ORVANTE_RUNTIME_DIR")},
      {"current name wins silently over the legacy name",
       {{"GOV_RUNTIME_DIR", "/legacy"}, {"ORVANTE_RUNTIME_DIR", "/current"}},
       [](const Config& c) { EXPECT_EQ(c.runtime_dir, "/current"); },
       ""},
      {"three legacy names warn in field order",
       {{"GOV_QA_CHAIN_PATH", "/l/qa.jsonl"},
        {"GOV_SIGNING_KEY_PATH", "/l/gov.key"},
        {"GOV_RUNTIME_DIR", "/l"}},
       [](const Config& c) {
         EXPECT_EQ(c.runtime_dir, "/l");
         EXPECT_EQ(c.signing_key_path, "/l/gov.key");
         EXPECT_EQ(c.qa_chain_path, "/l/qa.jsonl");
       },
       warning("GOV_RUNTIME_DIR", "ORVANTE_RUNTIME_DIR") +
           warning("GOV_SIGNING_KEY_PATH", "ORVANTE_SIGNING_KEY_PATH") +
           warning("GOV_QA_CHAIN_PATH", "ORVANTE_QA_CHAIN_PATH")},
      {"every legacy path name is honoured",
       {{"GOV_QA_SIGNING_KEY_PATH", "/k.pem"},
        {"GOV_POLICY_RULES_PATH", "/p.json"},
        {"GOV_CAPABILITY_REGISTRY_PATH", "/r.json"},
        {"GOV_DECISION_CHAIN_PATH", "/d.jsonl"}},
       [](const Config& c) {
         EXPECT_EQ(c.qa_signing_key_path, "/k.pem");
         EXPECT_EQ(c.policy_rules_path, "/p.json");
         EXPECT_EQ(c.capability_registry_path, "/r.json");
         EXPECT_EQ(c.decision_chain_path, "/d.jsonl");
       },
       warning("GOV_QA_SIGNING_KEY_PATH", "ORVANTE_QA_SIGNING_KEY_PATH") +
           warning("GOV_POLICY_RULES_PATH", "ORVANTE_POLICY_RULES_PATH") +
           warning("GOV_CAPABILITY_REGISTRY_PATH", "ORVANTE_CAPABILITY_REGISTRY_PATH") +
           warning("GOV_DECISION_CHAIN_PATH", "ORVANTE_DECISION_CHAIN_PATH")},
      {"non-UTF-8 value counts as unset",
       {{"ORVANTE_RUNTIME_DIR", "/bad\xff"},
        {"GOV_RUNTIME_DIR", "/legacy"},
        {"ORVANTE_TELMIR_READY_FILE", "\xc3"},
        {"ORVANTE_TELMIR_HEARTBEAT_SECONDS", "5\xff"}},
       [](const Config& c) {
         EXPECT_EQ(c.runtime_dir, "/legacy");
         EXPECT_EQ(c.ready_file, std::nullopt);
         EXPECT_EQ(c.heartbeat, 30u);
       },
       warning("GOV_RUNTIME_DIR", "ORVANTE_RUNTIME_DIR")},
      {"empty path is the empty path and defaults join to it alone",
       {{"ORVANTE_RUNTIME_DIR", ""}, {"ORVANTE_TELMIR_READY_FILE", ""}},
       [](const Config& c) {
         EXPECT_EQ(c.runtime_dir, "");
         EXPECT_EQ(c.decision_chain_path, "LOGS/decision-chain.jsonl");
         EXPECT_EQ(c.spc_baseline_path, "telmir/spc-baselines.json");
         EXPECT_EQ(c.ready_file, "");
       },
       ""},
      {"relative path from a variable is kept as given",
       {{"ORVANTE_QA_CHAIN_PATH", "qa.jsonl"}, {"ORVANTE_RUNTIME_DIR", "/rt"}},
       [](const Config& c) { EXPECT_EQ(c.qa_chain_path, "qa.jsonl"); },
       ""},
      {"spc baseline has no legacy name",
       {{"GOV_TELMIR_SPC_BASELINE_PATH", "/x.json"}, {"GOV_SPC_BASELINE_PATH", "/y.json"}},
       [](const Config& c) {
         EXPECT_EQ(c.spc_baseline_path, kRoot + "/gov_runtime/telmir/spc-baselines.json");
       },
       ""},
      {"optional paths and spec paths from their variables",
       {{"ORVANTE_SIGNING_KEY_PATH", "/gov.key"},
        {"ORVANTE_TELMIR_READY_FILE", "/run/ready"},
        {"ORVANTE_TELMIR_SPC_BASELINE_PATH", "/b.json"},
        {"ORVANTE_CHAIN_EVENTS_SPEC_PATH", "/e.yaml"},
        {"ORVANTE_CHAIN_INTEGRITY_SPEC_PATH", "/i.yaml"}},
       [](const Config& c) {
         EXPECT_EQ(c.signing_key_path, "/gov.key");
         EXPECT_EQ(c.ready_file, "/run/ready");
         EXPECT_EQ(c.spc_baseline_path, "/b.json");
         EXPECT_EQ(c.chain_events_spec_path, "/e.yaml");
         EXPECT_EQ(c.chain_integrity_spec_path, "/i.yaml");
       },
       ""},
      {"heartbeat zero is raised to one",
       {{"ORVANTE_TELMIR_HEARTBEAT_SECONDS", "0"}},
       [](const Config& c) { EXPECT_EQ(c.heartbeat, 1u); },
       ""},
      {"heartbeat with a plus sign",
       {{"ORVANTE_TELMIR_HEARTBEAT_SECONDS", "+45"}},
       [](const Config& c) { EXPECT_EQ(c.heartbeat, 45u); },
       ""},
      {"heartbeat with a leading blank",
       {{"ORVANTE_TELMIR_HEARTBEAT_SECONDS", " 45"}},
       [](const Config& c) { EXPECT_EQ(c.heartbeat, 30u); },
       ""},
      {"heartbeat with a unit",
       {{"ORVANTE_TELMIR_HEARTBEAT_SECONDS", "45s"}},
       [](const Config& c) { EXPECT_EQ(c.heartbeat, 30u); },
       ""},
      {"heartbeat negative",
       {{"ORVANTE_TELMIR_HEARTBEAT_SECONDS", "-45"}},
       [](const Config& c) { EXPECT_EQ(c.heartbeat, 30u); },
       ""},
      {"heartbeat empty",
       {{"ORVANTE_TELMIR_HEARTBEAT_SECONDS", ""}},
       [](const Config& c) { EXPECT_EQ(c.heartbeat, 30u); },
       ""},
      {"heartbeat lone signs",
       {{"ORVANTE_TELMIR_HEARTBEAT_SECONDS", "+"},
        {"ORVANTE_TELMIR_ELEMENT_INTERVAL_SECONDS", "-"}},
       [](const Config& c) {
         EXPECT_EQ(c.heartbeat, 30u);
         EXPECT_EQ(c.element_interval, 600u);
       },
       ""},
      {"heartbeat doubled sign",
       {{"ORVANTE_TELMIR_HEARTBEAT_SECONDS", "++5"}},
       [](const Config& c) { EXPECT_EQ(c.heartbeat, 30u); },
       ""},
      {"largest 64-bit value and one more",
       {{"ORVANTE_TELMIR_HEARTBEAT_SECONDS", "18446744073709551615"},
        {"ORVANTE_TELMIR_BEHAVIORAL_INTERVAL_SECONDS", "18446744073709551616"},
        {"ORVANTE_TELMIR_SPC_MIN_DECISIONS", "000000000000000000000000042"}},
       [](const Config& c) {
         EXPECT_EQ(c.heartbeat, 18446744073709551615u);
         EXPECT_EQ(c.behavioral_interval, 3600u);
         EXPECT_EQ(c.spc_min_decisions, 42u);
       },
       ""},
      {"tail records are at least two",
       {{"ORVANTE_TELMIR_TAIL_RECORDS", "1"}, {"ORVANTE_TELMIR_ELEMENT_TAIL_RECORDS", "0"}},
       [](const Config& c) {
         EXPECT_EQ(c.tail_records, 2u);
         EXPECT_EQ(c.element_tail_records, 2u);
       },
       ""},
      {"tail records above the bound are kept",
       {{"ORVANTE_TELMIR_TAIL_RECORDS", "3"}, {"ORVANTE_TELMIR_ELEMENT_TAIL_RECORDS", "2"}},
       [](const Config& c) {
         EXPECT_EQ(c.tail_records, 3u);
         EXPECT_EQ(c.element_tail_records, 2u);
       },
       ""},
      {"counts with bound one raise only zero",
       {{"ORVANTE_TELMIR_VERIFICATION_QUEUE_DEPTH", "0"},
        {"ORVANTE_TELMIR_CLASSIFICATION_HISTORY", "0"},
        {"ORVANTE_TELMIR_SPC_MIN_DECISIONS", "1"},
        {"ORVANTE_TELMIR_BEHAVIORAL_INTERVAL_SECONDS", "0"},
        {"ORVANTE_TELMIR_ELEMENT_INTERVAL_SECONDS", "7"}},
       [](const Config& c) {
         EXPECT_EQ(c.verification_queue_depth, 1u);
         EXPECT_EQ(c.classification_history, 1u);
         EXPECT_EQ(c.spc_min_decisions, 1u);
         EXPECT_EQ(c.behavioral_interval, 1u);
         EXPECT_EQ(c.element_interval, 7u);
       },
       ""},
      {"zero approval age and zero behavioural minimum are kept",
       {{"ORVANTE_TELMIR_APPROVAL_MAX_AGE_SECONDS", "0"},
        {"ORVANTE_TELMIR_BEHAVIORAL_MIN_DECISIONS", "0"}},
       [](const Config& c) {
         EXPECT_EQ(c.approval_max_age_seconds, 0u);
         EXPECT_EQ(c.behavioral_min_decisions, 0u);
       },
       ""},
      {"flag TRUE",
       {{"ORVANTE_TELMIR_REQUIRE_PROXY_RUNNING", "TRUE"}},
       [](const Config& c) { EXPECT_TRUE(c.require_proxy_running); },
       ""},
      {"flag 1",
       {{"ORVANTE_TELMIR_REQUIRE_PROXY_RUNNING", "1"}},
       [](const Config& c) { EXPECT_TRUE(c.require_proxy_running); },
       ""},
      {"flag true",
       {{"ORVANTE_TELMIR_REQUIRE_PROXY_RUNNING", "true"}},
       [](const Config& c) { EXPECT_TRUE(c.require_proxy_running); },
       ""},
      {"flag yes",
       {{"ORVANTE_TELMIR_REQUIRE_PROXY_RUNNING", "yes"}},
       [](const Config& c) { EXPECT_TRUE(c.require_proxy_running); },
       ""},
      {"flag True",
       {{"ORVANTE_TELMIR_REQUIRE_PROXY_RUNNING", "True"}},
       [](const Config& c) { EXPECT_FALSE(c.require_proxy_running); },
       ""},
      {"flag YES",
       {{"ORVANTE_TELMIR_REQUIRE_PROXY_RUNNING", "YES"}},
       [](const Config& c) { EXPECT_FALSE(c.require_proxy_running); },
       ""},
      {"flag on",
       {{"ORVANTE_TELMIR_REQUIRE_PROXY_RUNNING", "on"}},
       [](const Config& c) { EXPECT_FALSE(c.require_proxy_running); },
       ""},
      {"flag is not trimmed",
       {{"ORVANTE_TELMIR_REQUIRE_PROXY_RUNNING", "1 "}},
       [](const Config& c) { EXPECT_FALSE(c.require_proxy_running); },
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Loaded loaded = load(c.env);
    c.check(loaded.config);
    EXPECT_EQ(loaded.warnings, c.warnings);
  }
}

TEST(LoadConfig, ExecutableDigestIsThatOfTheRunningBinary) {
  const Loaded loaded = load({});
  const Result<std::string> bytes = platform::read_executable();
  ASSERT_TRUE(bytes.has_value()) << bytes.error();
  EXPECT_EQ(loaded.config.binary_sha256, canonical::sha256_digest(*bytes));
}

TEST(FileDigest, UnreadableFileGivesUnknown) {
  EXPECT_EQ(file_digest_or_unknown(std::string(TELMIR_TEST_DATA_DIR) + "/no-such-file"), "unknown");
  EXPECT_EQ(file_digest_or_unknown(TELMIR_TEST_DATA_DIR), "unknown");  // a directory
  const Result<std::string> bytes = platform::read_executable();
  ASSERT_TRUE(bytes.has_value());
  const Result<std::string> path = platform::executable_path();
  ASSERT_TRUE(path.has_value());
  EXPECT_EQ(file_digest_or_unknown(*path), canonical::sha256_digest(*bytes));
}

}  // namespace
}  // namespace telmir::config
