#pragma once

// Post-hoc verification of queued decision records against the chain history. Each decision
// gets five checks in a fixed order, one `qa_decision_verification` record, one
// `qa_condition_detected` record per critical failure, and is then handed to SPC. The verifier
// never rejects or alters anything.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"
#include "governance/chain_reader.h"
#include "governance/verification_queue.h"
#include "governance/verifier_index.h"
#include "json/value.h"
#include "platform/result.h"

namespace telmir::qa {
class QaChainWriter;
}
namespace telmir::spc {
class SpcState;
}

namespace telmir::governance {

inline constexpr std::string_view kCheckPass = "pass";
inline constexpr std::string_view kCheckFail = "fail";
inline constexpr std::string_view kSeverityCritical = "critical";
inline constexpr std::string_view kSeverityHigh = "high";

// The five checks, in the order every verification lists them.
inline constexpr std::string_view kStructuralIntegrity = "structural_integrity";
inline constexpr std::string_view kClassificationConsistency = "classification_consistency";
inline constexpr std::string_view kApprovalProvenance = "approval_provenance";
inline constexpr std::string_view kNegativeConstraints = "negative_constraints";
inline constexpr std::string_view kBehavioralBaseline = "behavioral_baseline";
inline constexpr std::array<std::string_view, 5> kCheckNames = {
    kStructuralIntegrity, kClassificationConsistency, kApprovalProvenance, kNegativeConstraints,
    kBehavioralBaseline};

// Condition codes and types a failing check can carry.
inline constexpr std::string_view kEnvironmentCriticalCode = "CR-CRIT-005";
inline constexpr std::string_view kEnvironmentCriticalType = "environment_critical";
inline constexpr std::string_view kInvalidSignatureCode = "CR-HIGH-002";
inline constexpr std::string_view kInvalidSignatureType = "unsigned_or_invalid_record";
inline constexpr std::string_view kClassificationAnomalyCode = "CR-HIGH-001";
inline constexpr std::string_view kClassificationAnomalyType = "classification_anomaly";
inline constexpr std::string_view kInvalidApprovalCode = "CR-CRIT-003";
inline constexpr std::string_view kInvalidApprovalType = "invalid_approval";
inline constexpr std::string_view kSessionExpiryCode = "CR-CRIT-007";
inline constexpr std::string_view kSessionExpiryType = "operator_session_expiry";
inline constexpr std::string_view kNegativeConstraintCode = "CR-CRIT-002";
inline constexpr std::string_view kNegativeConstraintType = "negative_constraint_violation";

// What one check found.
struct CheckOutcome {
  std::string status{kCheckPass};  // "pass" or "fail"
  std::string detail;              // empty on pass
  std::string severity;            // "critical" or "high" on failure, empty on pass
  std::optional<std::string> condition_code;
  std::optional<std::string> condition_type;

  bool passed() const noexcept { return status == kCheckPass; }
  bool is_critical_failure() const noexcept { return !passed() && severity == kSeverityCritical; }

  static CheckOutcome pass() { return {}; }
  static CheckOutcome fail(std::string_view severity, std::string detail,
                           std::string_view condition_code, std::string_view condition_type);

  friend bool operator==(const CheckOutcome&, const CheckOutcome&) = default;
};

struct NamedCheckOutcome {
  std::string_view name;
  CheckOutcome outcome;
};

// The verification of one decision; lives only while it is written.
struct VerificationResult {
  std::string record_hash;                  // `record_hash` when text, else "unknown"
  std::string decision;                     // `policy_decision` when text, else "UNKNOWN"
  std::string tool;                         // the tool key
  std::array<NamedCheckOutcome, 5> checks;  // in the order of kCheckNames

  bool all_clear() const noexcept;
};

// One member per check in check order: "pass", or an object with `status`, `severity`,
// `detail` and `condition_id` (null when there is none).
json::Node checks_performed(const VerificationResult& result);
// One object per failing check in check order: `check`, `severity`, `detail`, `condition_id`,
// `condition_type` (null when absent).
std::vector<json::Node> verification_findings(const VerificationResult& result);

class DecisionVerifier {
 public:
  // Takes its own copy of the configuration; the queue capacity is `verification_queue_depth`.
  explicit DecisionVerifier(config::Config config);

  const config::Config& config() const noexcept { return config_; }
  VerificationQueue& queue() noexcept { return queue_; }
  const VerificationQueue& queue() const noexcept { return queue_; }

  // Distinct condition codes in the order they were first raised; never shrinks.
  const std::vector<std::string>& raised_conditions() const noexcept { return raised_; }

  // The five checks of one decision against the history; writes nothing. The history's index
  // is brought up to date first.
  VerificationResult verify(const json::Value& record, const ChainHistory& history);
  VerificationResult verify(const json::Value& record, std::span<const json::Record> history,
                            std::uint64_t history_generation);

  // Brings the history's index up to date (verify does this too). Called at the start of
  // every pass, so that a history that was emptied is let go even when nothing is queued.
  void index_history(const ChainHistory& history);

  // Adds a code unless an equal one is already listed.
  void raise(std::string_view condition_code);

 private:
  config::Config config_;
  VerificationQueue queue_;
  std::vector<std::string> raised_;
  HistoryIndex index_;
};

// Verifies queued decisions until the queue is empty: for each, appends its
// `qa_decision_verification`, a `qa_condition_detected` per critical failure (raising its code),
// then hands the decision to `observe_decision`. The first failing append or observation ends
// the pass with its error; the decision being processed has then already left the queue.
Result<void> verify_queue(DecisionVerifier& verifier, const ChainHistory& history,
                          spc::SpcState& spc, qa::QaChainWriter& writer);

inline const std::vector<std::string>& raised_conditions(
    const DecisionVerifier& verifier) noexcept {
  return verifier.raised_conditions();
}

}  // namespace telmir::governance
