#pragma once

// Helpers shared by the module's own files and its tests; not part of the interface.

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

// The identifiers of the policy rules file's rules, in file order; nothing when the file cannot
// be read or parsed.
std::vector<std::string> policy_rule_identifiers(const std::string& path);

}  // namespace telmir::behavioral
