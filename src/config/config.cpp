#include "config/config.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdlib>

#include "canonical/canonical.h"
#include "platform/executable.h"
#include "platform/fs.h"
#include "platform/text.h"

#ifndef TELMIR_DEFAULT_REPO_ROOT
#error "the build must define TELMIR_DEFAULT_REPO_ROOT"
#endif
#ifndef TELMIR_TOOLCHAIN_VERSION
#error "the build must define TELMIR_TOOLCHAIN_VERSION"
#endif

namespace telmir::config {

namespace {

// A variable whose value is not valid UTF-8 is treated as unset.
std::optional<std::string> read_var(const EnvSource& env, std::string_view name) {
  std::optional<std::string> value = env(name);
  if (value && !platform::is_valid_utf8(*value)) return std::nullopt;
  return value;
}

// An optional "+" and one or more ASCII digits, within 64 bits; nothing else.
std::optional<std::uint64_t> parse_whole_number(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::uint64_t whole_number(const EnvSource& env, std::string_view name, std::uint64_t fallback,
                           std::uint64_t lower_bound) {
  const std::optional<std::string> text = read_var(env, name);
  const std::uint64_t value = text ? parse_whole_number(*text).value_or(fallback) : fallback;
  return std::max(value, lower_bound);
}

bool flag(const EnvSource& env, std::string_view name) {
  const std::optional<std::string> text = read_var(env, name);
  return text && (*text == "1" || *text == "true" || *text == "TRUE" || *text == "yes");
}

std::string executable_digest() {
  Result<std::string> bytes = platform::read_executable();
  if (!bytes) return "unknown";
  return canonical::sha256_digest(*bytes);
}

}  // namespace

EnvSource process_environment() {
  return [](std::string_view name) -> std::optional<std::string> {
    const char* value = std::getenv(std::string(name).c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  };
}

std::optional<std::string> env_with_legacy(const EnvSource& env, std::FILE* warnings,
                                           std::string_view current, std::string_view legacy) {
  if (std::optional<std::string> value = read_var(env, current)) return value;
  std::optional<std::string> value = read_var(env, legacy);
  if (value) {
    fmt::print(warnings,
               "warning: env var {} is deprecated; use {} (the legacy name still works for one "
               "release window)\n",
               legacy, current);
    std::fflush(warnings);
  }
  return value;
}

std::optional<std::string> env_with_legacy(std::string_view current, std::string_view legacy) {
  return env_with_legacy(process_environment(), stderr, current, legacy);
}

std::string file_digest_or_unknown(const std::string& path) {
  Result<std::string> bytes = platform::read_file(path);
  if (!bytes) return "unknown";
  return canonical::sha256_digest(*bytes);
}

Result<Config> load_config(const EnvSource& env, std::FILE* warnings) {
  using platform::join_path;
  auto path = [&](std::string_view current, std::string_view legacy, const std::string& base,
                  const char* rest) {
    std::optional<std::string> value = env_with_legacy(env, warnings, current, legacy);
    return value ? std::move(*value) : join_path(base, rest);
  };

  // Fields are read in this order; it fixes the order of deprecation warnings.
  Config c;
  c.repo_root = read_var(env, "ORVANTE_REPO_ROOT").value_or(TELMIR_DEFAULT_REPO_ROOT);
  c.runtime_dir = path("ORVANTE_RUNTIME_DIR", "GOV_RUNTIME_DIR", c.repo_root, "gov_runtime");
  c.qa_signing_key_path = path("ORVANTE_QA_SIGNING_KEY_PATH", "GOV_QA_SIGNING_KEY_PATH",
                               c.runtime_dir, ".orvante-qa-signing-key.pem");
  c.signing_key_path =
      env_with_legacy(env, warnings, "ORVANTE_SIGNING_KEY_PATH", "GOV_SIGNING_KEY_PATH");
  c.policy_rules_path = path("ORVANTE_POLICY_RULES_PATH", "GOV_POLICY_RULES_PATH", c.repo_root,
                             "capabilities/policy-rules.json");
  c.capability_registry_path =
      path("ORVANTE_CAPABILITY_REGISTRY_PATH", "GOV_CAPABILITY_REGISTRY_PATH", c.repo_root,
           "capabilities/capability-registry.json");
  c.decision_chain_path = path("ORVANTE_DECISION_CHAIN_PATH", "GOV_DECISION_CHAIN_PATH",
                               c.runtime_dir, "LOGS/decision-chain.jsonl");
  c.qa_chain_path =
      path("ORVANTE_QA_CHAIN_PATH", "GOV_QA_CHAIN_PATH", c.runtime_dir, "LOGS/qa-chain.jsonl");
  c.heartbeat = whole_number(env, "ORVANTE_TELMIR_HEARTBEAT_SECONDS", 30, 1);
  c.ready_file = read_var(env, "ORVANTE_TELMIR_READY_FILE");
  c.require_proxy_running = flag(env, "ORVANTE_TELMIR_REQUIRE_PROXY_RUNNING");
  c.tail_records = whole_number(env, "ORVANTE_TELMIR_TAIL_RECORDS", 100, 2);
  c.verification_queue_depth =
      whole_number(env, "ORVANTE_TELMIR_VERIFICATION_QUEUE_DEPTH", 1000, 1);
  c.classification_history = whole_number(env, "ORVANTE_TELMIR_CLASSIFICATION_HISTORY", 10, 1);
  c.approval_max_age_seconds =
      whole_number(env, "ORVANTE_TELMIR_APPROVAL_MAX_AGE_SECONDS", 86400, 0);
  c.spc_min_decisions = whole_number(env, "ORVANTE_TELMIR_SPC_MIN_DECISIONS", 100, 1);
  c.spc_baseline_path = read_var(env, "ORVANTE_TELMIR_SPC_BASELINE_PATH")
                            .value_or(join_path(c.runtime_dir, "telmir/spc-baselines.json"));
  c.behavioral_interval = whole_number(env, "ORVANTE_TELMIR_BEHAVIORAL_INTERVAL_SECONDS", 3600, 1);
  c.behavioral_min_decisions = whole_number(env, "ORVANTE_TELMIR_BEHAVIORAL_MIN_DECISIONS", 100, 0);
  c.element_interval = whole_number(env, "ORVANTE_TELMIR_ELEMENT_INTERVAL_SECONDS", 600, 1);
  c.element_tail_records = whole_number(env, "ORVANTE_TELMIR_ELEMENT_TAIL_RECORDS", 100, 2);
  const std::string specs_dir = join_path(c.repo_root, "specs");
  c.chain_events_spec_path = read_var(env, "ORVANTE_CHAIN_EVENTS_SPEC_PATH")
                                 .value_or(join_path(specs_dir, "chain-events-v1.yaml"));
  c.chain_integrity_spec_path = read_var(env, "ORVANTE_CHAIN_INTEGRITY_SPEC_PATH")
                                    .value_or(join_path(specs_dir, "chain-integrity-spec-v1.yaml"));
  c.toolchain_version = TELMIR_TOOLCHAIN_VERSION;
  c.binary_sha256 = executable_digest();
  return c;
}

Result<Config> load_config() { return load_config(process_environment(), stderr); }

}  // namespace telmir::config
