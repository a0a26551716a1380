#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "spc/spc.h"
#include "spc_fixture.h"

namespace telmir::spc {
namespace {

using spc_test::rec;

constexpr double kNegZero = -0.0;

struct MetricsCase {
  const char* name;
  std::vector<const char*> records;
  std::array<double, kMetricCount> expected;
};

std::vector<json::Record> build(const std::vector<const char*>& texts) {
  std::vector<json::Record> out;
  for (const char* t : texts) out.push_back(rec(t));
  return out;
}

TEST(SpcMetrics, FollowTheLabelAndLookupRules) {
  const std::vector<MetricsCase> cases = {
      {"one ALLOW record",
       {R"({"policy_decision":"ALLOW","classification":{"category":"read"},"matched_rule":"r","original_tool":"t","decision_latency_ms":10})"},
       {1.0, kNegZero, 1.0, 0.0, 1.0, 1.0, 10.0}},
      {"one DENY record",
       {R"({"policy_decision":"DENY"})"},
       {0.0, kNegZero, 1.0, 0.0, 1.0, 1.0, 0.0}},
      {"no records", {}, {0.0, kNegZero, 0.0, 0.0, 1.0, 0.0, 0.0}},
      {"only the exact ALLOW counts",
       {R"({"policy_decision":"ALLOW"})", R"({"policy_decision":"allow"})",
        R"({"policy_decision":"ALLOW "})", R"({"policy_decision":["ALLOW"]})"},
       {0.25, kNegZero, 1.0, 0.0, 4.0, 1.0, 0.0}},
      {"two equally frequent labels give one bit",
       {R"({"classification":{"category":"read"}})", R"({"classification":{"category":"write"}})"},
       {0.0, 1.0, 1.0, 0.0, 2.0, 1.0, 0.0}},
      {"four equally frequent labels give two bits",
       {R"({"classification":{"category":"a"}})", R"({"classification":{"category":"b"}})",
        R"({"classification":{"category":"c"}})", R"({"classification":{"category":"d"}})"},
       {0.0, 2.0, 1.0, 0.0, 4.0, 1.0, 0.0}},
      {"missing classification and one without category or action_type share unknown",
       {R"({})", R"({"classification":{"confidence_tier":"high"}})", R"({"classification":"read"})",
        R"({"classification":{"category":"unknown"}})"},
       {0.0, kNegZero, 1.0, 0.0, 4.0, 1.0, 0.0}},
      {"a null category is the label null, not unknown",
       {R"({"classification":{"category":null}})", R"({})"},
       {0.0, 1.0, 1.0, 0.0, 2.0, 1.0, 0.0}},
      {"a null category and the string null are one label",
       {R"({"classification":{"category":null}})", R"({"classification":{"category":"null"}})"},
       {0.0, kNegZero, 1.0, 0.0, 2.0, 1.0, 0.0}},
      {"a number category is its text",
       {R"({"classification":{"category":3}})", R"({"classification":{"category":"3"}})",
        R"({"classification":{"category":3.0}})", R"({"classification":{"category":"3.0"}})"},
       {0.0, 1.0, 1.0, 0.0, 4.0, 1.0, 0.0}},
      {"action_type only when category is absent",
       {R"({"classification":{"action_type":"read"}})", R"({"classification":{"category":"read"}})",
        R"({"classification":{"category":true,"action_type":"read"}})",
        R"({"classification":{"category":"true"}})"},
       {0.0, 1.0, 1.0, 0.0, 4.0, 1.0, 0.0}},
      {"compound categories are compact text in stored order",
       {R"({"classification":{"category":[1, 2]}})", R"({"classification":{"category":[1,2]}})",
        R"({"classification":{"category":{"b":1,"a":2}}})",
        R"({"classification":{"category":{"a":2,"b":1}}})"},
       {0.0, 1.5, 1.0, 0.0, 4.0, 1.0, 0.0}},
      {"approval_event_id counts whatever its value; approval_id does not",
       {R"({"approval_event_id":null})", R"({"approval_event_id":""})",
        R"({"approval_event_id":"appr-1"})", R"({"approval_id":"appr-2"})"},
       {0.0, kNegZero, 1.0, 3.0, 4.0, 1.0, 0.0}},
      {"missing and non-string rules share unknown",
       {R"({})", R"({"matched_rule":5})", R"({"matched_rule":null})", R"({"matched_rule":"r1"})",
        R"({"matched_rule":"r1"})", R"({})"},
       {0.0, kNegZero, 4.0 / 6.0, 0.0, 6.0, 1.0, 0.0}},
      {"tool keys: empty string, fallback, non-string",
       {R"({"original_tool":""})", R"({"tool_name":"x"})", R"({"original_tool":5,"tool_name":"y"})",
        R"({})", R"({"original_tool":"x"})"},
       {0.0, kNegZero, 1.0, 0.0, 5.0, 3.0, 0.0}},
      {"a string decision_latency_ms hides latency_ms",
       {R"({"decision_latency_ms":"12","latency_ms":30})", R"({"latency_ms":30})",
        R"({"decision_latency_ms":null,"latency_ms":99})", R"({"decision_latency_ms":1.5e1})"},
       {0.0, kNegZero, 1.0, 0.0, 4.0, 1.0, 22.5}},
      {"no latency gives zero",
       {R"({"latency_ms":"5"})", R"({})"},
       {0.0, kNegZero, 1.0, 0.0, 2.0, 1.0, 0.0}},
      {"negative zero latencies average to negative zero",
       {R"({"latency_ms":-0.0})", R"({"latency_ms":-0})"},
       {0.0, kNegZero, 1.0, 0.0, 2.0, 1.0, kNegZero}},
  };
  for (const MetricsCase& c : cases) {
    SCOPED_TRACE(c.name);
    const auto records = build(c.records);
    const SpcMetrics m = compute_spc_metrics(records);
    for (std::size_t i = 0; i < kMetricCount; ++i) {
      SCOPED_TRACE(std::string(m[i].metric_id));
      EXPECT_EQ(m[i].metric_id, spc_metric_ids()[i]);
      EXPECT_EQ(std::bit_cast<std::uint64_t>(m[i].value),
                std::bit_cast<std::uint64_t>(c.expected[i]))
          << m[i].value << " vs " << c.expected[i];
    }
  }
}

TEST(SpcMetrics, CatalogueNamesAndWindows) {
  struct Case {
    const char* id;
    const char* name;
    const char* window;
  };
  const Case cases[] = {
      {"SPC-001", "ALLOW rate", "aggregate"},          {"SPC-002", "Classification entropy", "24h"},
      {"SPC-003", "Rule concentration", "24h"},        {"SPC-004", "Approval velocity", "24h"},
      {"SPC-005", "Decision throughput", "aggregate"}, {"SPC-006", "Tool diversity", "24h"},
      {"SPC-007", "Decision latency", "per-decision"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    const SpcMetricInfo info = spc_metric_info(c.id);
    EXPECT_EQ(info.metric_name, c.name);
    EXPECT_EQ(info.window, c.window);
  }
  EXPECT_TRUE(spc_metric_info("SPC-008").metric_name.empty());
}

TEST(SpcMetrics, OverflowingLatenciesGiveANonFiniteMean) {
  const auto records = build({R"({"latency_ms":1e308})", R"({"latency_ms":1e308})"});
  EXPECT_TRUE(std::isinf(compute_spc_metrics(records)[6].value));
  const auto huge = build({R"({"latency_ms":1e400})"});
  EXPECT_TRUE(std::isinf(compute_spc_metrics(huge)[6].value));
}

}  // namespace
}  // namespace telmir::spc
