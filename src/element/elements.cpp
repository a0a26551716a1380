#include <fmt/format.h>

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "canonical/preimage.h"
#include "element/element.h"
#include "governance/records/records.h"
#include "key/key.h"
#include "platform/fs.h"
#include "platform/text.h"

namespace telmir::element {
namespace {

constexpr std::string_view kSpecId = "hand-curated-telmir-v1";
constexpr std::string_view kCritical = "critical";
constexpr std::string_view kHigh = "high";

// Every field a mediated decision must contain, in the order findings are reported.
constexpr std::string_view kMediatedDecisionFields[] = {
    "record_type",     "timestamp_utc", "original_tool",    "classification",
    "policy_decision", "matched_rule",  "prev_record_hash", "record_hash"};

const json::Value& root_of(const json::Record& record) {
  static const json::Value kNull;
  return record ? record->root() : kNull;
}

class Findings {
 public:
  Findings(std::vector<ElementFinding>& out, std::string_view element, std::string_view severity,
           std::optional<std::string_view> condition)
      : out_(out),
        element_(element),
        severity_(severity),
        condition_(condition),
        first_(out.size()) {}

  void add(std::string detail) { add(std::move(detail), condition_); }
  void add(std::string detail, std::optional<std::string_view> condition) {
    out_.push_back(
        ElementFinding{std::string(element_), std::string(severity_), std::move(detail),
                       condition ? std::optional<std::string>(*condition) : std::nullopt});
  }
  bool none() const { return out_.size() == first_; }

 private:
  std::vector<ElementFinding>& out_;
  std::string_view element_;
  std::string_view severity_;
  std::optional<std::string_view> condition_;
  std::size_t first_;
};

void check_record_schema(std::span<const json::Record> examined, const ChainEventsSpec& spec,
                         Findings& findings) {
  for (const json::Record& record : examined) {
    const json::Value& r = root_of(record);
    if (governance::is_mediated_decision(r)) {
      for (std::string_view field : kMediatedDecisionFields) {
        if (r.find(field) == nullptr) {
          findings.add(fmt::format("mediated_decision missing required field {}", field));
        }
      }
    }
    std::optional<std::string_view> event = governance::string_key(r, "event_type");
    if (!event) continue;
    auto entry = spec.find(std::string(*event));
    if (entry == spec.end()) continue;
    for (const std::string& field : entry->second) {
      if (r.find(field) == nullptr) {
        findings.add(fmt::format("{} missing required field {}", *event, field));
      }
    }
  }
}

void check_hash_linkage(std::span<const json::Record> examined, Findings& findings) {
  for (const json::Record& record : examined) {
    const json::Value& r = root_of(record);
    Result<std::string> computed = canonical::record_hash(r);
    if (!computed) {
      findings.add(computed.error());
      continue;
    }
    std::optional<std::string_view> stored = governance::record_hash_text(r);
    if (stored != std::string_view(*computed)) {
      findings.add(fmt::format("record_hash mismatch: expected {}, got {}", *computed,
                               platform::optional_notation(stored)));
    }
  }
  for (std::size_t i = 1; i < examined.size(); ++i) {
    std::optional<std::string_view> expected =
        governance::record_hash_text(root_of(examined[i - 1]));
    std::optional<std::string_view> actual =
        governance::string_key(root_of(examined[i]), "prev_record_hash");
    if (expected == actual) continue;
    findings.add(fmt::format("prev_record_hash mismatch: expected {}, got {}",
                             platform::optional_notation(expected),
                             platform::optional_notation(actual)));
  }
}

// The detail of a record whose signature does not hold, or nothing when it does.
std::optional<std::string_view> signature_problem(const json::Value& r, const key::PublicKey& key) {
  std::optional<std::string_view> text = governance::string_key(r, "signature");
  if (!text) return "unsigned record while signing key is configured";
  Result<std::vector<std::uint8_t>> bytes = key::decode_base64url(*text);
  if (!bytes) return "invalid signature encoding";
  Result<key::Signature> signature = key::signature_from_bytes(*bytes);
  if (!signature) return "invalid signature bytes";
  Result<std::string> preimage = canonical::signature_preimage(r);
  if (!preimage) return "record cannot produce signature preimage";
  if (!key::verify_signature(key, *preimage, *signature)) return "signature verification failed";
  return std::nullopt;
}

// Returns false when the element is skipped.
bool check_signatures(const config::Config& config, std::span<const json::Record> examined,
                      Findings& findings) {
  if (!config.signing_key_path) return false;
  Result<key::PublicKey> key = key::load_governance_verifying_key(*config.signing_key_path);
  if (!key) {
    findings.add(key.error(), "CR-CRIT-005");
    return true;
  }
  for (const json::Record& record : examined) {
    if (std::optional<std::string_view> problem = signature_problem(root_of(record), *key)) {
      findings.add(std::string(*problem));
    }
  }
  return true;
}

bool is_token_part(std::string_view part) {
  if (part.size() < 20) return false;
  for (char c : part) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

bool is_license_like(std::string_view s) {
  std::size_t dot = s.find('.');
  if (dot == std::string_view::npos) return false;
  std::string_view second = s.substr(dot + 1);
  if (second.find('.') != std::string_view::npos) return false;
  return is_token_part(s.substr(0, dot)) && is_token_part(second);
}

void scan_tokens(const json::Value& v, std::string& path, Findings& findings) {
  const std::size_t mark = path.size();
  switch (v.kind()) {
    case json::Kind::kObject:
      for (const json::Member& m : v.members()) {
        path += '.';
        path += m.key;
        scan_tokens(m.value, path, findings);
        path.resize(mark);
      }
      break;
    case json::Kind::kArray: {
      std::size_t index = 0;
      for (const json::Value& item : v.items()) {
        fmt::format_to(std::back_inserter(path), "[{}]", index++);
        scan_tokens(item, path, findings);
        path.resize(mark);
      }
      break;
    }
    case json::Kind::kString:
      if (is_license_like(v.as_string())) {
        findings.add(fmt::format("plaintext license-like token found at {}", path));
      }
      break;
    default:
      break;
  }
}

void check_negative_constraints(std::span<const json::Record> examined, Findings& findings) {
  std::string path;
  for (const json::Record& record : examined) {
    path.clear();
    scan_tokens(root_of(record), path, findings);
  }
}

void check_configuration_file(const std::string& path, std::string_view label, Findings& findings) {
  Result<std::string> text = platform::read_file(path);
  if (!text) {
    findings.add(fmt::format("failed to read {}: {}", label, text.error()));
    return;
  }
  if (!platform::is_valid_utf8(*text)) {
    findings.add(fmt::format("failed to read {}: stream did not contain valid UTF-8", label));
    return;
  }
  Result<json::Record> parsed = json::parse(*text);
  if (!parsed) findings.add(fmt::format("{} is not valid JSON: {}", label, parsed.error()));
}

ChainEventsSpec load_chain_events_spec(const std::string& path) {
  // An unreadable specification counts as one without event types.
  Result<std::string> text = platform::read_file(path);
  if (!text) return {};
  return parse_chain_events_spec(*text);
}

}  // namespace

ElementSummary evaluate_elements(const config::Config& config,
                                 std::span<const json::Record> history) {
  const std::size_t tail = static_cast<std::size_t>(
      std::min<std::uint64_t>(config.element_tail_records, history.size()));
  std::span<const json::Record> examined = history.subspan(history.size() - tail);
  const ChainEventsSpec spec = load_chain_events_spec(config.chain_events_spec_path);

  ElementSummary summary;
  auto tally = [&summary](const Findings& f) {
    if (f.none()) ++summary.elements_passed;
  };
  {
    Findings f(summary.findings, kChainRecordSchema, kHigh, std::nullopt);
    check_record_schema(examined, spec, f);
    tally(f);
  }
  {
    Findings f(summary.findings, kHashLinkage, kCritical, "CR-CRIT-005");
    check_hash_linkage(examined, f);
    tally(f);
  }
  {
    Findings f(summary.findings, kSignatureValidity, kCritical, "CR-HIGH-002");
    if (check_signatures(config, examined, f)) {
      tally(f);
    } else {
      ++summary.elements_skipped;
    }
  }
  {
    Findings f(summary.findings, kNegativeConstraints, kCritical, "CR-CRIT-002");
    check_negative_constraints(examined, f);
    tally(f);
  }
  {
    Findings f(summary.findings, kConfigurationState, kHigh, std::nullopt);
    check_configuration_file(config.policy_rules_path, "policy-rules.json", f);
    check_configuration_file(config.capability_registry_path, "capability-registry.json", f);
    tally(f);
  }
  summary.elements_flagged = summary.findings.size();
  return summary;
}

json::Node coverage_object(const ElementSummary& summary) {
  json::Node coverage = json::Node::object();
  coverage.set("active_verified", json::Node::from_u64(summary.elements_passed));
  for (const char* name :
       {"active_unverified", "not_observable", "not_implemented", "contradictory", "suspended"}) {
    coverage.set(name, json::Node::from_u64(0));
  }
  return coverage;
}

json::Node finding_to_json(const ElementFinding& finding) {
  json::Node node = json::Node::object();
  node.set("element_id", json::Node(finding.element_id));
  node.set("severity", json::Node(finding.severity));
  node.set("detail", json::Node(finding.detail));
  node.set("condition_id", finding.condition_id ? json::Node(*finding.condition_id) : json::Node());
  return node;
}

Result<ElementSummary> verify_elements(const config::Config& config,
                                       std::span<const json::Record> history,
                                       qa::QaChainWriter& writer) {
  ElementSummary summary = evaluate_elements(config, history);
  std::vector<json::Node> findings;
  findings.reserve(summary.findings.size());
  for (const ElementFinding& finding : summary.findings)
    findings.push_back(finding_to_json(finding));
  Result<json::Node> written = qa::append_element_verification(
      writer, kSpecId, summary.elements_checked, summary.elements_passed, summary.elements_flagged,
      summary.elements_skipped, std::move(findings), coverage_object(summary));
  if (!written) return fail(written.error());
  return summary;
}

std::vector<std::string> critical_conditions(const ElementSummary& summary) {
  std::vector<std::string> codes;
  for (const ElementFinding& finding : summary.findings) {
    if (finding.severity == kCritical && finding.condition_id)
      codes.push_back(*finding.condition_id);
  }
  return codes;
}

}  // namespace telmir::element
