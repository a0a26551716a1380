#pragma once

// Behavioural analysis: ten fixed pattern rules over every decision in the chain history,
// written as one `qa_behavioral_analysis` record per run.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"
#include "json/value.h"
#include "platform/result.h"
#include "qa_chain/qa_chain.h"

namespace telmir::behavioral {

// One detected pattern. `evidence` holds the string `record_hash` values of the records that
// show it, in the order the rule names them (records without a string hash are left out).
struct BehaviouralFinding {
  std::string type;
  std::string subtype;
  std::string detail;
  std::string severity;  // "medium" for every finding
  std::vector<std::string> evidence;

  friend bool operator==(const BehaviouralFinding&, const BehaviouralFinding&) = default;
};

// Members type, subtype, detail, severity, evidence_records (first five), evidence_records_total
// and, only when more than five, evidence_records_truncated = true.
json::Node finding_to_json(const BehaviouralFinding& finding);

// The ten rules in their six phases; never fails, writes nothing. Reads the policy rules file
// named by the configuration for the coverage rule.
std::vector<BehaviouralFinding> find_behavioural_patterns(const config::Config& config,
                                                          std::span<const json::Record> history);

// Appends the warm-up form while fewer than `behavioral_min_decisions` decisions exist, otherwise
// the analysis form with every finding. Returns the findings (empty after a warm-up) or the
// append's error.
Result<std::vector<BehaviouralFinding>> run_behavioural_analysis(
    const config::Config& config, std::span<const json::Record> history, qa::QaChainWriter& writer);

// Record readers shared by the rules. Each takes a record's root value; a lookup inside
// something that is not an object finds nothing. (The tool key, record timestamp, same-hash rule
// and the decision-record test are the governance record readers.)

// `classification.category`, else `classification.action_type`; non-strings as compact JSON;
// "unknown" when neither is present.
std::string category_label(const json::Value& record);
// `policy_decision` when a string, else "UNKNOWN".
std::string_view decision_value(const json::Value& record);
// `event_type` if present, else `record_type`; the empty text when the chosen value is not a
// string.
std::string_view event_kind(const json::Value& record);
bool is_approval_record(const json::Value& record);
bool is_revocation_record(const json::Value& record);
// `approving_operator` if present, else `operator`; nothing when the chosen value is no string.
std::optional<std::string_view> approving_operator(const json::Value& record);
// `approval_event_id` if present, else `approval_id`; nothing when the chosen value is no string.
std::optional<std::string_view> approval_reference(const json::Value& record);
// `matched_rule` when a string, else the empty text.
std::string_view rule_name(const json::Value& record);
// Hour of day (0-23) of the record timestamp's text, in the timestamp's own UTC offset.
std::optional<int> record_hour(const json::Value& record);

}  // namespace telmir::behavioral
