#pragma once

// The environment snapshot: eleven checks (ENV-001 to ENV-011) over the proxy's configuration,
// both signing keys, the tails of both chains, disk space, the classifier and the proxy process;
// the condition codes and verdict derived from them; and the four operations the run cycle uses
// on snapshots (startup gate, merging, union, fingerprint).
//
// A snapshot never fails: every problem becomes a check outcome. Each snapshot reads every file
// it needs afresh, once, and shares the bytes between the checks that look at the same file.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"
#include "json/value.h"
#include "platform/result.h"

namespace telmir::environment {

// ---------------------------------------------------------------------------------------------
// Check results

enum class CheckStatus : std::uint8_t { kPass, kFail, kWarning, kNotApplicable };

// "pass", "fail", "warning", "notapplicable": the form written into QA records.
std::string_view status_json_text(CheckStatus status) noexcept;
// "Pass", "Fail", "Warning", "NotApplicable": the form used by the fingerprint.
std::string_view status_title_text(CheckStatus status) noexcept;

inline constexpr std::string_view kSeverityCritical = "critical";
inline constexpr std::string_view kSeverityHigh = "high";

struct EnvCheck {
  CheckStatus status = CheckStatus::kPass;
  std::optional<std::string> detail;
  std::optional<std::string> severity;
  std::map<std::string, json::Node> extra;  // measured values, ordered by name

  static EnvCheck pass() { return {}; }
  static EnvCheck failure(std::string_view severity, std::string detail);
  static EnvCheck not_applicable(std::string detail);
};

// {"status":..., "detail":... (when present), "severity":... (when present), extra members in
// name order}. Fails when a text is not valid UTF-8 or an extra value cannot be rendered.
Result<json::Node> env_check_to_json(const EnvCheck& check);

// Check name -> result, ordered by the names' bytes ("ENV-001" < ... < "ENV-011").
using Checks = std::map<std::string, EnvCheck>;

// One member per check in name order; a check that cannot be rendered becomes the string
// "serialization_error".
json::Node checks_object(const Checks& checks);

// ---------------------------------------------------------------------------------------------
// The snapshot

struct EnvironmentSnapshot {
  std::string policy_rules_hash;         // digest string, or "error:" + message
  std::string capability_registry_hash;  // digest string, or "error:" + message
  std::vector<std::string> active_conditions;
  std::string overall;  // "healthy" or "unhealthy"
  Checks checks;        // "ENV-001" .. "ENV-011"
};

// File-system space at a path as statvfs(3) reports it.
struct FileSystemSpace {
  std::uint64_t available_blocks = 0;  // f_bavail: blocks available to unprivileged users
  std::uint64_t fragment_size = 0;     // f_frsize
};
// Fails with the operating system's message.
using FileSystemSpaceQuery = std::function<Result<FileSystemSpace>(const std::string& path)>;
// The real query (statvfs).
Result<FileSystemSpace> statvfs_space(const std::string& path);

// Takes one snapshot of the environment as it is now. `space` answers ENV-007's file-system
// query (tests stub it).
EnvironmentSnapshot take_snapshot(const config::Config& config);
EnvironmentSnapshot take_snapshot(const config::Config& config, const FileSystemSpaceQuery& space);

// "{name}: {detail}" (or "{name}: failed" without detail) for every check that failed with
// severity "critical", in name order. A non-empty list blocks the first run cycle.
std::vector<std::string> startup_gate_reasons(const EnvironmentSnapshot& snapshot);

// Appends each code not yet present to `active_conditions`; a snapshot with conditions is
// "unhealthy". Check results are left alone.
EnvironmentSnapshot merge_conditions(EnvironmentSnapshot snapshot,
                                     const std::vector<std::string>& codes);

// The codes of `first`, then those of `second`, each once, in order of first appearance.
std::vector<std::string> union_conditions(const std::vector<std::string>& first,
                                          const std::vector<std::string>& second);

// Digests, verdict, conditions and each check's status and detail joined with "|"; severities
// and extra values are left out, so a change in free space alone keeps the fingerprint.
std::string snapshot_fingerprint(const EnvironmentSnapshot& snapshot);

// ---------------------------------------------------------------------------------------------
// Policy rules and capability registry

// Policy hash of the parsed rules. Errors: "failed to read policy rules {}: {}", "failed to
// parse policy rules {}: {}", or the policy hash's own message.
Result<std::string> compute_policy_rules_hash(const std::string& policy_rules_path);

// Digest of the registry's raw bytes. Error: "failed to read capability registry {}: {}".
Result<std::string> compute_capability_registry_hash(const std::string& capability_registry_path);

// The last `limit` non-blank lines of a JSON Lines file (all of them without a limit), parsed,
// in file order. Errors: "failed to read chain {}: {}", "invalid chain JSON in {}: {}" for the
// first kept line that does not parse (an unfinished last line included).
Result<std::vector<json::Record>> read_chain_tail(const std::string& path,
                                                  std::optional<std::uint64_t> limit);

// The newest string value of `member` among the governance chain's last 200 non-blank lines;
// nothing when the chain does not exist or no line records one.
Result<std::optional<std::string>> proxy_recorded_value(const std::string& decision_chain_path,
                                                        std::string_view member);

// ---------------------------------------------------------------------------------------------
// The checks, one operation each (take_snapshot evaluates them over shared reads)

// ENV-001 / ENV-010: the computed digest (or its error form) against the proxy's recorded one.
EnvCheck check_policy_rules_digest(const std::string& policy_rules_hash,
                                   const std::string& decision_chain_path);
EnvCheck check_capability_registry_digest(const std::string& capability_registry_hash,
                                          const std::string& decision_chain_path);
// ENV-002: the governance signing key's identifier, when a key path is configured.
EnvCheck check_governance_signing_key(const std::optional<std::string>& signing_key_path);
// ENV-003: the QA signing key loads (never created here) and passes its self-check.
EnvCheck check_qa_signing_key(const std::string& qa_signing_key_path);
// ENV-004 / ENV-005: linkage, then record hashes, of the chain's last `tail_size` records.
EnvCheck check_chain_tail(const std::string& chain_path, std::uint64_t tail_size);
// ENV-006: running balance of approval and revocation events over the whole chain.
EnvCheck check_active_approvals(const std::string& decision_chain_path);
// ENV-007: free space at the runtime directory's nearest existing ancestor.
EnvCheck check_disk_space(const std::string& runtime_dir, const FileSystemSpaceQuery& space);
// ENV-008: repo_root/scripts/classifier.py is a regular file.
EnvCheck check_classifier_source(const std::string& repo_root);
// ENV-009: the supervisor's status file reports the proxy running.
EnvCheck check_proxy_process(const std::string& runtime_dir, bool require_proxy_running);
// ENV-011: the registry's governance posture is not "developer".
EnvCheck check_governance_posture(const std::string& capability_registry_path);

// The runtime directory itself or its nearest existing ancestor ("" when no component exists).
std::string nearest_existing_ancestor(const std::string& path);

// The posture text of a parsed registry ("production" by default), before normalisation.
std::string governance_posture(const json::Value& registry);

}  // namespace telmir::environment
