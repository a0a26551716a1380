#pragma once

// What every consumer reads from a governance record, defined once: the string-key rule, the
// tool key, the record timestamp, the same-hash rule and the kinds of record.
//
// Nothing in a governance record is required; a missing key, or a key whose value has another
// JSON type, takes the fallback stated at each reader.

#include <cstdint>
#include <optional>
#include <string_view>

#include "json/value.h"
#include "platform/rfc3339.h"

namespace telmir::governance {

// The value of `key` when the record is an object that has it as a JSON string.
std::optional<std::string_view> string_key(const json::Value& record, std::string_view key);

// Two alternative spellings: `second` is consulted only when `first` is absent altogether; a
// `first` present with a non-string value ends the lookup with nothing.
std::optional<std::string_view> string_key(const json::Value& record, std::string_view first,
                                           std::string_view second);

// `original_tool`, else `tool_name`; "unknown" when neither is text.
inline constexpr std::string_view kUnknownTool = "unknown";
std::string_view tool_key(const json::Value& record);

// `timestamp_utc`, else `timestamp`, parsed as RFC 3339 (with its offset kept).
std::optional<platform::Rfc3339Time> record_time(const json::Value& record);
// The same in whole seconds since the Unix epoch, UTC; a time before the epoch counts as 0.
std::optional<std::uint64_t> record_timestamp(const json::Value& record);

// `record_hash` when it is text.
std::optional<std::string_view> record_hash_text(const json::Value& record);

// Two records are the same record when both have a text `record_hash` and the texts are equal,
// or when neither has one.
bool same_record(const json::Value& a, const json::Value& b);

// `policy_decision` when it is exactly "ALLOW" or "DENY".
std::optional<std::string_view> decision_value(const json::Value& record);

// Kinds of record. A record may be of more than one kind (a mediated decision is normally
// also a decision record). Records that are not objects are of no kind.
bool is_decision_record(const json::Value& record);   // "ALLOW" or "DENY" in policy_decision
bool is_approval_event(const json::Value& record);    // event_type "opaque_artifact_approval"
bool is_revocation_event(const json::Value& record);  // event_type "opaque_artifact_revocation"
// `event_type`, or `record_type` when `event_type` is absent, is text containing "classifier" or
// "capability_registry".
bool is_configuration_change(const json::Value& record);
bool is_mediated_decision(const json::Value& record);  // record_type "mediated_decision"

inline constexpr std::string_view kApprovalEvent = "opaque_artifact_approval";
inline constexpr std::string_view kRevocationEvent = "opaque_artifact_revocation";
inline constexpr std::string_view kMediatedDecision = "mediated_decision";

}  // namespace telmir::governance
