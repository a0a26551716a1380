#pragma once

// Helpers shared by the module's own files and its tests; not part of the interface.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "behavioral/behavioral.h"

namespace telmir::behavioral {

inline constexpr std::string_view kSeverity = "medium";
inline constexpr std::string_view kAnalysisWindow = "1h";
inline constexpr std::string_view kApprovedLookup = "approved_lookup";

// The label of a `classification` value (nullptr when the record has none), as a view: into the
// record for a string label, else into `scratch`.
std::string_view classification_label(const json::Value* classification, std::string& scratch);

// The category label as a view: into the record for a string label, else into `scratch`.
std::string_view category_label_view(const json::Value& record, std::string& scratch);

// An event kind that explains a decision reversal.
bool has_visible_cause(std::string_view kind);

struct PatternRun {
  std::uint64_t decisions = 0;
  std::vector<BehaviouralFinding> findings;  // empty when the rules did not run
};

// One pass over the history gathers its decisions; the rules run over them only when there are
// at least `minimum`, so that the warm-up check needs no pass of its own.
PatternRun find_patterns_if_enough(const config::Config& config,
                                   std::span<const json::Record> history, std::uint64_t minimum);

// The identifiers of the policy rules file's rules, in file order; nothing when the file cannot
// be read or parsed.
std::vector<std::string> policy_rule_identifiers(const std::string& path);

}  // namespace telmir::behavioral
