// The ten rules, answered from facts gathered in one pass over the history: each record's
// members are walked once, the decisions' values are kept in a compact list, and the
// whole-history searches become lookups (first position of a record under the same-hash rule, a
// prefix count of records that explain a reversal, the first approval per reference and per
// operator). The results equal those of searching the history from its start for every
// decision.

#include <fmt/format.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "behavioral/behavioral.h"
#include "behavioral/internal.h"
#include "governance/records/records.h"
#include "platform/fs.h"
#include "platform/rfc3339.h"

namespace telmir::behavioral {
namespace {

using PositionIndex = std::unordered_map<std::string_view, std::size_t>;

// First position of each distinct `record_hash` text: open addressing, because it holds one
// entry per record of a history that may have millions.
class FirstPositions {
 public:
  explicit FirstPositions(std::size_t expected) {
    std::size_t capacity = std::bit_ceil(std::max<std::size_t>(16, expected * 2));
    slots_.resize(capacity);
    mask_ = capacity - 1;
  }

  // The stored position of `key`, after storing `position` if the key is new.
  std::size_t first(std::string_view key, std::size_t position) {
    const std::size_t hash = std::hash<std::string_view>{}(key);
    for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.data == nullptr) {
        s = Slot{key.data(), key.size(), hash, position};
        if (++size_ * 2 > slots_.size()) grow();
        return position;
      }
      if (s.hash == hash && std::string_view(s.data, s.size) == key) return s.position;
    }
  }

 private:
  struct Slot {
    const char* data = nullptr;
    std::size_t size = 0;
    std::size_t hash = 0;
    std::size_t position = 0;
  };

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.size() * 2, Slot{});
    mask_ = slots_.size() - 1;
    for (const Slot& s : old) {
      if (s.data == nullptr) continue;
      std::size_t i = s.hash & mask_;
      while (slots_[i].data != nullptr) i = (i + 1) & mask_;
      slots_[i] = s;
    }
  }

  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
};

// The members the rules read, found in one walk (keys are unique within an object).
struct Members {
  const json::Value* record_hash = nullptr;
  const json::Value* event_type = nullptr;
  const json::Value* record_type = nullptr;
  const json::Value* policy_decision = nullptr;
  const json::Value* original_tool = nullptr;
  const json::Value* tool_name = nullptr;
  const json::Value* classification = nullptr;
  const json::Value* matched_rule = nullptr;
  const json::Value* approval_event_id = nullptr;
  const json::Value* approval_id = nullptr;
  const json::Value* approving_operator = nullptr;
  const json::Value* op = nullptr;
  const json::Value* timestamp_utc = nullptr;
  const json::Value* timestamp = nullptr;
  const json::Value* event_id = nullptr;

  explicit Members(const json::Value& record) {
    for (const json::Member& m : record.members()) {
      const std::string_view k = m.key;
      const json::Value* v = &m.value;
      switch (k.size()) {
        case 8:
          if (k == "operator")
            op = v;
          else if (k == "event_id")
            event_id = v;
          break;
        case 9:
          if (k == "tool_name")
            tool_name = v;
          else if (k == "timestamp")
            timestamp = v;
          break;
        case 10:
          if (k == "event_type") event_type = v;
          break;
        case 11:
          if (k == "record_hash")
            record_hash = v;
          else if (k == "record_type")
            record_type = v;
          else if (k == "approval_id")
            approval_id = v;
          break;
        case 12:
          if (k == "matched_rule") matched_rule = v;
          break;
        case 13:
          if (k == "original_tool")
            original_tool = v;
          else if (k == "timestamp_utc")
            timestamp_utc = v;
          break;
        case 14:
          if (k == "classification") classification = v;
          break;
        case 15:
          if (k == "policy_decision") policy_decision = v;
          break;
        case 17:
          if (k == "approval_event_id") approval_event_id = v;
          break;
        case 18:
          if (k == "approving_operator") approving_operator = v;
          break;
        default:
          break;
      }
    }
  }
};

std::optional<std::string_view> text(const json::Value* v) {
  if (v == nullptr || !v->is_string()) return std::nullopt;
  return v->as_string();
}

// `first` if present, else `second`: its text, or nothing when the chosen value is no string.
std::optional<std::string_view> text(const json::Value* first, const json::Value* second) {
  return text(first != nullptr ? first : second);
}

// What the rules read from one decision.
struct Decision {
  std::size_t position;
  const json::Value* record;
  std::string_view tool;
  std::string_view label;
  std::string_view value;  // "ALLOW" or "DENY"
  std::string_view rule;
  std::optional<std::string_view> hash;
  std::optional<std::string_view> reference;  // only for ALLOW on approved_lookup
  int hour;                                   // -1 when none
};

const json::Value& root_of(const json::Record& record) {
  static const json::Value kNull;
  return record ? record->root() : kNull;
}

class Analysis {
 public:
  Analysis(const config::Config& config, std::span<const json::Record> history)
      : config_(config), history_(history), by_hash_(history.size()) {}

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

  void index() {
    const std::size_t size = history_.size();
    first_same_.resize(size);
    cause_prefix_.resize(size + 1);
    cause_prefix_[0] = 0;
    approval_.assign(size, false);
    revocation_.assign(size, false);
    std::optional<std::size_t> first_unhashed;
    for (std::size_t i = 0; i < size; ++i) {
      const json::Value& r = record(i);
      const Members m(r);
      const std::optional<std::string_view> hash = text(m.record_hash);
      if (hash) {
        first_same_[i] = by_hash_.first(*hash, i);
      } else {
        if (!first_unhashed) first_unhashed = i;
        first_same_[i] = *first_unhashed;
      }
      const std::string_view kind = text(m.event_type, m.record_type).value_or("");
      cause_prefix_[i + 1] = cause_prefix_[i] + (has_visible_cause(kind) ? 1 : 0);
      if (kind == governance::kApprovalEvent) index_approval(m, i);
      revocation_[i] = kind == governance::kRevocationEvent;
      const std::optional<std::string_view> value = text(m.policy_decision);
      if (value && (*value == "ALLOW" || *value == "DENY")) add_decision(r, m, i, *value, hash);
    }
  }

  void index_approval(const Members& m, std::size_t position) {
    approval_[position] = true;
    for (const json::Value* id : {m.event_id, m.approval_id, m.record_hash}) {
      if (std::optional<std::string_view> t = text(id)) {
        approval_by_reference_.try_emplace(*t, position);
      }
    }
    if (std::optional<std::string_view> op = text(m.approving_operator, m.op)) {
      first_approval_by_operator_.try_emplace(*op, position);
    }
  }

  void add_decision(const json::Value& r, const Members& m, std::size_t position,
                    std::string_view value, std::optional<std::string_view> hash) {
    Decision d{position, &r, "", "", value, "", hash, std::nullopt, -1};
    d.tool = m.original_tool != nullptr ? text(m.original_tool).value_or(governance::kUnknownTool)
                                        : text(m.tool_name).value_or(governance::kUnknownTool);
    d.label = label_of(m.classification);
    d.rule = text(m.matched_rule).value_or("");
    if (value == "ALLOW" && d.rule == kApprovedLookup) {
      d.reference = text(m.approval_event_id, m.approval_id);
    }
    if (std::optional<std::string_view> stamp = text(m.timestamp_utc, m.timestamp)) {
      // The hour as written, in the text's own offset.
      if (platform::parse_rfc3339(*stamp)) {
        d.hour = ((*stamp)[11] - '0') * 10 + ((*stamp)[12] - '0');
      }
    }
    decisions_.push_back(d);
  }

  std::string_view label_of(const json::Value* classification) {
    std::string scratch;
    std::string_view label = classification_label(classification, scratch);
    if (label.data() == scratch.data()) return rendered_labels_.emplace_back(std::move(scratch));
    return label;
  }

  void add_evidence(BehaviouralFinding& finding, std::optional<std::string_view> hash) const {
    if (hash) finding.evidence.emplace_back(*hash);
  }
  void add_evidence(BehaviouralFinding& finding, const json::Value& r) const {
    add_evidence(finding, governance::record_hash_text(r));
  }

  BehaviouralFinding& report(std::string_view type, std::string_view subtype, std::string detail) {
    findings_.push_back(BehaviouralFinding{
        std::string(type), std::string(subtype), std::move(detail), std::string(kSeverity), {}});
    return findings_.back();
  }

  void classification_inconsistency() {
    for (std::size_t i = 0; i + 1 < decisions_.size(); ++i) {
      const Decision& a = decisions_[i];
      const Decision& b = decisions_[i + 1];
      if (a.tool != b.tool || a.label == b.label || a.value == b.value) continue;
      BehaviouralFinding& f =
          report("classification_inconsistency", "same_tool_reclassified",
                 fmt::format("{} changed classification {} -> {} with decision {} -> {}", b.tool,
                             a.label, b.label, a.value, b.value));
      add_evidence(f, a.hash);
      add_evidence(f, b.hash);
    }
  }

  // A cause between the first positions of the two records; an empty or inverted range has none.
  bool cause_between(std::size_t earlier, std::size_t later) const {
    if (earlier >= later || earlier + 1 == later) return false;
    return cause_prefix_[later] - cause_prefix_[earlier + 1] > 0;
  }

  void decision_reversal() {
    std::unordered_map<std::string_view, std::size_t> latest;  // tool key -> index into decisions
    for (std::size_t i = 0; i < decisions_.size(); ++i) {
      const Decision& d = decisions_[i];
      auto [it, inserted] = latest.try_emplace(d.tool, i);
      if (inserted) continue;
      const Decision& p = decisions_[it->second];
      it->second = i;
      if (p.value == d.value) continue;
      if (cause_between(first_same_[p.position], first_same_[d.position])) continue;
      BehaviouralFinding& f = report(
          "decision_reversal", "visible_cause_absent",
          fmt::format("{} reversed {} -> {} with no visible policy, approval, or classifier change",
                      d.tool, p.value, d.value));
      add_evidence(f, p.hash);
      add_evidence(f, d.hash);
    }
  }

  void approval_provenance() {
    for (const Decision& d : decisions_) {
      if (!d.reference) continue;
      auto found = approval_by_reference_.find(*d.reference);
      if (found == approval_by_reference_.end()) continue;
      const std::size_t approval_position = found->second;
      const json::Value& a = record(approval_position);

      std::optional<std::uint64_t> approved_at = governance::record_timestamp(a);
      std::optional<std::uint64_t> decided_at = governance::record_timestamp(*d.record);
      if (approved_at && decided_at) {
        std::uint64_t age = *decided_at > *approved_at ? *decided_at - *approved_at : 0;
        if (age > config_.approval_max_age_seconds) {
          BehaviouralFinding& f =
              report("approval_provenance", "approval_age_exceeded",
                     fmt::format("approval age {}s exceeds configured maximum", age));
          add_evidence(f, a);
          add_evidence(f, d.hash);
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
      add_evidence(f, d.hash);
    }
  }

  void temporal_pattern() {
    std::vector<const Decision*> early;
    std::uint64_t daytime = 0;
    for (const Decision& d : decisions_) {
      if (d.hour >= 0 && d.hour <= 5) early.push_back(&d);
      if (d.hour >= 8 && d.hour <= 18) ++daytime;
    }
    if (early.empty() || daytime < 3 * static_cast<std::uint64_t>(early.size())) return;
    BehaviouralFinding& f = report(
        "temporal_pattern", "off_hours_activity",
        fmt::format("{} decision(s) occurred outside historical activity hours", early.size()));
    for (const Decision* d : early) add_evidence(f, d->hash);
  }

  void policy_rule_coverage() {
    std::unordered_map<std::string_view, std::uint64_t> counts;
    for (const Decision& d : decisions_) ++counts[d.rule];
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
      BehaviouralFinding& f =
          report("policy_rule_coverage", "overly_broad_rule",
                 fmt::format("policy rule {} matched every decision in window", name));
      f.evidence.reserve(n);
      for (const Decision& d : decisions_) add_evidence(f, d.hash);
    }
  }

  void new_tools() {
    const std::size_t n = decisions_.size();
    const std::size_t k = n < 10 ? 0 : n - 10;
    std::unordered_set<std::string_view> prior;
    for (std::size_t i = 0; i < k; ++i) prior.insert(decisions_[i].tool);
    std::unordered_set<std::string_view> reported;
    for (std::size_t i = k; i < n; ++i) {
      const Decision& d = decisions_[i];
      if (prior.contains(d.tool) || !reported.insert(d.tool).second) continue;
      BehaviouralFinding& f =
          report("security_relevant_pattern", "new_tool_appeared",
                 fmt::format("tool_name {} not seen in prior chain history", d.tool));
      add_evidence(f, d.hash);
    }
  }

  void rapid_revocation() {
    for (std::size_t j = 0; j + 1 < history_.size(); ++j) {
      if (!approval_[j] || !revocation_[j + 1]) continue;
      BehaviouralFinding& f = report("security_relevant_pattern", "rapid_approval_revocation",
                                     "approval and revocation occurred in adjacent chain records");
      add_evidence(f, record(j));
      add_evidence(f, record(j + 1));
    }
  }

  void distribution_shift() {
    const std::size_t n = decisions_.size();
    if (n < 10) return;
    std::unordered_map<std::string_view, std::uint64_t> counts;
    for (const Decision& d : decisions_) ++counts[d.label];
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
  std::vector<Decision> decisions_;
  std::deque<std::string> rendered_labels_;  // labels that are not strings in the record
  std::vector<std::size_t> first_same_;      // first position of a record that is the same
  std::vector<std::size_t> cause_prefix_;    // explaining records among the first i
  std::vector<bool> approval_;
  std::vector<bool> revocation_;
  FirstPositions by_hash_;
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
