#include "governance/verifier_checks.h"

#include <fmt/format.h>

#include <algorithm>

#include "canonical/preimage.h"
#include "governance/records/records.h"
#include "key/key.h"
#include "platform/text.h"

namespace telmir::governance {

namespace {

CheckOutcome environment_critical(std::string detail) {
  return CheckOutcome::fail(kSeverityCritical, std::move(detail), kEnvironmentCriticalCode,
                            kEnvironmentCriticalType);
}

CheckOutcome invalid_signature(std::string detail) {
  return CheckOutcome::fail(kSeverityCritical, std::move(detail), kInvalidSignatureCode,
                            kInvalidSignatureType);
}

CheckOutcome invalid_approval(std::string detail) {
  return CheckOutcome::fail(kSeverityCritical, std::move(detail), kInvalidApprovalCode,
                            kInvalidApprovalType);
}

CheckOutcome check_signature(const json::Value& record, std::string_view signature,
                             const std::string& key_path) {
  Result<key::PublicKey> key = key::load_governance_verifying_key(key_path);
  if (!key) return invalid_signature(key.error());
  Result<std::vector<std::uint8_t>> bytes = key::decode_base64url(signature);
  if (!bytes)
    return invalid_signature(fmt::format("invalid signature base64url: {}", bytes.error()));
  Result<key::Signature> parsed = key::signature_from_bytes(*bytes);
  if (!parsed) {
    return invalid_signature(fmt::format("invalid Ed25519 signature bytes: {}", parsed.error()));
  }
  Result<std::string> preimage = canonical::signature_preimage(record);
  if (!preimage) return invalid_signature(preimage.error());
  Result<void> verified = key::verify_signature(*key, *preimage, *parsed);
  if (!verified) {
    return invalid_signature(fmt::format("signature verification failed: {}", verified.error()));
  }
  return CheckOutcome::pass();
}

}  // namespace

CheckOutcome check_structural_integrity(const json::Value& record, const HistoryIndex& index,
                                        const std::optional<std::string>& signing_key_path) {
  Result<std::string> computed = canonical::record_hash(record);
  if (!computed) return environment_critical(computed.error());

  std::optional<std::string_view> stored = record_hash_text(record);
  if (stored != std::string_view(*computed)) {
    return environment_critical(fmt::format("record_hash mismatch: expected {}, got {}", *computed,
                                            platform::optional_notation(stored)));
  }

  if (std::optional<std::size_t> position = index.position_of(record)) {
    std::optional<std::string_view> expected;
    if (*position > 0) expected = record_hash_text(index.at(*position - 1));
    std::optional<std::string_view> actual = record.string_member("prev_record_hash");
    if (expected != actual) {
      return environment_critical(fmt::format("prev_record_hash mismatch: expected {}, got {}",
                                              platform::optional_notation(expected),
                                              platform::optional_notation(actual)));
    }
  }

  // An unsigned record, or one checked without a configured key, is not a failure here.
  std::optional<std::string_view> signature = record.string_member("signature");
  if (!signature || signature->empty() || !signing_key_path) return CheckOutcome::pass();
  return check_signature(record, *signature, *signing_key_path);
}

std::string classification_label(const json::Value& record) {
  const json::Value* classification = record.find("classification");
  if (classification == nullptr || !classification->is_object()) return "unknown";
  for (std::string_view key : {"category", "action_type", "confidence_tier"}) {
    const json::Value* value = classification->find(key);
    if (value == nullptr) continue;
    if (value->is_string()) return std::string(value->as_string());
    return json::write_compact(*value);
  }
  return "unknown";
}

CheckOutcome check_classification_consistency(const json::Value& record, const HistoryIndex& index,
                                              std::uint64_t history_depth) {
  std::optional<std::size_t> position = index.position_of(record);
  if (!position || *position == 0) return CheckOutcome::pass();
  const std::size_t p = *position;

  const std::string_view tool = tool_key(record);
  std::span<const std::size_t> candidates = index.decision_positions(tool);
  // Candidates lie strictly before p; they are walked newest first.
  auto end = std::lower_bound(candidates.begin(), candidates.end(), p);
  const std::string label = classification_label(record);
  std::uint64_t examined = 0;
  for (auto it = end; it != candidates.begin();) {
    --it;
    const std::size_t c = *it;
    std::string earlier = classification_label(index.at(c));
    if (earlier != label && !index.configuration_change_between(c, p)) {
      return CheckOutcome::fail(
          kSeverityHigh,
          fmt::format("classification changed for {}: {} -> {}", tool, earlier, label),
          kClassificationAnomalyCode, kClassificationAnomalyType);
    }
    if (++examined == history_depth) break;
  }
  return CheckOutcome::pass();
}

CheckOutcome check_approval_provenance(const json::Value& record, const HistoryIndex& index,
                                       std::uint64_t max_age_seconds) {
  std::optional<std::string_view> reference =
      string_key(record, "approval_event_id", "approval_id");
  if (!reference) {
    if (record.string_member("matched_rule") == std::string_view("approved_lookup")) {
      return invalid_approval(
          "decision used approval override but did not reference an approval event");
    }
    return CheckOutcome::pass();
  }

  std::optional<std::size_t> approval = index.first_approval(*reference);
  if (!approval) {
    return invalid_approval(fmt::format("approval {} not found in chain history", *reference));
  }
  std::optional<std::size_t> revocation = index.last_revocation(*reference);
  if (revocation && *revocation > *approval) {
    return invalid_approval(
        fmt::format("approval {} was revoked before decision verification", *reference));
  }

  if (max_age_seconds == 0) return CheckOutcome::pass();
  std::optional<std::uint64_t> approved_at = record_timestamp(index.at(*approval));
  std::optional<std::uint64_t> decided_at = record_timestamp(record);
  if (!approved_at || !decided_at) return CheckOutcome::pass();
  const std::uint64_t age = *decided_at > *approved_at ? *decided_at - *approved_at : 0;
  if (age > max_age_seconds) {
    return CheckOutcome::fail(kSeverityCritical,
                              fmt::format("approval {} exceeded maximum age: {}s", *reference, age),
                              kSessionExpiryCode, kSessionExpiryType);
  }
  return CheckOutcome::pass();
}

CheckOutcome check_negative_constraints(const json::Value& record) {
  if (record.string_member("policy_decision") != std::string_view("ALLOW")) {
    return CheckOutcome::pass();
  }
  const json::Value* classification = record.find("classification");
  const json::Value* match =
      classification != nullptr ? classification->find("negative_constraint_match") : nullptr;
  const bool matched = (match != nullptr && match->is_bool() && match->as_bool()) ||
                       record.string_member("matched_negative_constraint").has_value();
  if (!matched) return CheckOutcome::pass();
  return CheckOutcome::fail(kSeverityCritical,
                            "ALLOW decision matched a declared negative constraint",
                            kNegativeConstraintCode, kNegativeConstraintType);
}

CheckOutcome check_behavioral_baseline() { return CheckOutcome::pass(); }

}  // namespace telmir::governance
