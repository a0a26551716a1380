// take_snapshot and the operations the run cycle applies to snapshots.

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <iterator>
#include <utility>

#include "environment/snapshot_parts.h"
#include "platform/text.h"

namespace telmir::environment {

namespace {

constexpr std::string_view kHealthy = "healthy";
constexpr std::string_view kUnhealthy = "unhealthy";

std::string digest_or_error_form(const Result<std::string>& digest) {
  return digest ? *digest : "error:" + digest.error();
}

bool failed(const Checks& checks, const std::string& name) {
  auto found = checks.find(name);
  return found != checks.end() && found->second.status == CheckStatus::kFail;
}

bool failed_critically(const EnvCheck& check) {
  return check.status == CheckStatus::kFail && check.severity == kSeverityCritical;
}

void add_once(std::vector<std::string>& codes, const std::string& code) {
  if (std::find(codes.begin(), codes.end(), code) == codes.end()) codes.push_back(code);
}

}  // namespace

EnvironmentSnapshot take_snapshot(const config::Config& config) {
  return take_snapshot(config, statvfs_space);
}

EnvironmentSnapshot take_snapshot(const config::Config& config, const FileSystemSpaceQuery& space) {
  EnvironmentSnapshot snapshot;
  // Each file is read once here; checks that look at the same file share what was read.
  snapshot.policy_rules_hash =
      digest_or_error_form(compute_policy_rules_hash(config.policy_rules_path));
  Result<std::string> registry = read_capability_registry(config.capability_registry_path);
  snapshot.capability_registry_hash = digest_or_error_form(registry_digest(registry));
  // Every line of the governance chain is needed (ENV-006); of the QA chain only its tail. The
  // read memory is kept for the next snapshot on this thread; the bytes are read afresh.
  thread_local ChainBuffer governance_buffer;
  thread_local ChainBuffer qa_buffer;
  const ChainText governance_chain = ChainText::load(config.decision_chain_path, governance_buffer);
  const ChainText qa_chain =
      ChainText::load_tail(config.qa_chain_path, config.tail_records, qa_buffer);

  Checks& checks = snapshot.checks;
  checks.emplace("ENV-001", digest_check(snapshot.policy_rules_hash, governance_chain,
                                         "policy_rules_hash", kSeverityCritical));
  checks.emplace("ENV-002", check_governance_signing_key(config.signing_key_path));
  checks.emplace("ENV-003", check_qa_signing_key(config.qa_signing_key_path));
  checks.emplace("ENV-004", chain_tail_check(governance_chain, config.tail_records));
  checks.emplace("ENV-005", chain_tail_check(qa_chain, config.tail_records));
  checks.emplace("ENV-006", active_approvals_check(governance_chain));
  checks.emplace("ENV-007", check_disk_space(config.runtime_dir, space));
  checks.emplace("ENV-008", check_classifier_source(config.repo_root));
  checks.emplace("ENV-009", check_proxy_process(config.runtime_dir, config.require_proxy_running));
  checks.emplace("ENV-010", digest_check(snapshot.capability_registry_hash, governance_chain,
                                         "capability_registry_hash", kSeverityHigh));
  checks.emplace("ENV-011", posture_check(config.capability_registry_path, registry));

  if (failed(checks, "ENV-001")) add_once(snapshot.active_conditions, "CR-CRIT-001");
  if (failed(checks, "ENV-010")) add_once(snapshot.active_conditions, "CR-CRIT-004");
  if (failed(checks, "ENV-011")) add_once(snapshot.active_conditions, "CR-HIGH-003");
  bool any_failure = false;
  for (const auto& [name, check] : checks) {
    if (check.status == CheckStatus::kFail) any_failure = true;
    if (failed_critically(check)) add_once(snapshot.active_conditions, "CR-CRIT-005:" + name);
  }
  snapshot.overall = std::string(any_failure ? kUnhealthy : kHealthy);
  return snapshot;
}

std::vector<std::string> startup_gate_reasons(const EnvironmentSnapshot& snapshot) {
  std::vector<std::string> reasons;
  for (const auto& [name, check] : snapshot.checks) {
    if (!failed_critically(check)) continue;
    reasons.push_back(fmt::format("{}: {}", name, check.detail ? *check.detail : "failed"));
  }
  return reasons;
}

EnvironmentSnapshot merge_conditions(EnvironmentSnapshot snapshot,
                                     const std::vector<std::string>& codes) {
  for (const std::string& code : codes) add_once(snapshot.active_conditions, code);
  if (!snapshot.active_conditions.empty() && snapshot.overall == kHealthy) {
    snapshot.overall = std::string(kUnhealthy);
  }
  return snapshot;
}

std::vector<std::string> union_conditions(const std::vector<std::string>& first,
                                          const std::vector<std::string>& second) {
  std::vector<std::string> result;
  for (const std::string& code : first) add_once(result, code);
  for (const std::string& code : second) add_once(result, code);
  return result;
}

std::string snapshot_fingerprint(const EnvironmentSnapshot& snapshot) {
  std::string out =
      fmt::format("{}|{}|{}|{}", snapshot.policy_rules_hash, snapshot.capability_registry_hash,
                  snapshot.overall, fmt::join(snapshot.active_conditions, ","));
  for (const auto& [name, check] : snapshot.checks) {
    std::optional<std::string_view> detail;
    if (check.detail) detail = *check.detail;
    fmt::format_to(std::back_inserter(out), "|{}:{}:{}", name, status_title_text(check.status),
                   platform::optional_notation(detail));
  }
  return out;
}

}  // namespace telmir::environment
