#include "governance/records/records.h"

namespace telmir::governance {

std::optional<std::string_view> string_key(const json::Value& record, std::string_view key) {
  return record.string_member(key);
}

std::optional<std::string_view> string_key(const json::Value& record, std::string_view first,
                                           std::string_view second) {
  // A first key present with another type ends the lookup: the second spelling is only a
  // fallback for records that do not have the first at all.
  if (const json::Value* v = record.find(first)) {
    if (!v->is_string()) return std::nullopt;
    return v->as_string();
  }
  return record.string_member(second);
}

std::string_view tool_key(const json::Value& record) {
  return string_key(record, "original_tool", "tool_name").value_or(kUnknownTool);
}

std::optional<platform::Rfc3339Time> record_time(const json::Value& record) {
  auto text = string_key(record, "timestamp_utc", "timestamp");
  if (!text) return std::nullopt;
  auto parsed = platform::parse_rfc3339(*text);
  if (!parsed) return std::nullopt;
  return *parsed;
}

std::optional<std::uint64_t> record_timestamp(const json::Value& record) {
  auto t = record_time(record);
  if (!t) return std::nullopt;
  return t->epoch_seconds < 0 ? 0 : static_cast<std::uint64_t>(t->epoch_seconds);
}

std::optional<std::string_view> record_hash_text(const json::Value& record) {
  return record.string_member("record_hash");
}

bool same_record(const json::Value& a, const json::Value& b) {
  const auto ha = record_hash_text(a);
  const auto hb = record_hash_text(b);
  if (ha && hb) return *ha == *hb;
  return !ha && !hb;
}

std::optional<std::string_view> decision_value(const json::Value& record) {
  auto d = record.string_member("policy_decision");
  if (d && (*d == "ALLOW" || *d == "DENY")) return d;
  return std::nullopt;
}

bool is_decision_record(const json::Value& record) { return decision_value(record).has_value(); }

bool is_approval_event(const json::Value& record) {
  return record.string_member("event_type") == kApprovalEvent;
}

bool is_revocation_event(const json::Value& record) {
  return record.string_member("event_type") == kRevocationEvent;
}

bool is_configuration_change(const json::Value& record) {
  auto kind = string_key(record, "event_type", "record_type");
  if (!kind) return false;
  return kind->find("classifier") != std::string_view::npos ||
         kind->find("capability_registry") != std::string_view::npos;
}

bool is_mediated_decision(const json::Value& record) {
  return record.string_member("record_type") == kMediatedDecision;
}

}  // namespace telmir::governance
