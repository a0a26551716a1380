#include <fmt/format.h>

#include <cmath>

#include "governance/records/records.h"
#include "platform/fs.h"
#include "qa_chain/qa_chain.h"
#include "spc/spc.h"

namespace telmir::spc {
namespace {

bool is_decision(const json::Record& r) { return r && governance::is_decision_record(r->root()); }

}  // namespace

SpcState::SpcState(std::string baseline_path, std::uint64_t min_decisions, SpcBaselines baselines)
    : baseline_path_(std::move(baseline_path)),
      min_decisions_(min_decisions == 0 ? 1 : min_decisions),
      baselines_(std::move(baselines)) {}

void SpcState::add_decision(const json::Record& record) {
  decisions_.push_back(record);
  counters_.add(record->root());
}

SpcState load_spc_state(std::string baseline_path, std::uint64_t min_decisions) {
  SpcBaselines baselines;
  // Any problem with the file means learning anew; nothing is reported.
  if (platform::file_status(baseline_path)) {
    if (auto text = platform::read_file(baseline_path)) {
      if (auto parsed = parse_baselines(*text)) baselines = std::move(*parsed);
    }
  }
  return SpcState(std::move(baseline_path), min_decisions, std::move(baselines));
}

SpcBaselines learn_baselines(std::span<const json::Record> decisions) {
  const SpcMetrics metrics = compute_spc_metrics(decisions);
  SpcBaselines out;
  for (const SpcMetric& m : metrics) {
    // A value that is not finite cannot be compared or recorded: that metric gets no baseline.
    if (!std::isfinite(m.value)) continue;
    const SpcMetricInfo info = spc_metric_info(m.metric_id);
    SpcBaseline b;
    b.metric_id = std::string(m.metric_id);
    b.metric_name = std::string(info.metric_name);
    b.center_line = m.value;
    b.stddev = 0.0;
    b.ucl = m.value;
    b.lcl = m.value;
    b.samples = decisions.size();
    b.window = std::string(info.window);
    out.emplace(b.metric_id, std::move(b));
  }
  return out;
}

Result<void> save_baselines(const SpcState& state) {
  const std::string& path = state.baseline_path();
  const std::string dir = platform::parent_path(path);
  if (!dir.empty()) {
    auto made = platform::create_directories(dir);
    if (!made) {
      return fail(fmt::format("failed to create SPC baseline directory {}: {}", dir, made.error()));
    }
  }
  const std::string bytes = render_baselines(state.baselines());
  // Temporary file, flushed, renamed over the old one: a crash leaves either file whole.
  auto written = platform::replace_file_atomically(path, bytes, 0666);
  if (!written) {
    return fail(fmt::format("failed to write SPC baseline file {}: {}", path, written.error()));
  }
  return {};
}

bool spc_learning(const SpcState& state) {
  return state.decisions().size() < state.min_decisions() || state.baselines().empty();
}

Result<void> prime_spc(SpcState& state, std::span<const json::Record> history) {
  state.decisions_.clear();
  state.counters_ = SpcCounters{};
  for (const json::Record& r : history) {
    if (is_decision(r)) state.add_decision(r);
  }
  if (state.baselines_.empty() && state.decisions_.size() >= state.min_decisions_) {
    state.baselines_ = learn_baselines(state.decisions_);
    return save_baselines(state);
  }
  return {};
}

Result<std::vector<std::string>> observe_decision(SpcState& state, const json::Record& record,
                                                  qa::QaChainWriter& writer) {
  std::vector<std::string> found;
  if (!is_decision(record)) return found;
  state.add_decision(record);
  if (state.decisions_.size() < state.min_decisions_) return found;
  if (state.baselines_.empty()) {
    state.baselines_ = learn_baselines(state.decisions_);
    auto saved = save_baselines(state);
    if (!saved) return fail(saved.error());
    return found;
  }
  // The running counts give the same values as a recomputation over the whole list.
  const SpcMetrics metrics = state.counters_.metrics();
  for (const SpcMetric& m : metrics) {
    auto it = state.baselines_.find(m.metric_id);
    if (it == state.baselines_.end()) continue;
    const SpcBaseline& b = it->second;
    // Out of reach: a value or limit that is not finite could not be recorded.
    if (!std::isfinite(m.value) || !std::isfinite(b.ucl) || !std::isfinite(b.lcl)) continue;
    std::string_view status;
    if (m.value > b.ucl) {
      status = "above_ucl";
    } else if (m.value < b.lcl) {
      status = "below_lcl";
    } else {
      continue;
    }
    auto appended = qa::append_spc_finding(writer, b.metric_id, b.metric_name, m.value, b.ucl,
                                           b.lcl, b.window, status);
    if (!appended) return fail(appended.error());
    found.emplace_back(m.metric_id);
  }
  return found;
}

}  // namespace telmir::spc
