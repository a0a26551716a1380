// Decision verification cost per decision: 1,000 queued decisions against histories of 10,000
// and 1,000,000 records, and a signed decision verified against the bare cryptography it needs
// (one Ed25519 verification, one key derivation, one QA signature), measured in the same run.
// SPC stays learning throughout, so no SPC finding is written.

#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <sodium.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "canonical/preimage.h"
#include "chain_generator/chain_generator.h"
#include "config/config.h"
#include "governance/chain_reader.h"
#include "governance/decision_verifier.h"
#include "governance/records/records.h"
#include "key/key.h"
#include "platform/fs.h"
#include "qa_chain/qa_chain.h"
#include "spc/spc.h"

namespace {

using namespace telmir;

constexpr std::size_t kQueued = 1000;
constexpr const char* kSeedHex = "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb";

[[noreturn]] void die(const std::string& message) {
  std::fprintf(stderr, "verifier_bench: %s\n", message.c_str());
  std::exit(1);
}

std::string scratch_dir() {
  static const std::string dir = [] {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "telmir-verifier-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) die("mkdtemp failed");
    return pattern;
  }();
  return dir;
}

// A generated chain of `records` records, written once and kept in the data directory.
std::string chain_file(std::size_t records) {
  std::filesystem::create_directories(TELMIR_BENCH_DATA_DIR);
  const std::string path = fmt::format("{}/chain-{}.jsonl", TELMIR_BENCH_DATA_DIR, records);
  if (std::filesystem::exists(path)) return path;
  std::fprintf(stderr, "generating %zu records into %s\n", records, path.c_str());
  chaingen::ChainBuilder builder(chaingen::GovernanceSigner::from_seed_hex(kSeedHex).value());
  chaingen::ChainOptions options;
  options.records = records;
  options.rng_seed = 7;
  if (auto ok = chaingen::generate_chain(builder, options); !ok) die(ok.error());
  const std::string partial = path + ".partial";
  if (auto ok = builder.write_file(partial); !ok) die(ok.error());
  std::filesystem::rename(partial, path);
  return path;
}

struct Installation {
  explicit Installation(std::size_t records) : reader(chain_file(records)) {
    const std::string dir = fmt::format("{}/{}", scratch_dir(), records);
    std::filesystem::create_directories(dir);
    config.signing_key_path = dir + "/governance.key";
    if (auto ok = platform::replace_file_atomically(*config.signing_key_path,
                                                    std::string(kSeedHex) + "\n");
        !ok) {
      die(ok.error());
    }
    config.qa_chain_path = dir + "/qa-chain.jsonl";
    config.spc_baseline_path = dir + "/spc-baselines.json";
    config.spc_min_decisions = 100'000'000;  // above any history here: SPC keeps learning

    auto read = reader.read_new_records();
    if (!read) die(read.error());
    // The newest decisions are the ones queued, as after an append by the proxy.
    const auto& history = reader.chain_history().records();
    for (auto it = history.rbegin(); it != history.rend() && queued.size() < kQueued; ++it) {
      if (governance::is_decision_record((*it)->root())) queued.insert(queued.begin(), *it);
    }
    auto qa_key = key::ensure_qa_signing_key(dir + "/qa-key.pem");
    if (!qa_key) die(qa_key.error());
    auto opened = qa::open_qa_chain(config.qa_chain_path, *qa_key);
    if (!opened) die(opened.error());
    writer = std::make_unique<qa::QaChainWriter>(std::move(*opened));
    spc = std::make_unique<spc::SpcState>(
        spc::load_spc_state(config.spc_baseline_path, config.spc_min_decisions));
  }

  config::Config config;
  governance::ChainReader reader;
  std::vector<json::Record> queued;
  std::unique_ptr<qa::QaChainWriter> writer;
  std::unique_ptr<spc::SpcState> spc;
};

Installation& installation(std::size_t records) {
  static std::map<std::size_t, std::unique_ptr<Installation>> cache;
  auto& slot = cache[records];
  if (!slot) slot = std::make_unique<Installation>(records);
  return *slot;
}

void BM_VerifyQueuedDecisions(benchmark::State& state) {
  Installation& in = installation(static_cast<std::size_t>(state.range(0)));
  const governance::ChainHistory& history = in.reader.chain_history();
  governance::DecisionVerifier verifier(in.config);
  // The index is built as records arrive; a running service has it before the decision comes.
  verifier.verify(in.queued.front()->root(), history);

  std::size_t all_clear_misses = 0;
  for (auto _ : state) {
    state.PauseTiming();
    for (const json::Record& r : in.queued) verifier.queue().push(r);
    const std::uint64_t before = in.writer->next_sequence();
    state.ResumeTiming();
    if (auto ok = governance::verify_queue(verifier, history, *in.spc, *in.writer); !ok) {
      state.SkipWithError(ok.error().c_str());
      return;
    }
    state.PauseTiming();
    all_clear_misses += in.writer->next_sequence() - before - in.queued.size();
    state.ResumeTiming();
  }
  if (!spc::spc_learning(*in.spc)) state.SkipWithError("SPC left learning");
  state.counters["history"] = static_cast<double>(history.size());
  state.counters["extra_qa_records"] = static_cast<double>(all_clear_misses);
  state.counters["per_decision"] =
      benchmark::Counter(static_cast<double>(state.iterations() * in.queued.size()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The five checks alone (no signature, nothing written): the part that looks at the history.
void BM_ChecksWithoutSignature(benchmark::State& state) {
  Installation& in = installation(static_cast<std::size_t>(state.range(0)));
  const governance::ChainHistory& history = in.reader.chain_history();
  config::Config config = in.config;
  config.signing_key_path.reset();
  governance::DecisionVerifier verifier(config);
  verifier.index_history(history);
  std::size_t failures = 0;
  for (auto _ : state) {
    for (const json::Record& r : in.queued) {
      governance::VerificationResult result = verifier.verify(r->root(), history);
      if (!result.all_clear()) ++failures;
    }
  }
  state.counters["failures"] = static_cast<double>(failures);
  state.counters["per_decision"] =
      benchmark::Counter(static_cast<double>(state.iterations() * in.queued.size()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// What a signed decision needs at the least: derive the key from the seed, verify the
// decision's signature over its preimage, sign one QA record of the usual size.
void BM_BareSignatureWork(benchmark::State& state) {
  Installation& in = installation(10'000);
  const json::Value& decision = in.queued.back()->root();
  const std::string preimage = canonical::signature_preimage(decision).value();
  auto signature_bytes =
      key::decode_base64url(decision.string_member("signature").value_or("")).value();
  if (signature_bytes.size() != crypto_sign_BYTES) die("benchmark decision is not signed");
  // A QA verification record preimage is about this long.
  const std::string qa_preimage(700, 'q');
  auto seed = key::parse_signing_key(kSeedHex).value();
  const key::QaKey qa_key(seed);

  unsigned char pk[crypto_sign_PUBLICKEYBYTES];
  unsigned char sk[crypto_sign_SECRETKEYBYTES];
  unsigned char qa_signature[crypto_sign_BYTES];
  for (auto _ : state) {
    crypto_sign_seed_keypair(pk, sk, seed.bytes().data());
    const int bad = crypto_sign_verify_detached(
        signature_bytes.data(), reinterpret_cast<const unsigned char*>(preimage.data()),
        preimage.size(), pk);
    if (bad != 0) {
      state.SkipWithError("signature does not verify");
      return;
    }
    crypto_sign_detached(qa_signature, nullptr,
                         reinterpret_cast<const unsigned char*>(qa_preimage.data()),
                         qa_preimage.size(), qa_key.secret_key().data());
    benchmark::DoNotOptimize(qa_signature);
  }
  state.counters["per_decision"] =
      benchmark::Counter(static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_BareSignatureWork)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ChecksWithoutSignature)->Arg(10'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VerifyQueuedDecisions)->Arg(10'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

// Collects the seconds per decision of every run for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      auto it = run.counters.find("per_decision");
      if (it != run.counters.end()) per_decision[run.benchmark_name()] = it->second.value;
    }
  }
  std::map<std::string, double> per_decision;
};

}  // namespace

int main(int argc, char** argv) {
  if (sodium_init() < 0) die("sodium_init failed");
  benchmark::Initialize(&argc, argv);
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const auto& t = reporter.per_decision;
  // The median of repeated runs when there are repetitions, else the single run.
  auto find = [&t](const std::string& name) -> double {
    auto it = t.find(name + "_median");
    if (it == t.end()) it = t.find(name);
    return it == t.end() ? 0.0 : it->second;
  };
  const double bare = find("BM_BareSignatureWork");
  const double small = find("BM_VerifyQueuedDecisions/10000");
  const double large = find("BM_VerifyQueuedDecisions/1000000");
  if (small > 0 && large > 0) {
    std::printf(
        "per decision: %.1f us at 10,000 records, %.1f us at 1,000,000 records; "
        "ratio %.3f (goal <= 1.5)\n",
        small * 1e6, large * 1e6, large / small);
  }
  if (bare > 0 && small > 0) {
    std::printf(
        "signed decision verified at %.1f%% of the bare rate (%.1f us vs %.1f us; goal "
        ">= 50%%)\n",
        100.0 * bare / small, small * 1e6, bare * 1e6);
  }
  std::filesystem::remove_all(scratch_dir());
  return 0;
}
