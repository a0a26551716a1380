#pragma once

// The configuration record, read once from the environment at startup and never changed.

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace telmir::config {

struct Config {
  std::string repo_root;
  std::string runtime_dir;
  std::string qa_signing_key_path;
  std::optional<std::string> signing_key_path;  // no governance signing key when absent
  std::string policy_rules_path;
  std::string capability_registry_path;
  std::string decision_chain_path;
  std::string qa_chain_path;
  std::uint64_t heartbeat = 30;  // whole seconds
  std::optional<std::string> ready_file;
  bool require_proxy_running = false;
  std::uint64_t tail_records = 100;
  std::uint64_t verification_queue_depth = 1000;
  std::uint64_t classification_history = 10;
  std::uint64_t approval_max_age_seconds = 86400;  // 0 turns the age check off
  std::uint64_t spc_min_decisions = 100;
  std::string spc_baseline_path;
  std::uint64_t behavioral_interval = 3600;  // whole seconds
  std::uint64_t behavioral_min_decisions = 100;
  std::uint64_t element_interval = 600;  // whole seconds
  std::uint64_t element_tail_records = 100;
  std::string chain_events_spec_path;
  std::string chain_integrity_spec_path;
  std::string toolchain_version;
  std::string binary_sha256;  // digest string of the running executable, or "unknown"
};

// Looks up one environment variable: its raw bytes when set, nothing when unset.
using EnvSource = std::function<std::optional<std::string>(std::string_view name)>;

// The process environment (getenv).
EnvSource process_environment();

// Reads the settings in their fixed order from the process environment; deprecation warnings go
// to standard error. Never fails in practice; the Result keeps the caller's error path.
Result<Config> load_config();
// The same over a given environment, with warnings written to `warnings`.
Result<Config> load_config(const EnvSource& env, std::FILE* warnings);

// The value of `current`, else that of `legacy` (with a deprecation warning line), else nothing.
// A variable whose value is not valid UTF-8 counts as unset.
std::optional<std::string> env_with_legacy(std::string_view current, std::string_view legacy);
std::optional<std::string> env_with_legacy(const EnvSource& env, std::FILE* warnings,
                                           std::string_view current, std::string_view legacy);

// Digest string of the file at `path`, or "unknown" when it cannot be read.
std::string file_digest_or_unknown(const std::string& path);

}  // namespace telmir::config
