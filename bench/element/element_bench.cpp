// One element verification with 100 examined records (signatures checked), beside the bare
// Ed25519 verification of the same 100 records' signatures: `vs_bare_signatures` is the ratio.

#include <benchmark/benchmark.h>

#include <array>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "canonical/preimage.h"
#include "chain_generator.h"
#include "element/element.h"
#include "json/value.h"
#include "key/key.h"
#include "qa_chain/qa_chain.h"

namespace {

using namespace telmir;

// CPU time of the calling thread: the machine is shared, so wall time says little.
double thread_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double bare_seconds_per_run = 0;

struct Setup {
  std::string dir;
  config::Config config;
  std::vector<json::Record> history;
};

Setup& setup() {
  static Setup s = [] {
    Setup s;
    s.dir = (std::filesystem::temp_directory_path() / "telmir-element-bench").string();
    std::filesystem::remove_all(s.dir);
    std::filesystem::create_directories(s.dir);
    std::array<std::uint8_t, 32> seed{};
    seed.fill(13);
    chaingen::GovernanceSigner signer(seed);
    chaingen::ChainBuilder builder(signer);
    chaingen::ChainOptions options;
    options.records = 1000;
    if (!chaingen::generate_chain(builder, options)) std::abort();
    for (const std::string& line : builder.lines()) {
      auto r = json::parse(line);
      if (!r) std::abort();
      s.history.push_back(*r);
    }
    auto proxy = chaingen::example_proxy_configuration();
    s.config.policy_rules_path = s.dir + "/policy-rules.json";
    s.config.capability_registry_path = s.dir + "/capability-registry.json";
    if (!proxy || !chaingen::write_proxy_configuration(*proxy, s.config.policy_rules_path,
                                                       s.config.capability_registry_path)) {
      std::abort();
    }
    s.config.chain_events_spec_path = s.dir + "/chain-events-v1.yaml";
    std::FILE* f = std::fopen(s.config.chain_events_spec_path.c_str(), "w");
    std::fputs(
        "elements:\n  - event: opaque_artifact_approval\n    required: [event_id, operator]\n"
        "  - event: opaque_artifact_revocation\n    required: [approval_event_id]\n",
        f);
    std::fclose(f);
    s.config.signing_key_path = s.dir + "/governance-key.hex";
    f = std::fopen(s.config.signing_key_path->c_str(), "w");
    std::fputs(signer.seed_hex().c_str(), f);
    std::fclose(f);
    s.config.element_tail_records = 100;
    s.config.qa_chain_path = s.dir + "/qa-chain.jsonl";
    return s;
  }();
  return s;
}

void BM_BareSignatureChecks(benchmark::State& state) {
  Setup& s = setup();
  auto key = key::load_governance_verifying_key(*s.config.signing_key_path);
  if (!key) std::abort();
  std::span<const json::Record> tail(s.history.end() - 100, s.history.end());
  const double start = thread_seconds();
  for (auto _ : state) {
    for (const json::Record& r : tail) {
      auto preimage = canonical::signature_preimage(r->root());
      auto bytes = key::decode_base64url(*r->root().string_member("signature"));
      auto sig = key::signature_from_bytes(*bytes);
      benchmark::DoNotOptimize(key::verify_signature(*key, *preimage, *sig).has_value());
    }
  }
  bare_seconds_per_run = (thread_seconds() - start) / static_cast<double>(state.iterations());
}

void BM_ElementVerification(benchmark::State& state) {
  Setup& s = setup();
  std::array<std::uint8_t, 32> seed{};
  seed.fill(14);
  std::filesystem::remove(s.config.qa_chain_path);
  auto writer = qa::open_qa_chain(s.config.qa_chain_path, key::QaKey(key::Seed(seed)));
  if (!writer) std::abort();
  const double start = thread_seconds();
  for (auto _ : state) {
    auto summary = element::verify_elements(s.config, s.history, *writer);
    if (!summary) std::abort();
    benchmark::DoNotOptimize(summary->elements_passed);
  }
  const double per_run = (thread_seconds() - start) / static_cast<double>(state.iterations());
  state.counters["records"] = 100;
  if (bare_seconds_per_run > 0)
    state.counters["vs_bare_signatures"] = per_run / bare_seconds_per_run;
}

BENCHMARK(BM_BareSignatureChecks)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ElementVerification)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
