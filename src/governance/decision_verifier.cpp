#include "governance/decision_verifier.h"

#include <algorithm>
#include <utility>

#include "governance/records/records.h"
#include "governance/verifier_checks.h"
#include "qa_chain/qa_chain.h"
#include "spc/spc.h"

namespace telmir::governance {

namespace {

json::Node optional_text(const std::optional<std::string>& text) {
  if (!text) return json::Node();
  return json::Node(*text);
}

}  // namespace

CheckOutcome CheckOutcome::fail(std::string_view severity, std::string detail,
                                std::string_view condition_code, std::string_view condition_type) {
  CheckOutcome outcome;
  outcome.status = kCheckFail;
  outcome.detail = std::move(detail);
  outcome.severity = severity;
  outcome.condition_code = std::string(condition_code);
  outcome.condition_type = std::string(condition_type);
  return outcome;
}

bool VerificationResult::all_clear() const noexcept {
  return std::all_of(checks.begin(), checks.end(),
                     [](const NamedCheckOutcome& check) { return check.outcome.passed(); });
}

json::Node checks_performed(const VerificationResult& result) {
  json::Node object = json::Node::object();
  for (const NamedCheckOutcome& check : result.checks) {
    if (check.outcome.passed()) {
      object.set(std::string(check.name), json::Node(kCheckPass));
      continue;
    }
    json::Node failure = json::Node::object();
    failure.set("status", json::Node(check.outcome.status));
    failure.set("severity", json::Node(check.outcome.severity));
    failure.set("detail", json::Node(check.outcome.detail));
    failure.set("condition_id", optional_text(check.outcome.condition_code));
    object.set(std::string(check.name), std::move(failure));
  }
  return object;
}

std::vector<json::Node> verification_findings(const VerificationResult& result) {
  std::vector<json::Node> findings;
  for (const NamedCheckOutcome& check : result.checks) {
    if (check.outcome.passed()) continue;
    json::Node finding = json::Node::object();
    finding.set("check", json::Node(check.name));
    finding.set("severity", json::Node(check.outcome.severity));
    finding.set("detail", json::Node(check.outcome.detail));
    finding.set("condition_id", optional_text(check.outcome.condition_code));
    finding.set("condition_type", optional_text(check.outcome.condition_type));
    findings.push_back(std::move(finding));
  }
  return findings;
}

DecisionVerifier::DecisionVerifier(config::Config config)
    : config_(std::move(config)),
      queue_(static_cast<std::size_t>(
          std::min<std::uint64_t>(config_.verification_queue_depth, SIZE_MAX))) {}

void DecisionVerifier::raise(std::string_view condition_code) {
  if (std::find(raised_.begin(), raised_.end(), condition_code) != raised_.end()) return;
  raised_.emplace_back(condition_code);
}

void DecisionVerifier::index_history(const ChainHistory& history) {
  index_.sync(history.span(), history.generation());
}

VerificationResult DecisionVerifier::verify(const json::Value& record,
                                            const ChainHistory& history) {
  return verify(record, history.span(), history.generation());
}

VerificationResult DecisionVerifier::verify(const json::Value& record,
                                            std::span<const json::Record> history,
                                            std::uint64_t history_generation) {
  index_.sync(history, history_generation);

  VerificationResult result;
  result.record_hash = std::string(record_hash_text(record).value_or("unknown"));
  result.decision = std::string(record.string_member("policy_decision").value_or("UNKNOWN"));
  result.tool = std::string(tool_key(record));
  result.checks = {{
      {kStructuralIntegrity, check_structural_integrity(record, index_, config_.signing_key_path)},
      {kClassificationConsistency,
       check_classification_consistency(record, index_, config_.classification_history)},
      {kApprovalProvenance,
       check_approval_provenance(record, index_, config_.approval_max_age_seconds)},
      {kNegativeConstraints, check_negative_constraints(record)},
      {kBehavioralBaseline, check_behavioral_baseline()},
  }};
  return result;
}

Result<void> verify_queue(DecisionVerifier& verifier, const ChainHistory& history,
                          spc::SpcState& spc, qa::QaChainWriter& writer) {
  verifier.index_history(history);
  while (std::optional<json::Record> record = verifier.queue().pop()) {
    const json::Value& root = (*record)->root();
    VerificationResult result = verifier.verify(root, history);

    Result<json::Node> written = qa::append_decision_verification(
        writer, result.record_hash, result.decision, result.tool, checks_performed(result),
        result.all_clear(), verification_findings(result));
    if (!written) return fail(written.error());

    for (const NamedCheckOutcome& check : result.checks) {
      if (!check.outcome.is_critical_failure()) continue;
      // Every critical failure carries its code and type.
      const std::string& code = check.outcome.condition_code.value();
      verifier.raise(code);
      Result<json::Node> condition = qa::append_condition_detected(
          writer, code, check.outcome.condition_type.value(), kSeverityCritical,
          check.outcome.detail, std::string_view(result.record_hash));
      if (!condition) return fail(condition.error());
    }

    auto observed = spc::observe_decision(spc, *record, writer);
    if (!observed) return fail(observed.error());
  }
  return {};
}

}  // namespace telmir::governance
