#include <cstddef>
#include <vector>

#include "behavioral/behavioral.h"
#include "behavioral/internal.h"
#include "canonical/canonical.h"

namespace telmir::behavioral {
namespace {

constexpr std::size_t kEvidenceShown = 5;

// The findings as handed to the record. The record keeps the longest prefix whose canonical
// array fits the findings budget and stops at the first finding that does not fit, so only the
// findings up to that one are ever rendered; those after it are handed over as nulls (still
// counted by the record) instead of being built, which matters when there are hundreds of
// thousands.
std::vector<json::Node> findings_for_record(const std::vector<BehaviouralFinding>& findings) {
  std::vector<json::Node> out;
  out.reserve(findings.size());
  std::size_t running = 2;  // the brackets
  std::size_t kept = 0;
  bool stopped = false;
  for (const BehaviouralFinding& finding : findings) {
    if (stopped) {
      out.emplace_back();
      continue;
    }
    json::Node node = finding_to_json(finding);
    Result<std::string> text = canonical::canonical_json(node);
    if (!text) {  // the record drops it and goes on
      out.push_back(std::move(node));
      continue;
    }
    const std::size_t cost = text->size() + (kept == 0 ? 0 : 1);
    if (running + cost > qa::kFindingsBudgetBytes) {
      stopped = true;
    } else {
      running += cost;
      ++kept;
    }
    out.push_back(std::move(node));
  }
  return out;
}

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
  PatternRun run = find_patterns_if_enough(config, history, config.behavioral_min_decisions);
  if (run.decisions < config.behavioral_min_decisions) {
    Result<json::Node> written = qa::append_behavioral_warm_up(
        writer, kAnalysisWindow, run.decisions, config.behavioral_min_decisions);
    if (!written) return fail(written.error());
    return std::vector<BehaviouralFinding>{};
  }
  std::vector<BehaviouralFinding> findings = std::move(run.findings);
  Result<json::Node> written =
      qa::append_behavioral_analysis(writer, kAnalysisWindow, findings_for_record(findings));
  if (!written) return fail(written.error());
  return findings;
}

}  // namespace telmir::behavioral
