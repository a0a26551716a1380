// The ten rules, answered from facts gathered in one pass over the history: each record's
// members are walked once, the decisions' values are kept in a compact list, and the
// whole-history searches become lookups (first position of a record under the same-hash rule, a
// prefix count of records that explain a reversal, the first approval per reference and per
// operator). The results equal those of searching the history from its start for every
// decision.

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "behavioral/behavioral.h"
#include "behavioral/internal.h"
#include "governance/records/records.h"
#include "platform/fs.h"
#include "platform/memory.h"
#include "platform/rfc3339.h"

namespace telmir::behavioral {
namespace {

using PositionIndex = std::unordered_map<std::string_view, std::size_t>;

// For the lists that hold an entry per record of the history.
template <class T>
using BigVector = std::vector<T, platform::LargePageAllocator<T>>;

// First position of each distinct `record_hash` text: open addressing over small slots (a hash
// and an entry number), because it holds one entry per record of a history that may have
// millions and every lookup lands at a random place in it.
class FirstPositions {
 public:
  explicit FirstPositions(std::size_t expected) {
    std::size_t capacity = std::bit_ceil(std::max<std::size_t>(16, expected * 2));
    slots_.resize(capacity);
    mask_ = capacity - 1;
    entries_.reserve(expected);
  }

  static std::size_t hash_of(std::string_view key) noexcept {
    return std::hash<std::string_view>{}(key);
  }

  // Asks for the slot a later `first` with this hash starts at, so that lookups issued a few
  // records ahead overlap their memory latency.
  void prefetch(std::size_t hash) const noexcept { __builtin_prefetch(&slots_[hash & mask_]); }

  // The stored position of `key` (whose hash_of is `hash`), after storing `position` if the key
  // is new.
  std::size_t first(std::string_view key, std::size_t hash, std::size_t position) {
    for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.entry == 0) {
        entries_.push_back(Entry{key, position});
        s = Slot{hash, entries_.size()};
        if (entries_.size() * 2 > slots_.size()) grow();
        return position;
      }
      if (s.hash == hash) {
        const Entry& e = entries_[s.entry - 1];
        if (e.key == key) return e.position;
      }
    }
  }

 private:
  struct Slot {
    std::size_t hash = 0;
    std::size_t entry = 0;  // entry number + 1; 0 for a free slot
  };
  struct Entry {
    std::string_view key;
    std::size_t position;
  };

  void grow() {
    BigVector<Slot> old = std::move(slots_);
    slots_.assign(old.size() * 2, Slot{});
    mask_ = slots_.size() - 1;
    for (const Slot& s : old) {
      if (s.entry == 0) continue;
      std::size_t i = s.hash & mask_;
      while (slots_[i].entry != 0) i = (i + 1) & mask_;
      slots_[i] = s;
    }
  }

  BigVector<Slot> slots_;
  BigVector<Entry> entries_;
  std::size_t mask_ = 0;
};

// Whether `key`, already known to have the literal's length, is the literal (a comparison of
// fixed length, which the compiler turns into a few loads).
template <std::size_t N>
bool is(std::string_view key, const char (&literal)[N]) noexcept {
  return std::memcmp(key.data(), literal, N - 1) == 0;
}

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
          if (is(k, "operator"))
            op = v;
          else if (is(k, "event_id"))
            event_id = v;
          break;
        case 9:
          if (is(k, "tool_name"))
            tool_name = v;
          else if (is(k, "timestamp"))
            timestamp = v;
          break;
        case 10:
          if (is(k, "event_type")) event_type = v;
          break;
        case 11:
          if (is(k, "record_hash"))
            record_hash = v;
          else if (is(k, "record_type"))
            record_type = v;
          else if (is(k, "approval_id"))
            approval_id = v;
          break;
        case 12:
          if (is(k, "matched_rule")) matched_rule = v;
          break;
        case 13:
          if (is(k, "original_tool"))
            original_tool = v;
          else if (is(k, "timestamp_utc"))
            timestamp_utc = v;
          break;
        case 14:
          if (is(k, "classification")) classification = v;
          break;
        case 15:
          if (is(k, "policy_decision")) policy_decision = v;
          break;
        case 17:
          if (is(k, "approval_event_id")) approval_event_id = v;
          break;
        case 18:
          if (is(k, "approving_operator")) approving_operator = v;
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
// Distinct texts numbered in order of appearance, so that the rules count and compare numbers.
class Names {
 public:
  std::uint32_t id(std::string_view text) {
    auto [it, inserted] = ids_.try_emplace(text, static_cast<std::uint32_t>(texts_.size()));
    if (inserted) texts_.push_back(text);
    return it->second;
  }
  std::optional<std::uint32_t> find(std::string_view text) const {
    auto it = ids_.find(text);
    if (it == ids_.end()) return std::nullopt;
    return it->second;
  }
  std::string_view text(std::uint32_t id) const { return texts_[id]; }
  std::size_t size() const noexcept { return texts_.size(); }

 private:
  std::unordered_map<std::string_view, std::uint32_t> ids_;
  std::vector<std::string_view> texts_;
};

// What the rules read from one decision, kept small: the rules walk this list many times.
struct Decision {
  std::size_t position;
  const json::Value* record;
  std::string_view hash_text;
  std::string_view reference_text;  // only for ALLOW on approved_lookup
  std::uint32_t tool_id;
  std::uint32_t label_id;
  std::uint32_t rule_id;
  std::int8_t hour;  // -1 when none
  bool allow;        // "ALLOW", else "DENY"
  bool has_hash;
  bool has_reference;

  std::optional<std::string_view> hash() const {
    return has_hash ? std::optional(hash_text) : std::nullopt;
  }
  std::optional<std::string_view> reference() const {
    return has_reference ? std::optional(reference_text) : std::nullopt;
  }
  std::string_view value() const { return allow ? "ALLOW" : "DENY"; }
};

const json::Value& root_of(const json::Record& record) {
  static const json::Value kNull;
  return record ? record->root() : kNull;
}

class Analysis {
 public:
  Analysis(const config::Config& config, std::span<const json::Record> history)
      : config_(config), history_(history), by_hash_(history.size()) {}

  // The decisions of the history, and the rules' findings when there are at least `minimum`.
  PatternRun run(std::uint64_t minimum) {
    index();
    const std::uint64_t decisions = decisions_.size();
    if (decisions < minimum) return {decisions, {}};
    // A busy history gives findings by the hundred thousand, but rarely more than one per
    // decision: reserving that much only sets address space aside, and spares the copies of a
    // growing list.
    findings_.reserve(decisions_.size() + 64);
    classification_inconsistency();
    decision_reversal();
    approval_provenance();
    temporal_pattern();
    policy_rule_coverage();
    new_tools();
    rapid_revocation();
    distribution_shift();
    return {decisions, std::move(findings_)};
  }

 private:
  const json::Value& record(std::size_t position) const { return root_of(history_[position]); }

  void index() {
    const std::size_t size = history_.size();
    first_same_.resize(size);
    cause_prefix_.resize(size + 1);
    cause_prefix_[0] = 0;
    approval_.assign(size, false);
    decisions_.reserve(size);  // only the pages the decisions fill are touched
    revocation_.assign(size, false);
    std::optional<std::size_t> first_unhashed;
    // Hashed records wait a few records for their lookup, in position order, while the slot
    // they need is fetched.
    struct Pending {
      std::string_view key;
      std::size_t hash;
      std::size_t position;
    };
    constexpr std::size_t kAhead = 16;
    std::array<Pending, kAhead> pending{};
    std::size_t pending_count = 0;
    auto settle = [&](const Pending& p) {
      first_same_[p.position] = by_hash_.first(p.key, p.hash, p.position);
    };
    for (std::size_t i = 0; i < size; ++i) {
      const json::Value& r = record(i);
      const Members m(r);
      const std::optional<std::string_view> hash = text(m.record_hash);
      if (hash) {
        Pending next{*hash, FirstPositions::hash_of(*hash), i};
        by_hash_.prefetch(next.hash);
        Pending& at = pending[pending_count % kAhead];
        if (pending_count >= kAhead) settle(at);
        at = next;
        ++pending_count;
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
    const std::size_t waiting = std::min(pending_count, kAhead);
    for (std::size_t k = pending_count - waiting; k < pending_count; ++k) {
      settle(pending[k % kAhead]);
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
    Decision d{position, &r, {}, {}, 0, 0, 0, -1, value == "ALLOW", hash.has_value(), false};
    if (hash) d.hash_text = *hash;
    const std::string_view tool = m.original_tool != nullptr
                                      ? text(m.original_tool).value_or(governance::kUnknownTool)
                                      : text(m.tool_name).value_or(governance::kUnknownTool);
    const std::string_view rule = text(m.matched_rule).value_or("");
    d.tool_id = tools_.id(tool);
    d.label_id = labels_.id(label_of(m.classification));
    d.rule_id = rules_.id(rule);
    if (d.allow && rule == kApprovedLookup) {
      if (std::optional<std::string_view> ref = text(m.approval_event_id, m.approval_id)) {
        d.reference_text = *ref;
        d.has_reference = true;
      }
    }
    if (std::optional<std::string_view> stamp = text(m.timestamp_utc, m.timestamp)) {
      // The hour as written, in the text's own offset.
      if (platform::parse_rfc3339(*stamp)) {
        d.hour = static_cast<std::int8_t>(((*stamp)[11] - '0') * 10 + ((*stamp)[12] - '0'));
      }
    }
    decisions_.push_back(d);
  }

  std::string_view tool(const Decision& d) const { return tools_.text(d.tool_id); }
  std::string_view label(const Decision& d) const { return labels_.text(d.label_id); }

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

  // `evidence` is the number of evidence records the rule names, when it knows it.
  BehaviouralFinding& report(std::string_view type, std::string_view subtype, std::string detail,
                             std::size_t evidence = 0) {
    findings_.push_back(BehaviouralFinding{
        std::string(type), std::string(subtype), std::move(detail), std::string(kSeverity), {}});
    findings_.back().evidence.reserve(evidence);
    return findings_.back();
  }

  void classification_inconsistency() {
    for (std::size_t i = 0; i + 1 < decisions_.size(); ++i) {
      const Decision& a = decisions_[i];
      const Decision& b = decisions_[i + 1];
      if (a.tool_id != b.tool_id || a.label_id == b.label_id || a.allow == b.allow) continue;
      BehaviouralFinding& f =
          report("classification_inconsistency", "same_tool_reclassified",
                 fmt::format("{} changed classification {} -> {} with decision {} -> {}", tool(b),
                             label(a), label(b), a.value(), b.value()),
                 2);
      add_evidence(f, a.hash());
      add_evidence(f, b.hash());
    }
  }

  // A cause between the first positions of the two records; an empty or inverted range has none.
  bool cause_between(std::size_t earlier, std::size_t later) const {
    if (earlier >= later || earlier + 1 == later) return false;
    return cause_prefix_[later] - cause_prefix_[earlier + 1] > 0;
  }

  void decision_reversal() {
    constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::vector<std::size_t> latest(tools_.size(), kNone);  // tool -> index into decisions
    for (std::size_t i = 0; i < decisions_.size(); ++i) {
      const Decision& d = decisions_[i];
      const std::size_t before = std::exchange(latest[d.tool_id], i);
      if (before == kNone) continue;
      const Decision& p = decisions_[before];
      if (p.allow == d.allow) continue;
      if (cause_between(first_same_[p.position], first_same_[d.position])) continue;
      BehaviouralFinding& f = report(
          "decision_reversal", "visible_cause_absent",
          fmt::format("{} reversed {} -> {} with no visible policy, approval, or classifier change",
                      tool(d), p.value(), d.value()),
          2);
      add_evidence(f, p.hash());
      add_evidence(f, d.hash());
    }
  }

  void approval_provenance() {
    for (const Decision& d : decisions_) {
      if (!d.has_reference) continue;
      auto found = approval_by_reference_.find(d.reference_text);
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
                     fmt::format("approval age {}s exceeds configured maximum", age), 2);
          add_evidence(f, a);
          add_evidence(f, d.hash());
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
      BehaviouralFinding& f =
          report("approval_provenance", "unrecognized_operator",
                 fmt::format("operator {} had no prior approval history", *op), 2);
      add_evidence(f, a);
      add_evidence(f, d.hash());
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
    f.evidence.reserve(early.size());
    for (const Decision* d : early) add_evidence(f, d->hash());
  }

  void policy_rule_coverage() {
    std::vector<std::uint64_t> counts(rules_.size(), 0);
    for (const Decision& d : decisions_) ++counts[d.rule_id];
    for (const std::string& id : policy_rule_identifiers(config_.policy_rules_path)) {
      if (rules_.find(id)) continue;
      report("policy_rule_coverage", "dead_rule",
             fmt::format("policy rule {} matched zero decisions", id));
    }
    const std::size_t n = decisions_.size();
    if (n < 2) return;
    std::vector<std::string_view> broad;
    for (std::uint32_t r = 0; r < counts.size(); ++r) {
      if (counts[r] == n && !rules_.text(r).empty()) broad.push_back(rules_.text(r));
    }
    std::sort(broad.begin(), broad.end());
    for (std::string_view name : broad) {
      BehaviouralFinding& f =
          report("policy_rule_coverage", "overly_broad_rule",
                 fmt::format("policy rule {} matched every decision in window", name));
      f.evidence.reserve(n);
      for (const Decision& d : decisions_) add_evidence(f, d.hash());
    }
  }

  void new_tools() {
    const std::size_t n = decisions_.size();
    const std::size_t k = n < 10 ? 0 : n - 10;
    std::vector<char> prior(tools_.size(), 0);
    for (std::size_t i = 0; i < k; ++i) prior[decisions_[i].tool_id] = 1;
    std::vector<char> reported(tools_.size(), 0);
    for (std::size_t i = k; i < n; ++i) {
      const Decision& d = decisions_[i];
      if (prior[d.tool_id] != 0 || std::exchange(reported[d.tool_id], 1) != 0) continue;
      BehaviouralFinding& f =
          report("security_relevant_pattern", "new_tool_appeared",
                 fmt::format("tool_name {} not seen in prior chain history", tool(d)), 1);
      add_evidence(f, d.hash());
    }
  }

  void rapid_revocation() {
    for (std::size_t j = 0; j + 1 < history_.size(); ++j) {
      if (!approval_[j] || !revocation_[j + 1]) continue;
      BehaviouralFinding& f =
          report("security_relevant_pattern", "rapid_approval_revocation",
                 "approval and revocation occurred in adjacent chain records", 2);
      add_evidence(f, record(j));
      add_evidence(f, record(j + 1));
    }
  }

  void distribution_shift() {
    const std::size_t n = decisions_.size();
    if (n < 10) return;
    std::vector<std::uint64_t> counts(labels_.size(), 0);
    for (const Decision& d : decisions_) ++counts[d.label_id];
    std::string_view top;
    std::uint64_t top_count = 0;
    for (std::uint32_t l = 0; l < counts.size(); ++l) {
      const std::string_view label = labels_.text(l);
      const std::uint64_t count = counts[l];
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
  BigVector<Decision> decisions_;
  std::deque<std::string> rendered_labels_;
  Names tools_;
  Names labels_;
  Names rules_;                          // labels that are not strings in the record
  BigVector<std::size_t> first_same_;    // first position of a record that is the same
  BigVector<std::size_t> cause_prefix_;  // explaining records among the first i
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

PatternRun find_patterns_if_enough(const config::Config& config,
                                   std::span<const json::Record> history, std::uint64_t minimum) {
  return Analysis(config, history).run(minimum);
}

std::vector<BehaviouralFinding> find_behavioural_patterns(const config::Config& config,
                                                          std::span<const json::Record> history) {
  return find_patterns_if_enough(config, history, 0).findings;
}

}  // namespace telmir::behavioral
