// The chain reader over generated chains: a whole read against reading the same file and
// parsing its lines with the JSON reader, incremental reads of 1,000 appended records at two
// chain sizes, an unchanged file, and the history's memory relative to the file.
//
// Chains are generated once into the system's temporary directory and kept there between runs
// (telmir-bench-chain-<N>.jsonl).

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "chain_generator/chain_generator.h"
#include "governance/chain_reader.h"
#include "platform/fs.h"
#include "platform/text.h"

namespace {

using telmir::chaingen::ChainBuilder;
using telmir::chaingen::ChainOptions;
using telmir::chaingen::GovernanceSigner;

constexpr std::string_view kSeedHex =
    "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";

std::string chain_path(std::size_t n) {
  return (std::filesystem::temp_directory_path() /
          ("telmir-bench-chain-" + std::to_string(n) + ".jsonl"))
      .string();
}

// Generated in pieces so that a million records never sit in memory as lines twice.
const std::string& generated_chain(std::size_t n) {
  static std::map<std::size_t, std::string> paths;
  auto it = paths.find(n);
  if (it != paths.end()) return it->second;
  const std::string path = chain_path(n);
  if (!std::filesystem::exists(path)) {
    const std::string tmp = path + ".partial";
    std::remove(tmp.c_str());
    ChainBuilder builder(GovernanceSigner::from_seed_hex(kSeedHex).value());
    constexpr std::size_t kPiece = 50000;
    for (std::size_t done = 0; done < n; done += kPiece) {
      ChainBuilder piece(builder.signer());
      piece.set_last_record_hash(builder.last_record_hash());
      ChainOptions options;
      options.records = std::min(kPiece, n - done);
      options.rng_seed = 1 + done;
      options.start_epoch_seconds = 1772352000 + static_cast<std::int64_t>(done) * 7;
      options.policy_rules_hash = "sha256:" + std::string(64, 'a');
      options.capability_registry_hash = "sha256:" + std::string(64, 'b');
      if (!telmir::chaingen::generate_chain(piece, options)) std::abort();
      if (!piece.append_to_file(tmp, 0)) std::abort();
      builder.set_last_record_hash(piece.last_record_hash());
    }
    std::filesystem::rename(tmp, path);
  }
  return paths.emplace(n, path).first->second;
}

// 1,000 further records, as lines, to append in the incremental benchmark.
const std::string& appended_block() {
  static const std::string block = [] {
    ChainBuilder builder(GovernanceSigner::from_seed_hex(kSeedHex).value());
    ChainOptions options;
    options.records = 1000;
    options.rng_seed = 99;
    if (!telmir::chaingen::generate_chain(builder, options)) std::abort();
    return builder.text();
  }();
  return block;
}

std::size_t resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

void BM_WholeRead(benchmark::State& state) {
  const std::string& path = generated_chain(static_cast<std::size_t>(state.range(0)));
  const auto size = telmir::platform::file_status(path)->size;
  std::size_t records = 0;
  double rss_ratio = 0;
  double arena_ratio = 0;
  {
    // An untimed first read sees fresh memory, which gives the history's memory figures; the
    // timed reads then reuse what the allocators kept, as the reference's do.
    telmir::governance::ChainReader reader(path);
    const std::size_t before = resident_bytes();
    auto got = reader.read_new_records();
    if (!got) state.SkipWithError(got.error().c_str());
    rss_ratio = static_cast<double>(resident_bytes() - before) / static_cast<double>(size);
    std::size_t arena = 0;
    for (const auto& r : reader.chain_history()) arena += r->memory_bytes();
    arena_ratio = static_cast<double>(arena) / static_cast<double>(size);
  }
  for (auto _ : state) {
    telmir::governance::ChainReader reader(path);
    auto got = reader.read_new_records();
    if (!got) state.SkipWithError(got.error().c_str());
    records = got->size();
    got->clear();
  }
  state.counters["records"] = static_cast<double>(records);
  state.counters["file_MB"] = static_cast<double>(size) / 1e6;
  state.counters["history_rss_per_file_byte"] = rss_ratio;
  state.counters["history_arena_per_file_byte"] = arena_ratio;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

// The least a reader can do: read the file into memory and parse every line into a record.
void BM_ReadAndParseLinesReference(benchmark::State& state) {
  const std::string& path = generated_chain(static_cast<std::size_t>(state.range(0)));
  const auto size = telmir::platform::file_status(path)->size;
  auto read_and_parse = [&] {
    auto buf = telmir::platform::read_file_padded(path);
    std::vector<telmir::json::Record> records;
    for (const auto& line : telmir::platform::split_json_lines(buf->view())) {
      auto r = telmir::json::parse_padded(line.text);
      if (!r) std::abort();
      records.push_back(std::move(*r));
    }
    benchmark::DoNotOptimize(records.data());
  };
  read_and_parse();  // untimed, as the whole read's first one
  for (auto _ : state) read_and_parse();
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

// Reading the bytes and finding the line feeds, nothing else.
void BM_ReadAndMemchrReference(benchmark::State& state) {
  const std::string& path = generated_chain(static_cast<std::size_t>(state.range(0)));
  const auto size = telmir::platform::file_status(path)->size;
  for (auto _ : state) {
    auto buf = telmir::platform::read_file_padded(path);
    std::size_t lines = 0;
    const char* p = buf->data();
    const char* end = p + buf->size();
    while (const void* hit = std::memchr(p, '\n', static_cast<std::size_t>(end - p))) {
      ++lines;
      p = static_cast<const char*>(hit) + 1;
    }
    benchmark::DoNotOptimize(lines);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void BM_IncrementalRead1000(benchmark::State& state) {
  const std::string& source = generated_chain(static_cast<std::size_t>(state.range(0)));
  const std::string path = source + ".grow";
  std::filesystem::copy_file(source, path, std::filesystem::copy_options::overwrite_existing);
  telmir::governance::ChainReader reader(path);
  if (!reader.read_new_records()) std::abort();
  const std::string& block = appended_block();
  for (auto _ : state) {
    state.PauseTiming();
    std::FILE* f = std::fopen(path.c_str(), "ab");
    std::fwrite(block.data(), 1, block.size(), f);
    std::fclose(f);
    state.ResumeTiming();
    auto got = reader.read_new_records();
    if (!got || got->size() != 1000) state.SkipWithError("expected 1000 records");
  }
  state.counters["history"] = static_cast<double>(reader.chain_history().size());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * block.size()));
  std::remove(path.c_str());
}

void BM_UnchangedRead(benchmark::State& state) {
  const std::string& path = generated_chain(10000);
  telmir::governance::ChainReader reader(path);
  if (!reader.read_new_records()) std::abort();
  for (auto _ : state) {
    auto got = reader.read_new_records();
    benchmark::DoNotOptimize(got);
  }
}

BENCHMARK(BM_WholeRead)->Arg(10000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ReadAndParseLinesReference)
    ->Arg(10000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK(BM_ReadAndMemchrReference)->Arg(10000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IncrementalRead1000)
    ->Arg(10000)
    ->Arg(1000000)
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(50);
BENCHMARK(BM_UnchangedRead)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
