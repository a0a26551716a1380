// QA records appended per second (built, hashed, signed, written, the file opened and closed per
// record) beside bare Ed25519 signatures of the same preimages made with libsodium, in one run.
#include <benchmark/benchmark.h>
#include <sodium.h>
#include <stdlib.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "canonical/preimage.h"
#include "key/key.h"
#include "qa_chain/qa_chain.h"

namespace {

using namespace telmir;

key::QaKey bench_key() {
  return key::QaKey(
      *key::parse_signing_key("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60"));
}

std::string bench_dir() {
  static const std::string dir = [] {
    std::string tmpl = (std::filesystem::temp_directory_path() / "telmir-qa-bench-XXXXXX").string();
    return std::string(::mkdtemp(tmpl.data()));
  }();
  return dir;
}

// A decision verification as the verifier writes it: six checks, one finding.
json::Node checks_performed() {
  json::Node checks = json::Node::array();
  for (const char* name : {"record_hash", "linkage", "signature", "classification",
                           "approval_provenance", "negative_constraints"}) {
    json::Node check = json::Node::object();
    check.set("check", name);
    check.set("status", "pass");
    checks.push(std::move(check));
  }
  return checks;
}

std::vector<json::Node> findings() {
  json::Node finding = json::Node::object();
  finding.set("check", "classification");
  finding.set("detail", "category read differs from earlier write for tool read_file");
  finding.set("severity", "high");
  std::vector<json::Node> out;
  out.push_back(std::move(finding));
  return out;
}

const char* kRecordHash = "sha256:6224dc7d61779a2f19c0e40d11f3a6e1a6d7c1e9c2f7b5e0f2d4c3b1a0e9f8d7";

Result<json::Node> append_one(qa::QaChainWriter& writer) {
  return qa::append_decision_verification(writer, kRecordHash, "ALLOW", "read_file",
                                          checks_performed(), true, findings());
}

// Preimages of records like those appended, collected once.
const std::vector<std::string>& preimages() {
  static const std::vector<std::string> texts = [] {
    std::string path = bench_dir() + "/preimages.jsonl";
    auto writer = qa::open_qa_chain(path, bench_key());
    std::vector<std::string> out;
    for (int i = 0; i < 256; ++i) {
      auto r = append_one(*writer);
      out.push_back(*canonical::record_hash_preimage(*r));
    }
    std::filesystem::remove(path);
    return out;
  }();
  return texts;
}

void BM_AppendQaRecord(benchmark::State& state) {
  std::string path = bench_dir() + "/LOGS/qa-chain.jsonl";
  std::filesystem::remove(path);
  auto writer = qa::open_qa_chain(path, bench_key());
  if (!writer) {
    state.SkipWithError(writer.error().c_str());
    return;
  }
  for (auto _ : state) {
    auto r = append_one(*writer);
    if (!r) {
      state.SkipWithError(r.error().c_str());
      break;
    }
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations());
  std::filesystem::remove(path);
}

void BM_BareEd25519Sign(benchmark::State& state) {
  const auto& texts = preimages();
  key::QaKey key = bench_key();
  unsigned char sig[crypto_sign_BYTES];
  std::size_t i = 0;
  for (auto _ : state) {
    const std::string& m = texts[i++ % texts.size()];
    crypto_sign_detached(sig, nullptr, reinterpret_cast<const unsigned char*>(m.data()), m.size(),
                         key.secret_key().data());
    benchmark::DoNotOptimize(sig);
  }
  state.SetItemsProcessed(state.iterations());
}

double thread_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Both rates measured in alternating batches, so a busy machine slows both alike.
void BM_AppendBesideSign(benchmark::State& state) {
  constexpr int kBatch = 64;
  const auto& texts = preimages();
  std::string path = bench_dir() + "/LOGS/interleaved.jsonl";
  std::filesystem::remove(path);
  auto writer = qa::open_qa_chain(path, bench_key());
  key::QaKey key = bench_key();
  unsigned char sig[crypto_sign_BYTES];
  double sign_time = 0;
  double append_time = 0;
  std::size_t n = 0;
  for (auto _ : state) {
    double t0 = thread_cpu_seconds();
    for (int i = 0; i < kBatch; ++i) {
      const std::string& m = texts[(n + i) % texts.size()];
      crypto_sign_detached(sig, nullptr, reinterpret_cast<const unsigned char*>(m.data()), m.size(),
                           key.secret_key().data());
      benchmark::DoNotOptimize(sig);
    }
    double t1 = thread_cpu_seconds();
    for (int i = 0; i < kBatch; ++i) {
      auto r = append_one(*writer);
      benchmark::DoNotOptimize(r);
    }
    double t2 = thread_cpu_seconds();
    sign_time += t1 - t0;
    append_time += t2 - t1;
    n += kBatch;
  }
  state.counters["signs_per_s"] = static_cast<double>(n) / sign_time;
  state.counters["appends_per_s"] = static_cast<double>(n) / append_time;
  state.counters["ratio"] = sign_time / append_time;
  std::filesystem::remove(path);
}

BENCHMARK(BM_BareEd25519Sign)->MinTime(2.0);
BENCHMARK(BM_AppendQaRecord)->MinTime(2.0);
BENCHMARK(BM_AppendBesideSign)->MinTime(4.0);

// Keeps the rates so the ratio can be printed after the run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      for (const char* counter : {"items_per_second", "ratio", "appends_per_s", "signs_per_s"}) {
        auto it = run.counters.find(counter);
        if (it != run.counters.end()) values_[run.benchmark_name() + ":" + counter] = it->second;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double value(const std::string& prefix, const std::string& counter) const {
    for (const auto& [name, v] : values_) {
      if (name.rfind(prefix, 0) == 0 && name.size() > counter.size() &&
          name.compare(name.size() - counter.size(), counter.size(), counter) == 0) {
        return v;
      }
    }
    return 0;
  }

 private:
  std::map<std::string, double> values_;
};

}  // namespace

int main(int argc, char** argv) {
  if (sodium_init() < 0) return 1;
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  double sign = reporter.value("BM_BareEd25519Sign", ":items_per_second");
  double append = reporter.value("BM_AppendQaRecord", ":items_per_second");
  std::printf("record preimage: %zu bytes\n", preimages().front().size());
  if (sign > 0 && append > 0) {
    std::printf(
        "separate runs: appends per second %.0f, bare signatures per second %.0f, "
        "ratio %.1f%%\n",
        append, sign, 100.0 * append / sign);
  }
  double ratio = reporter.value("BM_AppendBesideSign", ":ratio");
  if (ratio > 0) {
    std::printf(
        "alternating batches: appends per second %.0f, bare signatures per second %.0f, "
        "ratio %.1f%%\n",
        reporter.value("BM_AppendBesideSign", ":appends_per_s"),
        reporter.value("BM_AppendBesideSign", ":signs_per_s"), 100.0 * ratio);
  }
  std::filesystem::remove_all(bench_dir());
  benchmark::Shutdown();
  return 0;
}
