// The ten rules, answered from indexes built in one pass over the history: first position of a
// record under the same-hash rule, a prefix count of records that explain a reversal, and the
// first approval per reference and per operator. The results equal those of searching the
// history from its start for every decision.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "behavioral/behavioral.h"
#include "behavioral/internal.h"
#include "governance/records/records.h"
#include "platform/fs.h"

namespace telmir::behavioral {
namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

using PositionIndex = std::unordered_map<std::string_view, std::size_t>;

const json::Value& root_of(const json::Record& record) {
  static const json::Value kNull;
  return record ? record->root() : kNull;
}

class Analysis {
 public:
  Analysis(const config::Config& config, std::span<const json::Record> history)
      : config_(config), history_(history) {}

  std::vector<BehaviouralFinding> run() {
    index();
    classification_inconsistency();
    decision_reversal();
    approval_provenance();
    temporal_pattern();
    policy_rule_coverage();
    new_tools();
    rapid_revocation();
    distribution_shift();
    return std::move(findings_);
  }

 private:
  const json::Value& record(std::size_t position) const { return root_of(history_[position]); }
  const json::Value& decision(std::size_t i) const { return record(decisions_[i]); }

  void index() {
    const std::size_t size = history_.size();
    first_same_.resize(size);
    cause_prefix_.resize(size + 1);
    cause_prefix_[0] = 0;
    by_hash_.reserve(size);
    std::size_t first_unhashed = kNone;
    for (std::size_t i = 0; i < size; ++i) {
      const json::Value& r = record(i);
      if (std::optional<std::string_view> hash = governance::record_hash_text(r)) {
        first_same_[i] = by_hash_.try_emplace(*hash, i).first->second;
      } else {
        if (first_unhashed == kNone) first_unhashed = i;
        first_same_[i] = first_unhashed;
      }
      std::string_view kind = event_kind(r);
      cause_prefix_[i + 1] = cause_prefix_[i] + (has_visible_cause(kind) ? 1 : 0);
      if (kind == governance::kApprovalEvent) index_approval(r, i);
      if (governance::is_decision_record(r)) decisions_.push_back(i);
    }
  }

  void index_approval(const json::Value& r, std::size_t position) {
    for (std::string_view key : {"event_id", "approval_id", "record_hash"}) {
      if (std::optional<std::string_view> id = r.string_member(key)) {
        approval_by_reference_.try_emplace(*id, position);
      }
    }
    if (std::optional<std::string_view> op = approving_operator(r)) {
      first_approval_by_operator_.try_emplace(*op, position);
    }
  }

  void add_evidence(BehaviouralFinding& finding, const json::Value& r) const {
    if (std::optional<std::string_view> hash = governance::record_hash_text(r)) {
      finding.evidence.emplace_back(*hash);
    }
  }

  BehaviouralFinding& report(std::string type, std::string subtype, std::string detail) {
    findings_.push_back(BehaviouralFinding{std::move(type), std::move(subtype), std::move(detail),
                                           std::string(kSeverity), {}});
    return findings_.back();
  }

  void classification_inconsistency() {
    std::string scratch_a;
    std::string scratch_b;
    for (std::size_t i = 0; i + 1 < decisions_.size(); ++i) {
      const json::Value& a = decision(i);
      const json::Value& b = decision(i + 1);
      if (governance::tool_key(a) != governance::tool_key(b)) continue;
      std::string_view label_a = category_label_view(a, scratch_a);
      std::string_view label_b = category_label_view(b, scratch_b);
      if (label_a == label_b) continue;
      if (decision_value(a) == decision_value(b)) continue;
      BehaviouralFinding& f = report(
          "classification_inconsistency", "same_tool_reclassified",
          fmt::format("{} changed classification {} -> {} with decision {} -> {}",
                      governance::tool_key(b), label_a, label_b, decision_value(a),
                      decision_value(b)));
      add_evidence(f, a);
      add_evidence(f, b);
    }
  }

  // A cause between the first positions of the two records; an empty or inverted range has none.
  bool cause_between(std::size_t earlier, std::size_t later) const {
    if (earlier >= later || earlier + 1 == later) return false;
    return cause_prefix_[later] - cause_prefix_[earlier + 1] > 0;
  }

  void decision_reversal() {
    std::unordered_map<std::string_view, std::size_t> latest;  // tool key -> index into D
    for (std::size_t i = 0; i < decisions_.size(); ++i) {
      const json::Value& d = decision(i);
      std::string_view tool = governance::tool_key(d);
      auto [it, inserted] = latest.try_emplace(tool, i);
      if (inserted) continue;
      const std::size_t previous = it->second;
      it->second = i;
      const json::Value& p = decision(previous);
      if (decision_value(p) == decision_value(d)) continue;
      if (cause_between(first_same_[decisions_[previous]], first_same_[decisions_[i]])) continue;
      BehaviouralFinding& f = report(
          "decision_reversal", "visible_cause_absent",
          fmt::format("{} reversed {} -> {} with no visible policy, approval, or classifier change",
                      tool, decision_value(p), decision_value(d)));
      add_evidence(f, p);
      add_evidence(f, d);
    }
  }

  void approval_provenance() {
    for (std::size_t i = 0; i < decisions_.size(); ++i) {
      const json::Value& d = decision(i);
      if (d.string_member("policy_decision") != "ALLOW") continue;
      if (d.string_member("matched_rule") != kApprovedLookup) continue;
      std::optional<std::string_view> reference = approval_reference(d);
      if (!reference) continue;
      auto found = approval_by_reference_.find(*reference);
      if (found == approval_by_reference_.end()) continue;
      const std::size_t approval_position = found->second;
      const json::Value& a = record(approval_position);

      std::optional<std::uint64_t> approved_at = governance::record_timestamp(a);
      std::optional<std::uint64_t> decided_at = governance::record_timestamp(d);
      if (approved_at && decided_at) {
        std::uint64_t age = *decided_at > *approved_at ? *decided_at - *approved_at : 0;
        if (age > config_.approval_max_age_seconds) {
          BehaviouralFinding& f = report("approval_provenance", "approval_age_exceeded",
                                         fmt::format("approval age {}s exceeds configured maximum", age));
          add_evidence(f, a);
          add_evidence(f, d);
        }
      }

      std::optional<std::string_view> op = approving_operator(a);
      if (!op) continue;
      // Known when an approval by the same operator precedes the first record that is the same
      // as this approval.
      auto first = first_approval_by_operator_.find(*op);
      if (first != first_approval_by_operator_.end() &&
          first->second < first_same_[approval_position]) {
        continue;
      }
      BehaviouralFinding& f = report("approval_provenance", "unrecognized_operator",
                                     fmt::format("operator {} had no prior approval history", *op));
      add_evidence(f, a);
      add_evidence(f, d);
    }
  }

  void temporal_pattern() {
    std::vector<std::size_t> early;
    std::uint64_t daytime = 0;
    for (std::size_t i = 0; i < decisions_.size(); ++i) {
      std::optional<int> hour = record_hour(decision(i));
      if (!hour) continue;
      if (*hour <= 5) early.push_back(i);
      if (*hour >= 8 && *hour <= 18) ++daytime;
    }
    if (early.empty() || daytime < 3 * static_cast<std::uint64_t>(early.size())) return;
    BehaviouralFinding& f =
        report("temporal_pattern", "off_hours_activity",
               fmt::format("{} decision(s) occurred outside historical activity hours", early.size()));
    for (std::size_t i : early) add_evidence(f, decision(i));
  }

  void policy_rule_coverage() {
    std::unordered_map<std::string_view, std::uint64_t> counts;
    for (std::size_t i = 0; i < decisions_.size(); ++i) ++counts[rule_name(decision(i))];
    for (const std::string& id : policy_rule_identifiers(config_.policy_rules_path)) {
      if (counts.contains(id)) continue;
      report("policy_rule_coverage", "dead_rule",
             fmt::format("policy rule {} matched zero decisions", id));
    }
    const std::size_t n = decisions_.size();
    if (n < 2) return;
    std::vector<std::string_view> broad;
    for (const auto& [name, count] : counts) {
      if (count == n && !name.empty()) broad.push_back(name);
    }
    std::sort(broad.begin(), broad.end());
    for (std::string_view name : broad) {
      BehaviouralFinding& f = report("policy_rule_coverage", "overly_broad_rule",
                                     fmt::format("policy rule {} matched every decision in window", name));
      f.evidence.reserve(n);
      for (std::size_t i = 0; i < n; ++i) add_evidence(f, decision(i));
    }
  }

  void new_tools() {
    const std::size_t n = decisions_.size();
    const std::size_t k = n < 10 ? 0 : n - 10;
    std::unordered_set<std::string_view> prior;
    for (std::size_t i = 0; i < k; ++i) prior.insert(governance::tool_key(decision(i)));
    std::unordered_set<std::string_view> reported;
    for (std::size_t i = k; i < n; ++i) {
      std::string_view tool = governance::tool_key(decision(i));
      if (prior.contains(tool) || !reported.insert(tool).second) continue;
      BehaviouralFinding& f = report("security_relevant_pattern", "new_tool_appeared",
                                     fmt::format("tool_name {} not seen in prior chain history", tool));
      add_evidence(f, decision(i));
    }
  }

  void rapid_revocation() {
    for (std::size_t j = 0; j + 1 < history_.size(); ++j) {
      if (!is_approval_record(record(j)) || !is_revocation_record(record(j + 1))) continue;
      BehaviouralFinding& f = report("security_relevant_pattern", "rapid_approval_revocation",
                                     "approval and revocation occurred in adjacent chain records");
      add_evidence(f, record(j));
      add_evidence(f, record(j + 1));
    }
  }

  void distribution_shift() {
    const std::size_t n = decisions_.size();
    if (n < 10) return;
    std::deque<std::string> rendered;  // labels that are not strings in the record
    std::unordered_map<std::string_view, std::uint64_t> counts;
    std::string scratch;
    for (std::size_t i = 0; i < n; ++i) {
      std::string_view label = category_label_view(decision(i), scratch);
      if (label.data() == scratch.data()) label = rendered.emplace_back(std::move(scratch));
      ++counts[label];
    }
    std::string_view top;
    std::uint64_t top_count = 0;
    for (const auto& [label, count] : counts) {
      // Among equal counts the label last in byte order wins.
      if (count > top_count || (count == top_count && label > top)) {
        top = label;
        top_count = count;
      }
    }
    if (top_count * 100 / n < 91) return;
    report("security_relevant_pattern", "classification_distribution_shift",
           fmt::format("{} classifications dominate the analysis window", top));
  }

  const config::Config& config_;
  std::span<const json::Record> history_;
  std::vector<std::size_t> decisions_;    // positions of the decisions in the history
  std::vector<std::size_t> first_same_;   // first position of a record that is the same
  std::vector<std::size_t> cause_prefix_;  // explaining records among the first i
  PositionIndex by_hash_;
  PositionIndex approval_by_reference_;
  PositionIndex first_approval_by_operator_;
  std::vector<BehaviouralFinding> findings_;
};

}  // namespace

std::vector<std::string> policy_rule_identifiers(const std::string& path) {
  std::vector<std::string> ids;
  Result<std::string> text = platform::read_file(path);
  if (!text) return ids;
  Result<json::Record> doc = json::parse(*text);
  if (!doc) return ids;
  const json::Value* rules = (*doc)->root().find("rules");
  if (rules == nullptr) return ids;
  for (const json::Value& rule : rules->items()) {
    const json::Value* id = rule.find("id");
    if (id == nullptr) id = rule.find("name");
    if (id == nullptr || !id->is_string() || id->as_string().empty()) continue;
    ids.emplace_back(id->as_string());
  }
  return ids;
}

std::vector<BehaviouralFinding> find_behavioural_patterns(const config::Config& config,
                                                          std::span<const json::Record> history) {
  return Analysis(config, history).run();
}

}  // namespace telmir::behavioral
