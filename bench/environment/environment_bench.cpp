// One environment snapshot over a large installation, beside the least any correct snapshot
// must do: read the governance chain and the QA chain into memory once and validate every
// governance line with simdjson.
//
// The installation (a generated governance chain and the QA chain a first run cycle writes for
// it) is built once and kept in TELMIR_BENCH_DIR (default: environment-bench-data in the working
// directory); TELMIR_BENCH_RECORDS sets the chain's length (default 1000000).

#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <simdjson.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "chain_generator/chain_generator.h"
#include "config/config.h"
#include "environment/environment.h"
#include "governance/records/records.h"
#include "json/value.h"
#include "key/key.h"
#include "platform/fs.h"
#include "qa_chain/qa_chain.h"

namespace {

using namespace telmir;

constexpr std::uint64_t kQueueCapacity = 1000;

std::uint64_t bench_records() {
  const char* value = std::getenv("TELMIR_BENCH_RECORDS");
  return value != nullptr ? std::strtoull(value, nullptr, 10) : 1000000;
}

config::Config installation_config() {
  const char* dir = std::getenv("TELMIR_BENCH_DIR");
  std::string root = std::filesystem::absolute(dir != nullptr ? dir : "environment-bench-data");
  root += fmt::format("/{}", bench_records());
  config::Config config;
  config.repo_root = root + "/repo";
  config.runtime_dir = root + "/run";
  config.qa_signing_key_path = config.runtime_dir + "/.orvante-qa-signing-key.pem";
  config.policy_rules_path = config.repo_root + "/capabilities/policy-rules.json";
  config.capability_registry_path = config.repo_root + "/capabilities/capability-registry.json";
  config.decision_chain_path = config.runtime_dir + "/LOGS/decision-chain.jsonl";
  config.qa_chain_path = config.runtime_dir + "/LOGS/qa-chain.jsonl";
  config.tail_records = 100;
  return config;
}

[[noreturn]] void die(const std::string& message) {
  std::fprintf(stderr, "environment_bench: %s\n", message.c_str());
  std::exit(1);
}

// The QA chain of a first run cycle over the chain: the startup snapshot, a verification record
// for each of the first `capacity` decisions and a backlog warning and skip record for every
// decision beyond it.
void write_first_cycle_qa_chain(const config::Config& config, const chaingen::ChainBuilder& chain) {
  Result<key::QaKey> key = key::ensure_qa_signing_key(config.qa_signing_key_path);
  if (!key) die(key.error());
  Result<qa::QaChainWriter> writer = qa::open_qa_chain(config.qa_chain_path, *key);
  if (!writer) die(writer.error());
  writer->set_build_info(config::file_digest_or_unknown("/proc/self/exe"), "bench");
  environment::EnvironmentSnapshot snapshot = environment::take_snapshot(config);
  if (auto r = qa::append_environmental_snapshot(*writer, snapshot.policy_rules_hash,
                                                 snapshot.capability_registry_hash,
                                                 environment::checks_object(snapshot.checks),
                                                 snapshot.active_conditions, snapshot.overall);
      !r) {
    die(r.error());
  }
  std::uint64_t queued = 0;
  for (const std::string& line : chain.lines()) {
    Result<json::Record> record = json::parse(line);
    if (!record || !governance::is_decision_record((*record)->root())) continue;
    std::string hash(governance::record_hash_text((*record)->root()).value_or("unknown"));
    Result<json::Node> written;
    if (queued < kQueueCapacity) {
      ++queued;
      json::Node checks = json::Node::object();
      checks.set("record_hash", "pass");
      checks.set("hash_linkage", "pass");
      checks.set("signature", "pass");
      written = qa::append_decision_verification(
          *writer, hash, *governance::decision_value((*record)->root()),
          governance::tool_key((*record)->root()), std::move(checks), true, {});
    } else {
      written = qa::append_backlog_warning(*writer, kQueueCapacity, kQueueCapacity);
      if (written)
        written = qa::append_verification_skipped(*writer, hash, "verification_queue_overflow");
    }
    if (!written) die(written.error());
  }
}

const config::Config& installation() {
  static const config::Config config = [] {
    config::Config config = installation_config();
    std::string done = config.runtime_dir + "/.complete";
    if (std::filesystem::exists(done)) return config;
    std::filesystem::remove_all(std::filesystem::path(config.runtime_dir).parent_path());
    std::fprintf(stderr, "generating %llu governance records and the QA chain in %s ...\n",
                 static_cast<unsigned long long>(bench_records()), config.runtime_dir.c_str());
    Result<chaingen::ProxyConfiguration> proxy = chaingen::example_proxy_configuration();
    if (!proxy) die(proxy.error());
    if (auto r = chaingen::write_proxy_configuration(*proxy, config.policy_rules_path,
                                                     config.capability_registry_path);
        !r) {
      die(r.error());
    }
    std::filesystem::create_directories(config.repo_root + "/scripts");
    if (auto r = platform::replace_file_atomically(config.repo_root + "/scripts/classifier.py",
                                                   "print('classify')\n");
        !r) {
      die(r.error());
    }
    std::array<std::uint8_t, 32> seed{};
    seed.fill(7);
    chaingen::ChainBuilder chain{chaingen::GovernanceSigner(seed)};
    chaingen::ChainOptions options;
    options.records = bench_records();
    options.policy_rules_hash = proxy->policy_rules_hash;
    options.capability_registry_hash = proxy->capability_registry_hash;
    if (auto r = chaingen::generate_chain(chain, options); !r) die(r.error());
    std::filesystem::create_directories(platform::parent_path(config.decision_chain_path));
    if (auto r = chain.write_file(config.decision_chain_path); !r) die(r.error());
    write_first_cycle_qa_chain(config, chain);
    if (auto r = platform::replace_file_atomically(done, ""); !r) die(r.error());
    return config;
  }();
  return config;
}

void BM_Snapshot(benchmark::State& state) {
  const config::Config& config = installation();
  for (auto _ : state) {
    environment::EnvironmentSnapshot snapshot = environment::take_snapshot(config);
    if (snapshot.overall != "healthy") {
      state.SkipWithError(environment::snapshot_fingerprint(snapshot).c_str());
      return;
    }
    benchmark::DoNotOptimize(snapshot);
  }
  std::uint64_t bytes = std::filesystem::file_size(config.decision_chain_path) +
                        std::filesystem::file_size(config.qa_chain_path);
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes * state.iterations()));
}

// ENV-005 alone: the QA chain's tail, with every byte of the file checked for UTF-8.
void BM_QaChainTail(benchmark::State& state) {
  const config::Config& config = installation();
  for (auto _ : state) {
    environment::EnvCheck check = environment::check_chain_tail(config.qa_chain_path, 100);
    if (check.status != environment::CheckStatus::kPass) {
      state.SkipWithError(check.detail.value_or("failed").c_str());
      return;
    }
    benchmark::DoNotOptimize(check);
  }
  std::uint64_t bytes = std::filesystem::file_size(config.qa_chain_path);
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes * state.iterations()));
}

// Both files read once; every non-empty governance line validated by simdjson's parser.
void BM_ReadAndValidateReference(benchmark::State& state) {
  const config::Config& config = installation();
  simdjson::dom::parser parser;
  for (auto _ : state) {
    Result<platform::PaddedBuffer> governance =
        platform::read_file_padded(config.decision_chain_path);
    Result<platform::PaddedBuffer> qa = platform::read_file_padded(config.qa_chain_path);
    if (!governance || !qa) {
      state.SkipWithError("read failed");
      return;
    }
    std::size_t lines = 0;
    const char* at = governance->data();
    const char* end = at + governance->size();
    while (at < end) {
      const char* eol = static_cast<const char*>(std::memchr(at, '\n', end - at));
      if (eol == nullptr) eol = end;
      if (eol > at) {
        auto doc = parser.parse(at, static_cast<std::size_t>(eol - at), false);
        if (doc.error()) {
          state.SkipWithError("invalid line");
          return;
        }
        ++lines;
      }
      at = eol + 1;
    }
    benchmark::DoNotOptimize(lines);
    benchmark::DoNotOptimize(qa->data());
  }
  std::uint64_t bytes = std::filesystem::file_size(config.decision_chain_path) +
                        std::filesystem::file_size(config.qa_chain_path);
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes * state.iterations()));
}

BENCHMARK(BM_Snapshot)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_ReadAndValidateReference)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_QaChainTail)->Unit(benchmark::kMillisecond)->MinTime(3.0);

// Prints the ratio of the snapshot's time to the reference's after the runs.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
        real_[run.benchmark_name()] = run.GetAdjustedRealTime();
        cpu_[run.benchmark_name()] = run.GetAdjustedCPUTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    print_ratio("real", real_);
    print_ratio("cpu", cpu_);
  }

 private:
  // CPU time is the steadier figure on a shared machine; both are shown.
  static void print_ratio(const char* kind, const std::map<std::string, double>& times) {
    auto snapshot = times.find("BM_Snapshot/min_time:3.000");
    auto reference = times.find("BM_ReadAndValidateReference/min_time:3.000");
    if (snapshot == times.end() || reference == times.end() || reference->second <= 0) return;
    std::printf("snapshot / reference (%s time): %.2f (goal: at most 2.00)\n", kind,
                snapshot->second / reference->second);
  }

  std::map<std::string, double> real_;
  std::map<std::string, double> cpu_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  installation();  // generate outside the timed runs
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
