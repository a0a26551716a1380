#include "reference_rules.h"

#include <fmt/format.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "behavioral/internal.h"
#include "governance/records/records.h"

namespace telmir::behavioral::testing {
namespace {

using Records = std::span<const json::Record>;

const json::Value& at(Records r, std::size_t i) { return r[i]->root(); }

void evidence(BehaviouralFinding& f, const json::Value& r) {
  if (auto h = governance::record_hash_text(r)) f.evidence.emplace_back(*h);
}

BehaviouralFinding make(std::string type, std::string subtype, std::string detail) {
  return {std::move(type), std::move(subtype), std::move(detail), "medium", {}};
}

// Position of the first record of R that is the same as `r`.
std::optional<std::size_t> position(Records R, const json::Value& r) {
  for (std::size_t i = 0; i < R.size(); ++i) {
    if (governance::same_record(at(R, i), r)) return i;
  }
  return std::nullopt;
}

}  // namespace

std::vector<BehaviouralFinding> reference_patterns(const config::Config& config, Records R) {
  std::vector<BehaviouralFinding> out;
  std::vector<const json::Value*> D;
  for (const json::Record& r : R) {
    if (governance::is_decision_record(r->root())) D.push_back(&r->root());
  }
  const std::size_t n = D.size();

  for (std::size_t i = 0; i + 1 < n; ++i) {
    const json::Value& a = *D[i];
    const json::Value& b = *D[i + 1];
    if (governance::tool_key(a) != governance::tool_key(b)) continue;
    if (category_label(a) == category_label(b)) continue;
    if (decision_value(a) == decision_value(b)) continue;
    BehaviouralFinding f =
        make("classification_inconsistency", "same_tool_reclassified",
             fmt::format("{} changed classification {} -> {} with decision {} -> {}",
                         governance::tool_key(b), category_label(a), category_label(b),
                         decision_value(a), decision_value(b)));
    evidence(f, a);
    evidence(f, b);
    out.push_back(f);
  }

  std::map<std::string, const json::Value*> latest;
  for (const json::Value* d : D) {
    std::string tool(governance::tool_key(*d));
    auto it = latest.find(tool);
    if (it != latest.end() && decision_value(*it->second) != decision_value(*d)) {
      const json::Value* p = it->second;
      auto pp = position(R, *p);
      auto pd = position(R, *d);
      bool explained = false;
      if (pp && pd && *pp + 1 != *pd) {
        for (std::size_t j = *pp + 1; j < *pd; ++j) {
          if (has_visible_cause(event_kind(at(R, j)))) explained = true;
        }
      }
      if (!explained) {
        BehaviouralFinding f =
            make("decision_reversal", "visible_cause_absent",
                 fmt::format(
                     "{} reversed {} -> {} with no visible policy, approval, or classifier change",
                     tool, decision_value(*p), decision_value(*d)));
        evidence(f, *p);
        evidence(f, *d);
        out.push_back(f);
      }
    }
    latest[tool] = d;
  }

  for (const json::Value* dp : D) {
    const json::Value& d = *dp;
    if (d.string_member("policy_decision") != "ALLOW") continue;
    if (d.string_member("matched_rule") != "approved_lookup") continue;
    auto ref = approval_reference(d);
    if (!ref) continue;
    const json::Value* a = nullptr;
    for (std::size_t i = 0; i < R.size() && a == nullptr; ++i) {
      const json::Value& r = at(R, i);
      if (!is_approval_record(r)) continue;
      for (const char* key : {"event_id", "approval_id", "record_hash"}) {
        if (r.string_member(key) == *ref) a = &r;
      }
    }
    if (a == nullptr) continue;
    auto ta = governance::record_timestamp(*a);
    auto td = governance::record_timestamp(d);
    if (ta && td) {
      std::uint64_t age = *td >= *ta ? *td - *ta : 0;
      if (age > config.approval_max_age_seconds) {
        BehaviouralFinding f =
            make("approval_provenance", "approval_age_exceeded",
                 fmt::format("approval age {}s exceeds configured maximum", age));
        evidence(f, *a);
        evidence(f, d);
        out.push_back(f);
      }
    }
    auto op = approving_operator(*a);
    if (!op) continue;
    bool known = false;
    for (std::size_t i = 0; i < R.size(); ++i) {
      const json::Value& r = at(R, i);
      if (governance::same_record(r, *a)) break;
      if (is_approval_record(r) && approving_operator(r) == *op) known = true;
    }
    if (known) continue;
    BehaviouralFinding f = make("approval_provenance", "unrecognized_operator",
                                fmt::format("operator {} had no prior approval history", *op));
    evidence(f, *a);
    evidence(f, d);
    out.push_back(f);
  }

  {
    std::vector<const json::Value*> early;
    std::size_t w = 0;
    for (const json::Value* d : D) {
      auto h = record_hour(*d);
      if (h && *h >= 0 && *h <= 5) early.push_back(d);
      if (h && *h >= 8 && *h <= 18) ++w;
    }
    if (!early.empty() && w >= 3 * early.size()) {
      BehaviouralFinding f = make(
          "temporal_pattern", "off_hours_activity",
          fmt::format("{} decision(s) occurred outside historical activity hours", early.size()));
      for (const json::Value* d : early) evidence(f, *d);
      out.push_back(f);
    }
  }

  {
    std::map<std::string, std::size_t> counts;
    for (const json::Value* d : D) ++counts[std::string(rule_name(*d))];
    for (const std::string& id : policy_rule_identifiers(config.policy_rules_path)) {
      if (!counts.contains(id)) {
        out.push_back(make("policy_rule_coverage", "dead_rule",
                           fmt::format("policy rule {} matched zero decisions", id)));
      }
    }
    if (n >= 2) {
      for (const auto& [name, count] : counts) {
        if (count != n || name.empty()) continue;
        BehaviouralFinding f =
            make("policy_rule_coverage", "overly_broad_rule",
                 fmt::format("policy rule {} matched every decision in window", name));
        for (const json::Value* d : D) evidence(f, *d);
        out.push_back(f);
      }
    }
  }

  {
    std::size_t k = n < 10 ? 0 : n - 10;
    std::set<std::string> prior;
    for (std::size_t i = 0; i < k; ++i) prior.insert(std::string(governance::tool_key(*D[i])));
    std::set<std::string> reported;
    for (std::size_t i = k; i < n; ++i) {
      std::string tool(governance::tool_key(*D[i]));
      if (prior.contains(tool) || reported.contains(tool)) continue;
      reported.insert(tool);
      BehaviouralFinding f =
          make("security_relevant_pattern", "new_tool_appeared",
               fmt::format("tool_name {} not seen in prior chain history", tool));
      evidence(f, *D[i]);
      out.push_back(f);
    }
  }

  for (std::size_t j = 0; j + 1 < R.size(); ++j) {
    if (is_approval_record(at(R, j)) && is_revocation_record(at(R, j + 1))) {
      BehaviouralFinding f = make("security_relevant_pattern", "rapid_approval_revocation",
                                  "approval and revocation occurred in adjacent chain records");
      evidence(f, at(R, j));
      evidence(f, at(R, j + 1));
      out.push_back(f);
    }
  }

  if (n >= 10) {
    std::map<std::string, std::size_t> counts;
    for (const json::Value* d : D) ++counts[category_label(*d)];
    std::string best;
    std::size_t best_count = 0;
    for (const auto& [label, count] : counts) {
      if (count >= best_count) {  // ascending order: the last of equal counts wins
        best = label;
        best_count = count;
      }
    }
    if (best_count * 100 / n >= 91) {
      out.push_back(make("security_relevant_pattern", "classification_distribution_shift",
                         fmt::format("{} classifications dominate the analysis window", best)));
    }
  }
  return out;
}

}  // namespace telmir::behavioral::testing
