#include <cmath>
#include <map>
#include <set>
#include <string>

#include "governance/records/records.h"
#include "json/number.h"
#include "spc/spc.h"

namespace telmir::spc {
namespace {

constexpr std::array<std::string_view, kMetricCount> kIds = {
    "SPC-001", "SPC-002", "SPC-003", "SPC-004", "SPC-005", "SPC-006", "SPC-007"};

struct CatalogueEntry {
  std::string_view id;
  SpcMetricInfo info;
};
constexpr CatalogueEntry kCatalogue[] = {
    {"SPC-001", {"ALLOW rate", "aggregate"}},
    {"SPC-002", {"Classification entropy", "24h"}},
    {"SPC-003", {"Rule concentration", "24h"}},
    {"SPC-004", {"Approval velocity", "24h"}},
    {"SPC-005", {"Decision throughput", "aggregate"}},
    {"SPC-006", {"Tool diversity", "24h"}},
    {"SPC-007", {"Decision latency", "per-decision"}},
};

// A label is the string itself, or the compact JSON text of any other value.
std::string label_text(const json::Value& v) {
  if (v.is_string()) return std::string(v.as_string());
  return json::write_compact(v);
}

std::string category_label(const json::Value& record) {
  const json::Value* c = record.find("classification");
  if (c == nullptr || !c->is_object()) return "unknown";
  if (const json::Value* category = c->find("category")) return label_text(*category);
  if (const json::Value* action = c->find("action_type")) return label_text(*action);
  return "unknown";
}

std::string_view rule_label(const json::Value& record) {
  return record.string_member("matched_rule").value_or("unknown");
}

bool is_allow(const json::Value& record) {
  return record.string_member("policy_decision") == std::string_view("ALLOW");
}

bool has_approval_reference(const json::Value& record) {
  return record.find("approval_event_id") != nullptr;
}

// The first present spelling decides; a present non-number gives no latency at all.
std::optional<double> latency_value(const json::Value& record) {
  const json::Value* v = record.find("decision_latency_ms");
  if (v == nullptr) v = record.find("latency_ms");
  if (v == nullptr || !v->is_number()) return std::nullopt;
  return json::parse_double(v->number_text());
}

double entropy(const std::map<std::string, std::size_t, std::less<>>& counts, double d) {
  // Labels in byte order, starting from negative zero: a single label gives -0.0.
  double sum = -0.0;
  for (const auto& [label, c] : counts) {
    const double p = static_cast<double>(c) / d;
    if (p > 0) sum += (-std::log2(p)) * p;
  }
  return sum;
}

SpcMetrics assemble(std::size_t n, std::size_t allow, double entropy_value, std::size_t max_rule,
                    std::size_t approvals, std::size_t tools, double latency_sum,
                    std::size_t latency_count) {
  const double d = n == 0 ? 1.0 : static_cast<double>(n);
  return {{
      {kIds[0], static_cast<double>(allow) / d},
      {kIds[1], entropy_value},
      {kIds[2], static_cast<double>(max_rule) / d},
      {kIds[3], static_cast<double>(approvals)},
      {kIds[4], d},
      {kIds[5], static_cast<double>(tools)},
      {kIds[6], latency_count == 0 ? 0.0 : latency_sum / static_cast<double>(latency_count)},
  }};
}

template <class Get>
SpcMetrics compute(std::size_t n, Get get) {
  std::size_t allow = 0;
  std::size_t approvals = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (is_allow(get(i))) ++allow;
    if (has_approval_reference(get(i))) ++approvals;
  }
  std::map<std::string, std::size_t, std::less<>> categories;
  std::map<std::string, std::size_t, std::less<>> rules;
  std::set<std::string, std::less<>> tools;
  for (std::size_t i = 0; i < n; ++i) {
    const json::Value& r = get(i);
    ++categories[category_label(r)];
    ++rules[std::string(rule_label(r))];
    tools.emplace(governance::tool_key(r));
  }
  std::size_t max_rule = 0;
  for (const auto& [label, c] : rules) max_rule = std::max(max_rule, c);
  std::vector<double> latencies;
  for (std::size_t i = 0; i < n; ++i) {
    if (auto l = latency_value(get(i))) latencies.push_back(*l);
  }
  double sum = -0.0;
  for (double l : latencies) sum += l;
  const double d = n == 0 ? 1.0 : static_cast<double>(n);
  return assemble(n, allow, entropy(categories, d), max_rule, approvals, tools.size(), sum,
                  latencies.size());
}

}  // namespace

const std::array<std::string_view, kMetricCount>& spc_metric_ids() { return kIds; }

SpcMetricInfo spc_metric_info(std::string_view metric_id) {
  for (const auto& e : kCatalogue) {
    if (e.id == metric_id) return e.info;
  }
  return {};
}

SpcMetrics compute_spc_metrics(std::span<const json::Record> records) {
  return compute(records.size(),
                 [&](std::size_t i) -> const json::Value& { return records[i]->root(); });
}

SpcMetrics compute_spc_metrics(std::span<const json::Value> records) {
  return compute(records.size(), [&](std::size_t i) -> const json::Value& { return records[i]; });
}

void SpcCounters::add(const json::Value& record) {
  ++count_;
  if (is_allow(record)) ++allow_count_;
  if (has_approval_reference(record)) ++approval_count_;
  const std::string category = category_label(record);
  if (auto it = category_counts_.find(category); it != category_counts_.end()) {
    ++it->second;
  } else {
    category_counts_.emplace(category, 1);
  }
  const std::string_view rule = rule_label(record);
  auto it = rule_counts_.find(rule);
  if (it == rule_counts_.end()) it = rule_counts_.emplace(std::string(rule), 0).first;
  max_rule_count_ = std::max(max_rule_count_, ++it->second);
  const std::string_view tool = governance::tool_key(record);
  if (tools_.find(tool) == tools_.end()) tools_.emplace(tool);
  // Added in record order, as the full computation does, so the sum is the same double.
  if (auto l = latency_value(record)) {
    latency_sum_ += *l;
    ++latency_count_;
  }
}

SpcMetrics SpcCounters::metrics() const {
  const double d = count_ == 0 ? 1.0 : static_cast<double>(count_);
  return assemble(count_, allow_count_, entropy(category_counts_, d), max_rule_count_,
                  approval_count_, tools_.size(), latency_sum_, latency_count_);
}

}  // namespace telmir::spc
