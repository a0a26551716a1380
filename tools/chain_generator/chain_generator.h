#pragma once

// Writes governance chains as the governance proxy does: every record hashed, linked to its
// predecessor and signed with the proxy's Ed25519 key, with ways to damage the chain on
// purpose. Used by tests, benchmarks and the example installation.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json/value.h"
#include "platform/result.h"

namespace telmir::chaingen {

// The proxy's signing key.
class GovernanceSigner {
 public:
  explicit GovernanceSigner(std::span<const std::uint8_t, 32> seed);
  // 64 hexadecimal digits.
  static Result<GovernanceSigner> from_seed_hex(std::string_view hex);

  // "ed25519:" and the SHA-256 of the public key in hexadecimal.
  const std::string& key_id() const noexcept { return key_id_; }
  // The seed as 64 lower-case hexadecimal digits (the key file's hexadecimal form).
  std::string seed_hex() const;
  // Ed25519 signature of the bytes, base64url without padding (86 characters).
  std::string sign(std::string_view message) const;

 private:
  std::array<std::uint8_t, 32> seed_{};
  std::array<std::uint8_t, 64> secret_{};
  std::string key_id_;
};

enum class SignatureForm {
  kValid,    // a correct signature
  kNone,     // no `signature` and no `signing_key_id` member
  kEmpty,    // `signature` is ""
  kCorrupt,  // a well-formed signature over other bytes
  kPadded,   // the correct signature followed by "==" (base64 padding)
};

// How a record is completed.
struct Seal {
  // prev_record_hash: the previous record's hash (absent on the first record) unless one of
  // these says otherwise.
  bool omit_prev_record_hash = false;
  std::optional<json::Node> prev_record_hash;  // written as given, e.g. a wrong hash or null
  bool omit_record_hash = false;               // no `record_hash` member at all
  SignatureForm signature = SignatureForm::kValid;
  // Members set after hashing and signing, so the record no longer matches its hash.
  std::vector<std::pair<std::string, json::Node>> tamper;
};

// A chain under construction: sealed records and their lines, in order.
class ChainBuilder {
 public:
  explicit ChainBuilder(GovernanceSigner signer);

  const GovernanceSigner& signer() const noexcept { return signer_; }

  // Sets prev_record_hash, record_hash, signature and signing_key_id as the proxy does (the
  // hash covers the record with those three set to null, the signature covers the signature
  // preimage), applies the seal's damage, appends the compact line and returns the record.
  // Fails only when the record cannot be hashed (not an object, a number out of range).
  Result<json::Node> append(json::Node record, const Seal& seal = {});

  // A line as given (text that is not JSON, a blank line, a line ending in "\r"); it does not
  // change the hash the next record links to.
  void append_raw_line(std::string line);

  const std::vector<std::string>& lines() const noexcept { return lines_; }
  // The `record_hash` the next record will link to (the last appended record's).
  const std::optional<std::string>& last_record_hash() const noexcept { return last_hash_; }
  // Continue a chain written earlier: the next record links to `hash`.
  void set_last_record_hash(std::optional<std::string> hash) { last_hash_ = std::move(hash); }
  // Every line followed by a line feed.
  std::string text() const;
  // Lines from `first` on, each followed by a line feed.
  std::string text_from(std::size_t first) const;

  // Writes the whole chain (replacing the file).
  Result<void> write_file(const std::string& path) const;
  // Appends the lines from `first` on to the file (creating it).
  Result<void> append_to_file(const std::string& path, std::size_t first) const;

 private:
  GovernanceSigner signer_;
  std::vector<std::string> lines_;
  std::optional<std::string> last_hash_;
};

// The fields of one decision record. Optional members are left out when empty.
struct DecisionSpec {
  std::string policy_decision = "ALLOW";
  std::string record_type = "mediated_decision";
  std::string tool = "read_file";  // original_tool
  std::string category = "read";
  std::string action_type = "read";
  std::string confidence_tier = "high";
  bool negative_constraint_match = false;
  std::optional<std::string> matched_rule = "allow_read_workspace";
  std::optional<std::string> matched_negative_constraint;
  std::optional<std::string> latency_ms = "12";  // decision_latency_ms as JSON number text
  std::optional<std::string> approval_event_id;
  std::string timestamp_utc = "2026-03-01T08:00:00Z";
  std::string session_id = "sess-1";
  std::string request_id = "req-1";
  std::uint64_t process_id = 4242;
  std::optional<std::string> policy_rules_hash;
  std::optional<std::string> capability_registry_hash;
};
json::Node make_decision(const DecisionSpec& spec);

// An approval event with `event_id` (and `approval_id` when given) by `operator`.
json::Node make_approval(std::string event_id, std::string operator_name, std::string timestamp_utc,
                         std::optional<std::string> approval_id = std::nullopt);
// A revocation event of the approval `approval_event_id` by `operator`.
json::Node make_revocation(std::string event_id, std::string approval_event_id,
                           std::string operator_name, std::string timestamp_utc);
// A configuration-change event ("classifier_reload", "capability_registry_update", ...) with
// the digests in force afterwards when given.
json::Node make_config_change(std::string event_type, std::string timestamp_utc,
                              std::optional<std::string> policy_rules_hash = std::nullopt,
                              std::optional<std::string> capability_registry_hash = std::nullopt);

// The proxy's policy rules and capability registry files and the digests it records of them
// (policy hash of the rules, SHA-256 of the registry's bytes).
struct ProxyConfiguration {
  std::string policy_rules_text;
  std::string capability_registry_text;
  std::string policy_rules_hash;
  std::string capability_registry_hash;
};
// A small rule set and registry in production posture.
Result<ProxyConfiguration> example_proxy_configuration();
Result<void> write_proxy_configuration(const ProxyConfiguration& config,
                                       const std::string& policy_rules_path,
                                       const std::string& capability_registry_path);

enum class DamageKind {
  kTamper,            // a field changed after hashing (`matched_rule`, or `note` on events)
  kBreakLink,         // prev_record_hash of another record
  kStripSignature,    // no signature
  kCorruptSignature,  // a signature over other bytes
  kBadLine,           // a line that is not JSON, inserted before the record
};
struct Damage {
  DamageKind kind;
  std::size_t index;  // 0-based record number
};

struct ChainOptions {
  std::size_t records = 100;
  std::uint64_t rng_seed = 1;
  std::int64_t start_epoch_seconds = 1772352000;  // 2026-03-01T08:00:00Z
  std::int64_t seconds_between_records = 7;
  // Recorded on every decision and configuration-change record when given.
  std::optional<std::string> policy_rules_hash;
  std::optional<std::string> capability_registry_hash;
  std::vector<Damage> damage;
};

// A realistic mix: mostly decisions (several tools and categories, rules, about one in five
// DENY, latencies, some decisions on an approval), approval and revocation events with
// operators, and now and then a configuration change. Deterministic for a given rng_seed.
Result<void> generate_chain(ChainBuilder& builder, const ChainOptions& options);

}  // namespace telmir::chaingen
