// The indexed rules agree with the rules run as written over randomised histories that mix
// repeated, missing and non-string hashes, references, operators and odd timestamps.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "behavioral/behavioral.h"
#include "fixture.h"
#include "reference_rules.h"

namespace telmir::behavioral {
namespace {

class Random {
 public:
  explicit Random(std::uint64_t seed) : engine_(seed) {}
  std::size_t below(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(engine_);
  }
  bool chance(int percent) { return below(100) < static_cast<std::size_t>(percent); }
  template <class T, std::size_t N>
  const T& pick(const T (&items)[N]) {
    return items[below(N)];
  }

 private:
  std::mt19937_64 engine_;
};

// A member text `"key": value,` or nothing.
std::string member(Random& rng, const char* key, const std::string& value, int percent = 80) {
  return rng.chance(percent) ? fmt::format("\"{}\": {}, ", key, value) : "";
}

std::string random_record(Random& rng) {
  static const char* kHashes[] = {"\"h1\"", "\"h2\"", "\"h3\"", "\"h4\"", "5", "null"};
  static const char* kTools[] = {"\"a\"", "\"b\"", "\"c\"", "7"};
  static const char* kDecisions[] = {"\"ALLOW\"", "\"DENY\"", "\"allow\"", "1"};
  static const char* kKinds[] = {"\"opaque_artifact_approval\"",
                                 "\"opaque_artifact_revocation\"",
                                 "\"policy_reload\"",
                                 "\"heartbeat\"",
                                 "\"classifier_x\"",
                                 "\"capability_registry_reload\"",
                                 "2"};
  static const char* kRefs[] = {"\"A1\"", "\"A2\"", "\"h1\"", "\"h2\"", "3"};
  static const char* kOperators[] = {"\"alice\"", "\"bob\"", "4"};
  static const char* kRules[] = {"\"approved_lookup\"", "\"r1\"", "\"r2\"", "\"\"", "9"};
  static const char* kLabels[] = {"\"read\"", "\"write\"", "3", "{\"x\": 1}", "null"};
  static const char* kTimes[] = {"\"2026-03-01T02:00:00Z\"",
                                 "\"2026-03-01T10:00:00Z\"",
                                 "\"2026-03-01T10:00:01Z\"",
                                 "\"2026-03-01 23:30:00-02:00\"",
                                 "\"2026-03-01T13:00:00+05:00\"",
                                 "\"2026-03-01T05:59:59Z\"",
                                 "\"2026-03-01T06:00:00Z\"",
                                 "\"2026-03-01T08:00:00Z\"",
                                 "\"2026-03-01T18:59:59Z\"",
                                 "\"2026-03-01T19:00:00Z\"",
                                 "\"garbage\"",
                                 "0"};
  if (rng.chance(3)) return "[1, 2]";
  std::string text = "{";
  text += member(rng, "record_hash", rng.pick(kHashes), 85);
  text += member(rng, "policy_decision", rng.pick(kDecisions), 60);
  text += member(rng, rng.chance(70) ? "original_tool" : "tool_name", rng.pick(kTools));
  text += member(rng, rng.chance(70) ? "event_type" : "record_type", rng.pick(kKinds), 50);
  text += member(rng, "event_id", rng.pick(kRefs), 40);
  text += member(rng, "approval_id", rng.pick(kRefs), 20);
  text += member(rng, rng.chance(60) ? "approval_event_id" : "approval_id", rng.pick(kRefs), 40);
  text += member(rng, rng.chance(60) ? "operator" : "approving_operator", rng.pick(kOperators), 60);
  text += member(rng, "matched_rule", rng.pick(kRules), 80);
  text += member(
      rng, "classification",
      fmt::format("{{\"{}\": {}}}", rng.chance(70) ? "category" : "action_type", rng.pick(kLabels)),
      85);
  text += member(rng, rng.chance(80) ? "timestamp_utc" : "timestamp", rng.pick(kTimes), 90);
  text += "\"n\": 0}";
  return text;
}

TEST(BehaviouralIndexes, IndexedRulesMatchTheRulesAsWritten) {
  testing::TempDir dir;
  config::Config config = testing::config_in(dir);
  dir.write("policy-rules.json",
            R"({"rules": [{"id": "r1"}, {"id": "r3"}, {"name": "approved_lookup"}]})");
  std::size_t total_findings = 0;
  for (std::uint64_t seed = 1; seed <= 400; ++seed) {
    SCOPED_TRACE(seed);
    Random rng(seed);
    config.approval_max_age_seconds = rng.pick({0ull, 1ull, 3600ull, 86400ull});
    const std::size_t size = rng.below(seed % 10 == 0 ? 200 : 40);
    std::vector<json::Record> history;
    for (std::size_t i = 0; i < size; ++i) {
      std::string text = random_record(rng);
      auto parsed = json::parse(text);
      ASSERT_TRUE(parsed.has_value()) << text << ": " << parsed.error();
      history.push_back(*parsed);
    }
    std::vector<BehaviouralFinding> indexed = find_behavioural_patterns(config, history);
    std::vector<BehaviouralFinding> reference = testing::reference_patterns(config, history);
    ASSERT_EQ(indexed.size(), reference.size());
    for (std::size_t i = 0; i < indexed.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(indexed[i], reference[i]) << indexed[i].detail << " vs " << reference[i].detail;
    }
    total_findings += indexed.size();
  }
  EXPECT_GT(total_findings, 0u);
}

}  // namespace
}  // namespace telmir::behavioral
