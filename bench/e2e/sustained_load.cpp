// Sustained load on the service: a simulated proxy appends signed decisions at a fixed rate to
// a governance chain that already holds a large history, while telmir runs as a service in the
// default layout (both chains in one watched directory) with default settings. Measures the lag
// from each append to its qa_decision_verification record and telmir's CPU time per decision.
// The first run cycle (the whole history) is reported separately and not counted.
//
// Settings (environment): TELMIR_BENCH_HISTORY (records already in the chain, default 100000),
// TELMIR_BENCH_RATE (decisions per second, default 100), TELMIR_BENCH_SECONDS (default 300).

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "json/value.h"
#include "support/installation.h"
#include "support/process.h"

namespace telmir::testing {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::uint64_t setting(const char* name, std::uint64_t fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::strtoull(v, nullptr, 10) : fallback;
}

// User plus system CPU time of a process, in seconds.
double cpu_seconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stod(field);
  }
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Follows the QA chain as it grows and notes when each decision's verification appears.
class QaFollower {
 public:
  explicit QaFollower(std::string path) : path_(std::move(path)) {}

  void skip_existing() {
    std::ifstream in(path_, std::ios::binary | std::ios::ate);
    offset_ = in ? static_cast<std::uint64_t>(in.tellg()) : 0;
  }

  // Reads what was appended since the last call.
  void poll() {
    std::ifstream in(path_, std::ios::binary);
    if (!in) return;
    in.seekg(static_cast<std::streamoff>(offset_));
    std::string chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto now = Clock::now();
    std::size_t end = chunk.rfind('\n');
    if (end == std::string::npos) return;
    pending_.append(chunk, 0, end + 1);
    offset_ += end + 1;
    std::size_t start = 0;
    for (std::size_t lf; (lf = pending_.find('\n', start)) != std::string::npos; start = lf + 1) {
      std::string_view line(pending_.data() + start, lf - start);
      if (line.find("\"qa_decision_verification\"") == std::string_view::npos) continue;
      auto rec = json::parse(line);
      if (!rec) continue;
      auto h = (*rec)->root().string_member("governance_record_hash");
      if (h) seen_.emplace(std::string(*h), now);
    }
    pending_.clear();
  }

  const std::map<std::string, Clock::time_point>& seen() const { return seen_; }

 private:
  std::string path_;
  std::uint64_t offset_ = 0;
  std::string pending_;
  std::map<std::string, Clock::time_point> seen_;
};

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  auto i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1));
  return v[i];
}

double mean(const std::vector<double>& v) {
  double s = 0;
  for (double x : v) s += x;
  return v.empty() ? 0 : s / static_cast<double>(v.size());
}

void BM_SustainedLoad(benchmark::State& state) {
  const std::uint64_t history = setting("TELMIR_BENCH_HISTORY", 100000);
  const std::uint64_t rate = std::max<std::uint64_t>(1, setting("TELMIR_BENCH_RATE", 100));
  const std::uint64_t seconds = setting("TELMIR_BENCH_SECONDS", 300);

  for (auto _ : state) {
    state.PauseTiming();
    InstallationOptions opts;
    opts.generated_records = history;
    Installation inst(opts);

    auto t0 = Clock::now();
    TelmirProcess service(inst.env(), {}, inst.scratch());
    if (!service.wait_ready(3600s) || !service.wait_watching(2, 60s)) {
      state.SkipWithError(("service did not start: " + service.stderr_text()).c_str());
      return;
    }
    const double first_cycle_s = std::chrono::duration<double>(Clock::now() - t0).count();

    QaFollower follower(inst.qa_chain_path());
    follower.skip_existing();
    const double cpu_before = cpu_seconds(service.pid());
    state.ResumeTiming();

    // The proxy: one decision every 1/rate seconds on a fixed schedule.
    std::vector<std::pair<std::string, Clock::time_point>> appended;
    const std::uint64_t total = rate * seconds;
    appended.reserve(total);
    const auto start = Clock::now();
    const auto period = std::chrono::nanoseconds(1'000'000'000 / rate);
    for (std::uint64_t i = 0; i < total; ++i) {
      std::this_thread::sleep_until(start + period * static_cast<std::int64_t>(i));
      auto spec = inst.decision_spec();
      spec.request_id = "load-" + std::to_string(i);
      spec.tool = i % 3 == 0 ? "write_file" : "read_file";
      auto at = Clock::now();
      appended.emplace_back(inst.append_decision(spec), at);
      if (i % 8 == 0) follower.poll();
    }
    // Let the service catch up (bounded).
    auto deadline = Clock::now() + 60s;
    while (follower.seen().size() < appended.size() && Clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
      follower.poll();
    }
    state.PauseTiming();
    const double cpu = cpu_seconds(service.pid()) - cpu_before;
    const bool alive = service.running();

    std::vector<double> lags, first_part, last_part;
    std::size_t missing = 0;
    for (std::size_t i = 0; i < appended.size(); ++i) {
      auto it = follower.seen().find(appended[i].first);
      if (it == follower.seen().end()) {
        ++missing;
        continue;
      }
      double ms =
          std::chrono::duration<double, std::milli>(it->second - appended[i].second).count();
      lags.push_back(ms);
      if (i < appended.size() / 10) first_part.push_back(ms);
      if (i >= appended.size() - appended.size() / 10) last_part.push_back(ms);
    }
    state.counters["history_records"] = static_cast<double>(history);
    state.counters["rate_per_s"] = static_cast<double>(rate);
    state.counters["decisions"] = static_cast<double>(appended.size());
    state.counters["unverified"] = static_cast<double>(missing);
    state.counters["first_cycle_s"] = first_cycle_s;
    state.counters["lag_p50_ms"] = percentile(lags, 0.50);
    state.counters["lag_p99_ms"] = percentile(lags, 0.99);
    state.counters["lag_max_ms"] = percentile(lags, 1.0);
    state.counters["lag_first10pct_mean_ms"] = mean(first_part);
    state.counters["lag_last10pct_mean_ms"] = mean(last_part);
    state.counters["cpu_ms_per_decision"] =
        appended.empty() ? 0 : 1000.0 * cpu / static_cast<double>(appended.size());
    state.counters["service_alive"] = alive ? 1 : 0;
    state.ResumeTiming();
  }
}
BENCHMARK(BM_SustainedLoad)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
}  // namespace telmir::testing

BENCHMARK_MAIN();
