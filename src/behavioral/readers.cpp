#include <string>
#include <string_view>

#include "behavioral/behavioral.h"
#include "behavioral/internal.h"
#include "governance/records/records.h"
#include "platform/rfc3339.h"

namespace telmir::behavioral {
namespace {

// The value of `first` when the record has that key (whatever its value), else that of `second`.
const json::Value* present(const json::Value& record, std::string_view first,
                           std::string_view second) {
  if (const json::Value* v = record.find(first)) return v;
  return record.find(second);
}

std::optional<std::string_view> text_of(const json::Value* v) {
  if (v == nullptr || !v->is_string()) return std::nullopt;
  return v->as_string();
}

}  // namespace

std::string_view classification_label(const json::Value* classification, std::string& scratch) {
  if (classification == nullptr || !classification->is_object()) return "unknown";
  const json::Value* label = present(*classification, "category", "action_type");
  if (label == nullptr) return "unknown";
  if (label->is_string()) return label->as_string();
  scratch = json::write_compact(*label);
  return scratch;
}

std::string_view category_label_view(const json::Value& record, std::string& scratch) {
  return classification_label(record.find("classification"), scratch);
}

std::string category_label(const json::Value& record) {
  std::string scratch;
  return std::string(category_label_view(record, scratch));
}

std::string_view decision_value(const json::Value& record) {
  return record.string_member("policy_decision").value_or("UNKNOWN");
}

std::string_view event_kind(const json::Value& record) {
  return text_of(present(record, "event_type", "record_type")).value_or("");
}

bool is_approval_record(const json::Value& record) {
  return event_kind(record) == governance::kApprovalEvent;
}

bool is_revocation_record(const json::Value& record) {
  return event_kind(record) == governance::kRevocationEvent;
}

std::optional<std::string_view> approving_operator(const json::Value& record) {
  return text_of(present(record, "approving_operator", "operator"));
}

std::optional<std::string_view> approval_reference(const json::Value& record) {
  return text_of(present(record, "approval_event_id", "approval_id"));
}

std::string_view rule_name(const json::Value& record) {
  return record.string_member("matched_rule").value_or("");
}

std::optional<int> record_hour(const json::Value& record) {
  std::optional<std::string_view> text =
      governance::string_key(record, "timestamp_utc", "timestamp");
  if (!text || !platform::parse_rfc3339(*text)) return std::nullopt;
  // A parsed text has the form YYYY-MM-DD?HH:..., so the hour as written sits at 11..12; the
  // offset is deliberately not applied.
  int hour = ((*text)[11] - '0') * 10 + ((*text)[12] - '0');
  if (hour < 0 || hour > 23) return std::nullopt;
  return hour;
}

bool has_visible_cause(std::string_view kind) {
  for (std::string_view cause :
       {"policy", "approval", "revocation", "classifier", "capability_registry"}) {
    if (kind.find(cause) != std::string_view::npos) return true;
  }
  return false;
}

}  // namespace telmir::behavioral
