// observe_decision after learning, per call, at decision lists of 10,000 and 1,000,000
// records, beside one full recomputation of the seven metrics over the same list (what an
// observation would cost without the running counts).
//
// The limits are wide enough that no finding is written, so the figures are SPC's own cost and
// not the QA chain's signing.

#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <stdlib.h>

#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "key/key.h"
#include "qa_chain/qa_chain.h"
#include "spc/spc.h"

namespace {

using telmir::json::Record;

// A pool of varied decisions shared by pointer, as the chain history shares them.
const std::vector<Record>& decision_pool() {
  static const std::vector<Record> pool = [] {
    std::vector<Record> out;
    const char* tools[] = {"read_file", "write_file", "http_get", "list_dir", "run_shell"};
    const char* categories[] = {"read", "write", "network", "read", "execute"};
    const char* rules[] = {"allow_read_workspace", "allow_write_workspace", "approved_lookup",
                           "deny_destructive"};
    for (int i = 0; i < 997; ++i) {
      std::string text = fmt::format(
          R"({{"record_type":"mediated_decision","policy_decision":"{}","original_tool":"{}",)"
          R"("classification":{{"category":"{}","action_type":"x"}},"matched_rule":"{}",)"
          R"("decision_latency_ms":{}.{}{}}})",
          i % 5 == 0 ? "DENY" : "ALLOW", tools[i % 5], categories[i % 5], rules[i % 4], 3 + i % 90,
          i % 10, i % 7 == 0 ? R"(,"approval_event_id":"appr-1")" : "");
      out.push_back(*telmir::json::parse(text));
    }
    return out;
  }();
  return pool;
}

std::string temp_dir() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "telmir-spc-bench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  return pattern;
}

telmir::spc::SpcBaselines wide_limits() {
  telmir::spc::SpcBaselines b;
  for (std::string_view id : telmir::spc::spc_metric_ids()) {
    const auto info = telmir::spc::spc_metric_info(id);
    b[std::string(id)] = {std::string(id),
                          std::string(info.metric_name),
                          0.0,
                          0.0,
                          std::numeric_limits<double>::max(),
                          -std::numeric_limits<double>::max(),
                          0,
                          std::string(info.window)};
  }
  return b;
}

void BM_ObserveDecision(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  const auto& pool = decision_pool();
  std::vector<Record> history;
  history.reserve(n);
  for (std::size_t i = 0; i < n; ++i) history.push_back(pool[i % pool.size()]);
  const std::string dir = temp_dir();
  telmir::spc::SpcState spc(dir + "/spc.json", 1, wide_limits());
  if (!telmir::spc::prime_spc(spc, history)) std::abort();
  auto writer = telmir::qa::open_qa_chain(
      dir + "/qa.jsonl", telmir::key::QaKey(*telmir::key::parse_signing_key(
                             "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb")));
  std::size_t i = 0;
  for (auto _ : state) {
    auto found = telmir::spc::observe_decision(spc, pool[i++ % pool.size()], *writer);
    if (!found || !found->empty()) state.SkipWithError("unexpected finding");
  }
  state.counters["decisions"] = static_cast<double>(spc.decisions().size());
  std::filesystem::remove_all(dir);
}

void BM_FullRecomputationReference(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  const auto& pool = decision_pool();
  std::vector<Record> list;
  list.reserve(n);
  for (std::size_t i = 0; i < n; ++i) list.push_back(pool[i % pool.size()]);
  for (auto _ : state) {
    auto m = telmir::spc::compute_spc_metrics(list);
    benchmark::DoNotOptimize(m);
  }
}

BENCHMARK(BM_ObserveDecision)->Arg(10000)->Arg(1000000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FullRecomputationReference)->Arg(10000)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
