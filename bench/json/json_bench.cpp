// Reading and rendering governance-like JSON Lines records, beside three references over the
// same bytes in memory: a memchr line split, a simdjson on-demand walk that visits every value
// and unescapes every string without building anything, and RapidJSON's SAX reader building its
// own document (numbers kept as text).

#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <simdjson.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "canonical/canonical.h"
#include "json/value.h"

namespace {

using telmir::json::Record;

class Rng {
 public:
  std::uint64_t next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }
  std::uint64_t below(std::uint64_t n) { return next() % n; }
  std::string hex(std::size_t n) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s.push_back(kHex[below(16)]);
    return s;
  }
  std::string b64(std::size_t n) {
    static constexpr char kChars[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s.push_back(kChars[below(64)]);
    return s;
  }

 private:
  std::uint64_t state_ = 0x9E3779B97F4A7C15ull;
};

// About 1 KB per record: nested objects, arrays, strings with escapes, integers and floats.
std::string make_record(Rng& rng, std::uint64_t seq, const std::string& prev_hash,
                        std::string& hash) {
  static const char* kTools[] = {"read_file", "write_file", "http_get", "exec_command"};
  static const char* kDecisions[] = {"ALLOW", "DENY", "ESCALATE"};
  static const char* kCategories[] = {"read", "write", "network", "process"};
  hash = "sha256:" + rng.hex(64);
  const std::size_t tool = rng.below(4);
  return fmt::format(
      R"({{"record_type": "mediated_decision", "timestamp_utc": "2026-03-01T08:{:02}:{:02}Z", )"
      R"("sequence": {}, "session_id": "sess-{}", "request_id": "req-{}", "process_id": {}, )"
      R"("policy_decision": "{}", "original_tool": "{}", "classification": {{"category": "{}", )"
      R"("confidence_tier": "high", "negative_constraint_match": {}}}, "matched_rule": "r-{}", )"
      R"("decision_latency_ms": {}.{}, "risk_score": {}e-3, "policy_reasons": [{{"code": "N{}", )"
      R"("message": "egress to \"zone-{}\" checked\n\tby rule {}"}}, {{"detail": "caf\u00e9 )"
      R"(\u2603 \ud83d\ude80"}}], "tool_args_redacted": {{"path": "\/tmp\/work\/{}\/report.txt", )"
      R"("url": "https:\/\/example.org\/api\/v1\/items?id={}&page={}"}}, "policy_inputs": )"
      R"({{"canonical_path": "\/tmp\/work\/{}", "allow_base_dirs": ["\/tmp", "\/var\/data", )"
      R"("\/srv"], "zone": "dmz", "limits": [1, 2.5, 100, -7, 0.001]}}, )"
      R"("prev_record_hash": "{}", "record_hash": "{}", "signature": "{}", )"
      R"("signing_key_id": "ed25519:{}"}})",
      rng.below(60), rng.below(60), seq, rng.hex(8), seq, 1000 + rng.below(60000),
      kDecisions[rng.below(3)], kTools[tool], kCategories[tool], rng.below(2) ? "true" : "false",
      rng.below(20), rng.below(200), rng.below(1000), rng.below(100000), rng.below(10),
      rng.below(8), rng.below(50), rng.hex(12), rng.below(100000), rng.below(100), rng.hex(12),
      prev_hash, hash, rng.b64(86), rng.hex(64));
}

struct Corpus {
  std::string text;  // JSON Lines followed by padding for readers that look ahead
  std::vector<std::string_view> lines;
  std::size_t bytes = 0;  // without padding
};

const Corpus& corpus() {
  static const Corpus c = [] {
    Corpus c;
    Rng rng;
    std::string prev = "sha256:" + std::string(64, '0');
    std::string hash;
    for (std::uint64_t i = 0; i < 4000; ++i) {
      c.text += make_record(rng, i, prev, hash);
      c.text.push_back('\n');
      prev = hash;
    }
    c.bytes = c.text.size();
    c.text.append(simdjson::SIMDJSON_PADDING, ' ');
    const char* p = c.text.data();
    const char* end = p + c.bytes;
    while (p < end) {
      const char* nl = static_cast<const char*>(std::memchr(p, '\n', end - p));
      if (nl == nullptr) nl = end;
      c.lines.emplace_back(p, nl - p);
      p = nl + 1;
    }
    return c;
  }();
  return c;
}

// Calls f(line) for each line, splitting with memchr as a JSON Lines reader does.
template <class F>
void for_each_line(const Corpus& c, F&& f) {
  const char* p = c.text.data();
  const char* end = p + c.bytes;
  while (p < end) {
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', end - p));
    if (nl == nullptr) nl = end;
    f(std::string_view(p, nl - p));
    p = nl + 1;
  }
}

void BM_MemchrLines(benchmark::State& state) {
  const Corpus& c = corpus();
  for (auto _ : state) {
    std::size_t n = 0;
    for_each_line(c, [&](std::string_view line) { n += line.size(); });
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.bytes));
}
BENCHMARK(BM_MemchrLines);

void walk(simdjson::ondemand::value v, std::size_t& sink) {
  using simdjson::ondemand::json_type;
  switch (v.type()) {
    case json_type::object:
      for (auto field : v.get_object()) {
        sink += field.unescaped_key().value().size();
        walk(field.value(), sink);
      }
      break;
    case json_type::array:
      for (auto item : v.get_array()) walk(item.value(), sink);
      break;
    case json_type::string:
      sink += v.get_string().value().size();
      break;
    case json_type::number:
      sink += std::string_view(v.raw_json_token()).size();
      break;
    case json_type::boolean:
      sink += v.get_bool().value() ? 1 : 0;
      break;
    case json_type::null:
      sink += v.is_null() ? 1 : 0;
      break;
  }
}

void BM_SimdjsonWalk(benchmark::State& state) {
  const Corpus& c = corpus();
  simdjson::ondemand::parser parser;
  const char* buffer_end = c.text.data() + c.text.size();
  for (auto _ : state) {
    std::size_t sink = 0;
    for_each_line(c, [&](std::string_view line) {
      simdjson::padded_string_view view(line.data(), line.size(),
                                        static_cast<std::size_t>(buffer_end - line.data()));
      auto doc = parser.iterate(view);
      walk(doc.get_value().value(), sink);
    });
    benchmark::DoNotOptimize(sink);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.bytes));
}
BENCHMARK(BM_SimdjsonWalk);

void BM_RapidjsonTree(benchmark::State& state) {
  const Corpus& c = corpus();
  for (auto _ : state) {
    std::size_t members = 0;
    for_each_line(c, [&](std::string_view line) {
      rapidjson::Document d;
      d.Parse<rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseValidateEncodingFlag>(
          line.data(), line.size());
      if (d.HasParseError()) std::abort();
      members += d.MemberCount();
    });
    benchmark::DoNotOptimize(members);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.bytes));
}
BENCHMARK(BM_RapidjsonTree);

void BM_ReadRecords(benchmark::State& state) {
  const Corpus& c = corpus();
  std::size_t held = 0;
  for (auto _ : state) {
    held = 0;
    for_each_line(c, [&](std::string_view line) {
      auto r = telmir::json::parse_padded(line);
      if (!r) std::abort();
      held += (*r)->memory_bytes() + sizeof(telmir::json::Document) + 32;
    });
    benchmark::DoNotOptimize(held);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.bytes));
  state.counters["memory_per_text_byte"] = static_cast<double>(held) / static_cast<double>(c.bytes);
}
BENCHMARK(BM_ReadRecords);

void BM_ValidateRecords(benchmark::State& state) {
  const Corpus& c = corpus();
  for (auto _ : state) {
    std::size_t ok = 0;
    for_each_line(c, [&](std::string_view line) { ok += telmir::json::validate(line) ? 1 : 0; });
    benchmark::DoNotOptimize(ok);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.bytes));
}
BENCHMARK(BM_ValidateRecords);

// Fixed cost of one record: the smallest object.
void BM_ReadEmptyObject(benchmark::State& state) {
  const std::string text = "{}";
  for (auto _ : state) {
    auto r = telmir::json::parse(text);
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_ReadEmptyObject);

const std::vector<Record>& records() {
  static const std::vector<Record> r = [] {
    std::vector<Record> out;
    for (std::string_view line : corpus().lines) out.push_back(*telmir::json::parse(line));
    return out;
  }();
  return r;
}

void BM_WriteCompact(benchmark::State& state) {
  const auto& recs = records();
  std::string out;
  std::size_t bytes = 0;
  for (auto _ : state) {
    bytes = 0;
    for (const Record& r : recs) {
      out.clear();
      telmir::json::write_compact(r->root(), out);
      bytes += out.size();
    }
    benchmark::DoNotOptimize(out.data());
  }
  // Throughput over the input text, so the figures compare with the readers.
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * corpus().bytes));
  state.counters["output_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_WriteCompact);

void BM_CanonicalJson(benchmark::State& state) {
  const auto& recs = records();
  std::string out;
  for (auto _ : state) {
    for (const Record& r : recs) {
      out.clear();
      if (!telmir::canonical::append_canonical_json(r->root(), out)) std::abort();
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * corpus().bytes));
}
BENCHMARK(BM_CanonicalJson);

// Prints the goals' ratios after the usual table: the best throughput of each benchmark in this
// run (repetitions vary a lot on a shared machine), reading against the references.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      // Single runs, or only the aggregates when those alone are reported.
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      const auto found = run.counters.find("bytes_per_second");
      if (found == run.counters.end()) continue;
      double& best = best_[run.run_name.function_name];
      best = std::max(best, static_cast<double>(found->second));
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    const double read = best_["BM_ReadRecords"];
    auto ratio = [&](const char* name) {
      const double other = best_[name];
      return other > 0 ? read / other : 0.0;
    };
    if (read <= 0) return;
    std::printf("reading / RapidJSON tree builder: %.2f (goal >= 2)\n", ratio("BM_RapidjsonTree"));
    std::printf("reading / simdjson no-tree walk:  %.2f (goal >= 0.5)\n", ratio("BM_SimdjsonWalk"));
    std::printf("reading / memchr line split:      %.3f\n", ratio("BM_MemchrLines"));
  }

 private:
  std::map<std::string, double> best_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
