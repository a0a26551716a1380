#pragma once

// Element verification: five fixed verification elements over the newest governance records and
// the proxy's configuration files, written as one `qa_element_verification` record per run.

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"
#include "json/value.h"
#include "platform/result.h"
#include "qa_chain/qa_chain.h"

namespace telmir::element {

inline constexpr std::string_view kChainRecordSchema = "CHAIN_RECORD_SCHEMA";
inline constexpr std::string_view kHashLinkage = "HASH_LINKAGE";
inline constexpr std::string_view kSignatureValidity = "SIGNATURE_VALIDITY";
inline constexpr std::string_view kNegativeConstraints = "NEGATIVE_CONSTRAINTS";
inline constexpr std::string_view kConfigurationState = "CONFIGURATION_STATE";

struct ElementFinding {
  std::string element_id;
  std::string severity;  // "critical" or "high"
  std::string detail;
  std::optional<std::string> condition_id;

  friend bool operator==(const ElementFinding&, const ElementFinding&) = default;
};

struct ElementSummary {
  std::vector<ElementFinding> findings;  // all flagged elements' findings, in element order
  std::uint64_t elements_checked = 5;
  std::uint64_t elements_passed = 0;
  std::uint64_t elements_flagged = 0;  // total number of findings, not of flagged elements
  std::uint64_t elements_skipped = 0;
};

// Event name -> required field names (kept in byte order).
using ChainEventsSpec = std::map<std::string, std::set<std::string>>;

// Parses a chain events specification. Text that is not exactly one valid YAML document, or
// whose shape does not fit, yields no event types; never fails.
ChainEventsSpec parse_chain_events_spec(std::string_view yaml_text);

// The five elements over the last `element_tail_records` entries of the history, without
// writing anything.
ElementSummary evaluate_elements(const config::Config& config,
                                 std::span<const json::Record> history);

// The `coverage` object of a summary.
json::Node coverage_object(const ElementSummary& summary);
// A finding as written into the record: element_id, severity, detail, condition_id (or null).
json::Node finding_to_json(const ElementFinding& finding);

// Runs the five elements, appends one `qa_element_verification` record and returns the summary,
// or the append's error.
Result<ElementSummary> verify_elements(const config::Config& config,
                                       std::span<const json::Record> history,
                                       qa::QaChainWriter& writer);

// The condition codes of the critical findings that carry one, in finding order, duplicates kept:
// what the run cycle merges into a fresh environment snapshot.
std::vector<std::string> critical_conditions(const ElementSummary& summary);

}  // namespace telmir::element
