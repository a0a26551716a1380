// One behavioural analysis over generated histories of 100,000 and 1,000,000 records, beside one
// pass of the JSON reader over the same chain. Counters: `vs_reader` (analysis time over reader
// time, same chain, same run) and, for the large chain, `vs_small` (its analysis time over the
// small chain's), each for the first analysis after the history was read and for a repeated
// one. All ratios use the thread's CPU time.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "behavioral/behavioral.h"
#include "chain_generator.h"
#include "json/value.h"
#include "platform/fs.h"
#include "qa_chain/qa_chain.h"

namespace {

using namespace telmir;

std::string chain_path(std::size_t records) {
  std::filesystem::create_directories(TELMIR_BENCH_DATA_DIR);
  return std::string(TELMIR_BENCH_DATA_DIR) + "/chain-" + std::to_string(records) + ".jsonl";
}

const platform::PaddedBuffer& chain_text(std::size_t records) {
  static std::map<std::size_t, platform::PaddedBuffer> cache;
  auto it = cache.find(records);
  if (it != cache.end()) return it->second;
  const std::string path = chain_path(records);
  if (!std::filesystem::exists(path)) {
    std::array<std::uint8_t, 32> seed{};
    seed.fill(11);
    chaingen::ChainBuilder builder{chaingen::GovernanceSigner(seed)};
    chaingen::ChainOptions options;
    options.records = records;
    options.rng_seed = 42;
    if (!chaingen::generate_chain(builder, options) || !builder.write_file(path)) std::abort();
  }
  auto buffer = platform::read_file_padded(path);
  if (!buffer) std::abort();
  return cache.emplace(records, std::move(*buffer)).first->second;
}

// One pass of the JSON reader: every line parsed into a shared record, placed as the chain
// reader places the history's records.
std::vector<json::Record> read_all(const platform::PaddedBuffer& text) {
  std::vector<json::Record> out;
  json::RecordArena arena;
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    const char* nl =
        static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    if (nl == nullptr) nl = end;
    if (nl > p) {
      auto r = json::parse_padded(std::string_view(p, static_cast<std::size_t>(nl - p)), arena);
      if (!r) std::abort();
      out.push_back(std::move(*r));
    }
    p = nl + 1;
  }
  return out;
}

// CPU time of the calling thread: the machine is shared, so wall time says little.
double thread_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double seconds_of(auto&& f) {
  const double start = thread_seconds();
  f();
  return thread_seconds() - start;
}

std::map<std::size_t, double> analysis_seconds;  // first analysis per size
std::map<std::size_t, double> repeat_seconds;    // median of the later ones

void BM_JsonReaderPass(benchmark::State& state) {
  const auto& text = chain_text(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::vector<json::Record> records = read_all(text);
    benchmark::DoNotOptimize(records.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_BehaviouralAnalysis(benchmark::State& state) {
  const std::size_t records = static_cast<std::size_t>(state.range(0));
  const auto& text = chain_text(records);
  const std::vector<json::Record> history = read_all(text);
  const std::string dir = std::string(TELMIR_BENCH_DATA_DIR) + "/qa";
  std::filesystem::remove_all(dir);
  config::Config config;
  config.policy_rules_path = dir + "/policy-rules.json";  // missing: no dead-rule findings
  config.behavioral_min_decisions = 0;
  std::array<std::uint8_t, 32> seed{};
  seed.fill(12);
  auto writer = qa::open_qa_chain(dir + "/qa-chain.jsonl", key::QaKey(key::Seed(seed)));
  if (!writer) std::abort();

  // The first analysis after the history was read (as in a one-cycle run), then the same
  // analysis again (as every later cycle of the service does it): a fixed count of runs at both
  // sizes, so that the two sizes are measured alike.
  std::vector<double> runs;
  std::size_t findings = 0;
  for (auto _ : state) {
    runs.push_back(seconds_of([&] {
      auto result = behavioral::run_behavioural_analysis(config, history, *writer);
      if (!result) std::abort();
      findings = result->size();
    }));
  }
  const double first = runs.front();
  std::vector<double> later(runs.begin() + 1, runs.end());
  std::sort(later.begin(), later.end());
  const double repeat = later.empty() ? first : later[later.size() / 2];
  analysis_seconds[records] = first;
  repeat_seconds[records] = repeat;
  double reader = 1e300;
  for (int i = 0; i < 3; ++i) {
    reader = std::min(reader, seconds_of([&] { benchmark::DoNotOptimize(read_all(text).size()); }));
  }
  state.counters["findings"] = static_cast<double>(findings);
  state.counters["reader_s"] = reader;
  state.counters["first_s"] = first;
  state.counters["repeat_s"] = repeat;
  state.counters["first_vs_reader"] = first / reader;
  state.counters["repeat_vs_reader"] = repeat / reader;
  if (records > 100000 && analysis_seconds.contains(100000)) {
    state.counters["first_vs_small"] = first / analysis_seconds[100000];
    state.counters["repeat_vs_small"] = repeat / repeat_seconds[100000];
  }
}

// The rules alone, without rendering the findings or writing the record.
void BM_FindPatterns(benchmark::State& state) {
  const auto& text = chain_text(static_cast<std::size_t>(state.range(0)));
  const std::vector<json::Record> history = read_all(text);
  config::Config config;
  config.policy_rules_path = std::string(TELMIR_BENCH_DATA_DIR) + "/no-policy-rules.json";
  for (auto _ : state) {
    benchmark::DoNotOptimize(behavioral::find_behavioural_patterns(config, history).size());
  }
}

BENCHMARK(BM_JsonReaderPass)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BehaviouralAnalysis)
    ->Arg(100000)
    ->Arg(1000000)
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindPatterns)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
