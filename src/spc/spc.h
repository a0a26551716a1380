#pragma once

// Statistical process control over seven decision metrics: the metrics, the baselines learned
// once and kept in a file, and a finding for every metric outside its limits after each
// observed decision.

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "json/value.h"
#include "platform/result.h"

namespace telmir::qa {
class QaChainWriter;
}

namespace telmir::spc {

inline constexpr std::size_t kMetricCount = 7;

struct SpcMetric {
  std::string_view metric_id;  // "SPC-001" .. "SPC-007"
  double value = 0.0;
};

// The seven values in ascending metric id order.
using SpcMetrics = std::array<SpcMetric, kMetricCount>;

// The metrics over the whole list (N = records.size()). Cannot fail; filters nothing.
SpcMetrics compute_spc_metrics(std::span<const json::Record> records);
SpcMetrics compute_spc_metrics(std::span<const json::Value> records);

struct SpcMetricInfo {
  std::string_view metric_name;
  std::string_view window;
};

// (metric_name, window) from the catalogue; empty texts for an unknown id.
SpcMetricInfo spc_metric_info(std::string_view metric_id);

// The metric ids in ascending order.
const std::array<std::string_view, kMetricCount>& spc_metric_ids();

struct SpcBaseline {
  std::string metric_id;
  std::string metric_name;
  double center_line = 0.0;
  double stddev = 0.0;
  double ucl = 0.0;
  double lcl = 0.0;
  std::uint64_t samples = 0;
  std::string window;

  friend bool operator==(const SpcBaseline&, const SpcBaseline&) = default;
};

// Keyed by metric id; std::string's ordering is byte order.
using SpcBaselines = std::map<std::string, SpcBaseline, std::less<>>;

// The baseline file's bytes: "{}" for an empty map, otherwise two-space indented objects with
// the eight fields in fixed order and no line feed at the end.
std::string render_baselines(const SpcBaselines& baselines);
// Any JSON text holding such an object (each baseline as an object of its eight fields in any
// order, unknown fields ignored, or as an array of the eight values in field order).
Result<SpcBaselines> parse_baselines(std::string_view text);

// Running counts over the decision list, kept so that an observation does not recompute the
// metrics over the whole list; their results equal compute_spc_metrics bit for bit.
class SpcCounters {
 public:
  void add(const json::Value& record);
  SpcMetrics metrics() const;
  std::size_t count() const noexcept { return count_; }

 private:
  std::size_t count_ = 0;
  std::size_t allow_count_ = 0;
  std::size_t approval_count_ = 0;
  std::map<std::string, std::size_t, std::less<>> category_counts_;
  std::map<std::string, std::size_t, std::less<>> rule_counts_;
  std::size_t max_rule_count_ = 0;
  std::set<std::string, std::less<>> tools_;
  double latency_sum_ = -0.0;
  std::size_t latency_count_ = 0;
};

class SpcState {
 public:
  SpcState(std::string baseline_path, std::uint64_t min_decisions, SpcBaselines baselines);

  const std::string& baseline_path() const noexcept { return baseline_path_; }
  std::uint64_t min_decisions() const noexcept { return min_decisions_; }
  const SpcBaselines& baselines() const noexcept { return baselines_; }
  // The decision records primed and observed, in order (shared with the chain history).
  const std::vector<json::Record>& decisions() const noexcept { return decisions_; }

 private:
  friend Result<void> prime_spc(SpcState&, std::span<const json::Record>);
  friend Result<std::vector<std::string>> observe_decision(SpcState&, const json::Record&,
                                                           qa::QaChainWriter&);
  void add_decision(const json::Record& record);

  std::string baseline_path_;
  std::uint64_t min_decisions_;
  SpcBaselines baselines_;
  std::vector<json::Record> decisions_;
  SpcCounters counters_;
};

// A new state with no decisions and the baselines read from the file; a missing, unreadable or
// malformed file gives no baselines. Never fails. A min_decisions of 0 is raised to 1.
SpcState load_spc_state(std::string baseline_path, std::uint64_t min_decisions);

// Replaces the decision list by the decision records of `history`, and learns and saves the
// baselines when there are none and enough decisions.
Result<void> prime_spc(SpcState& state, std::span<const json::Record> history);

// Adds a decision record; learns at the min_decisions-th decision, afterwards appends a
// qa_spc_finding for every metric outside its limits. Returns the ids found outside, in order.
// A metric whose value or limits are not finite is out of reach: it is not compared.
Result<std::vector<std::string>> observe_decision(SpcState& state, const json::Record& record,
                                                  qa::QaChainWriter& writer);

// True while the decision list is shorter than min_decisions or there are no baselines.
bool spc_learning(const SpcState& state);

// One zero-width baseline per metric whose value over the list is finite.
SpcBaselines learn_baselines(std::span<const json::Record> decisions);

// Writes the baseline file (creating its directory) so that a crash leaves the old file or the
// new one. Errors: "failed to create SPC baseline directory {}: {}",
// "failed to encode SPC baselines: {}", "failed to write SPC baseline file {}: {}".
Result<void> save_baselines(const SpcState& state);

}  // namespace telmir::spc
