// Check results and their JSON form.

#include <utility>

#include "canonical/canonical.h"
#include "environment/environment.h"
#include "platform/text.h"

namespace telmir::environment {

std::string_view status_json_text(CheckStatus status) noexcept {
  switch (status) {
    case CheckStatus::kPass:
      return "pass";
    case CheckStatus::kFail:
      return "fail";
    case CheckStatus::kWarning:
      return "warning";
    case CheckStatus::kNotApplicable:
      return "notapplicable";
  }
  return "fail";
}

std::string_view status_title_text(CheckStatus status) noexcept {
  switch (status) {
    case CheckStatus::kPass:
      return "Pass";
    case CheckStatus::kFail:
      return "Fail";
    case CheckStatus::kWarning:
      return "Warning";
    case CheckStatus::kNotApplicable:
      return "NotApplicable";
  }
  return "Fail";
}

EnvCheck EnvCheck::failure(std::string_view severity, std::string detail) {
  EnvCheck check;
  check.status = CheckStatus::kFail;
  check.detail = std::move(detail);
  check.severity = std::string(severity);
  return check;
}

EnvCheck EnvCheck::not_applicable(std::string detail) {
  EnvCheck check;
  check.status = CheckStatus::kNotApplicable;
  check.detail = std::move(detail);
  return check;
}

namespace {

// Texts that end up in a QA line must be UTF-8; the canonical writer copies strings raw.
bool texts_are_utf8(const json::Node& node) {
  switch (node.kind()) {
    case json::Kind::kString:
      return platform::is_valid_utf8(node.text());
    case json::Kind::kArray:
      for (const json::Node& item : node.items()) {
        if (!texts_are_utf8(item)) return false;
      }
      return true;
    case json::Kind::kObject:
      for (const auto& [key, value] : node.members()) {
        if (!platform::is_valid_utf8(key) || !texts_are_utf8(value)) return false;
      }
      return true;
    default:
      return true;
  }
}

}  // namespace

Result<json::Node> env_check_to_json(const EnvCheck& check) {
  json::Node out = json::Node::object();
  out.set("status", std::string(status_json_text(check.status)));
  if (check.detail) out.set("detail", *check.detail);
  if (check.severity) out.set("severity", *check.severity);
  for (const auto& [name, value] : check.extra) out.set(name, value);
  if (!texts_are_utf8(out)) return fail("check result holds text that is not valid UTF-8");
  // A number the canonical form cannot write would make the whole QA line unwritable.
  Result<std::string> rendered = canonical::canonical_json(out);
  if (!rendered) return fail(rendered.error());
  return out;
}

json::Node checks_object(const Checks& checks) {
  json::Node out = json::Node::object();
  for (const auto& [name, check] : checks) {
    Result<json::Node> rendered = env_check_to_json(check);
    out.set(name, rendered ? std::move(*rendered) : json::Node("serialization_error"));
  }
  return out;
}

}  // namespace telmir::environment
