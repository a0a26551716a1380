#include <cstddef>
#include <vector>

#include "behavioral/behavioral.h"
#include "behavioral/internal.h"
#include "governance/records/records.h"

namespace telmir::behavioral {
namespace {

constexpr std::size_t kEvidenceShown = 5;

}  // namespace

json::Node finding_to_json(const BehaviouralFinding& finding) {
  json::Node evidence = json::Node::array();
  for (std::size_t i = 0; i < finding.evidence.size() && i < kEvidenceShown; ++i) {
    evidence.push(json::Node(finding.evidence[i]));
  }
  json::Node node = json::Node::object();
  node.set("type", json::Node(finding.type));
  node.set("subtype", json::Node(finding.subtype));
  node.set("detail", json::Node(finding.detail));
  node.set("severity", json::Node(finding.severity));
  node.set("evidence_records", std::move(evidence));
  node.set("evidence_records_total", json::Node::from_u64(finding.evidence.size()));
  if (finding.evidence.size() > kEvidenceShown) node.set("evidence_records_truncated", true);
  return node;
}

Result<std::vector<BehaviouralFinding>> run_behavioural_analysis(
    const config::Config& config, std::span<const json::Record> history,
    qa::QaChainWriter& writer) {
  std::uint64_t decisions = 0;
  for (const json::Record& record : history) {
    if (record && governance::is_decision_record(record->root())) ++decisions;
  }
  if (decisions < config.behavioral_min_decisions) {
    Result<json::Node> written = qa::append_behavioral_warm_up(
        writer, kAnalysisWindow, decisions, config.behavioral_min_decisions);
    if (!written) return fail(written.error());
    return std::vector<BehaviouralFinding>{};
  }
  std::vector<BehaviouralFinding> findings = find_behavioural_patterns(config, history);
  std::vector<json::Node> rendered;
  rendered.reserve(findings.size());
  for (const BehaviouralFinding& finding : findings) rendered.push_back(finding_to_json(finding));
  Result<json::Node> written =
      qa::append_behavioral_analysis(writer, kAnalysisWindow, std::move(rendered));
  if (!written) return fail(written.error());
  return findings;
}

}  // namespace telmir::behavioral
