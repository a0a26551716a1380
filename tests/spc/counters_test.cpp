#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "spc/spc.h"
#include "spc_fixture.h"

namespace telmir::spc {
namespace {

// A record of random shape: every reader's alternatives, wrong types and awkward numbers.
std::string random_record(std::mt19937_64& rng) {
  auto pick = [&](std::initializer_list<const char*> options) {
    std::uniform_int_distribution<std::size_t> d(0, options.size() - 1);
    return std::string(*(options.begin() + d(rng)));
  };
  std::string r = "{";
  auto add = [&](const std::string& member) {
    if (member.empty()) return;
    if (r.size() > 1) r += ",";
    r += member;
  };
  add(pick({R"("policy_decision":"ALLOW")", R"("policy_decision":"DENY")",
            R"("policy_decision":"allow")", R"("policy_decision":1)", ""}));
  add(pick({R"("classification":{"category":"read"})", R"("classification":{"category":"write"})",
            R"("classification":{"category":"é"})", R"("classification":{"category":"Z"})",
            R"("classification":{"category":null})", R"("classification":{"category":3})",
            R"("classification":{"action_type":"net"})", R"("classification":{"x":1})",
            R"("classification":{"category":[1,{"a":2}]})", R"("classification":"read")", ""}));
  add(pick({R"("matched_rule":"r1")", R"("matched_rule":"r2")", R"("matched_rule":"r3")",
            R"("matched_rule":4)", ""}));
  add(pick({R"("original_tool":"read_file")", R"("original_tool":"")", R"("tool_name":"t2")",
            R"("original_tool":9,"tool_name":"t3")", R"("tool_name":"t4")", ""}));
  add(pick({R"("approval_event_id":"a")", R"("approval_event_id":null)", R"("approval_id":"b")", "",
            ""}));
  add(pick({R"("decision_latency_ms":12)", R"("decision_latency_ms":0.1)",
            R"("decision_latency_ms":-0.0)", R"("decision_latency_ms":-0)",
            R"("latency_ms":1e-300)", R"("latency_ms":123456789.123456789)",
            R"("latency_ms":0.30000000000000004)", R"("decision_latency_ms":"7","latency_ms":3)",
            R"("latency_ms":-2.5e3)", R"("decision_latency_ms":1e16)", ""}));
  return r + "}";
}

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

TEST(SpcCounters, RunningCountsEqualFullRecomputationBitForBit) {
  for (std::uint64_t seed = 1; seed <= 20; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    std::vector<json::Record> list;
    SpcCounters counters;
    for (int i = 0; i < 150; ++i) {
      list.push_back(spc_test::rec(random_record(rng)));
      counters.add(list.back()->root());
      const SpcMetrics full = compute_spc_metrics(list);
      const SpcMetrics running = counters.metrics();
      for (std::size_t m = 0; m < kMetricCount; ++m) {
        ASSERT_EQ(bits(running[m].value), bits(full[m].value))
            << full[m].metric_id << " after " << list.size() << ": " << running[m].value << " vs "
            << full[m].value;
      }
    }
  }
}

TEST(SpcCounters, AllNegativeZeroLatenciesKeepTheirSign) {
  SpcCounters counters;
  std::vector<json::Record> list;
  for (int i = 0; i < 3; ++i) {
    list.push_back(spc_test::rec(R"({"latency_ms":-0.0,"classification":{"category":"x"}})"));
    counters.add(list.back()->root());
  }
  EXPECT_EQ(bits(counters.metrics()[6].value), bits(-0.0));
  EXPECT_EQ(bits(counters.metrics()[1].value), bits(-0.0));
  EXPECT_EQ(bits(compute_spc_metrics(list)[6].value), bits(-0.0));
}

}  // namespace
}  // namespace telmir::spc
