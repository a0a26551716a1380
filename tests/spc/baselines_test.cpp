#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "spc/spc.h"
#include "spc_fixture.h"

namespace telmir::spc {
namespace {

using spc_test::read_records;
using spc_test::rec;
using spc_test::TempDir;

SpcBaseline baseline(std::string id, double center, double ucl, double lcl,
                     std::uint64_t samples = 10) {
  const SpcMetricInfo info = spc_metric_info(id);
  return SpcBaseline{id,      std::string(info.metric_name), center, 0.0, ucl, lcl,
                     samples, std::string(info.window)};
}

std::string read_text(const std::string& path) {
  auto t = platform::read_file(path);
  EXPECT_TRUE(t.has_value()) << path;
  return t ? *t : std::string();
}

void write_text(const std::string& path, std::string_view text) {
  ASSERT_TRUE(platform::replace_file_atomically(path, text).has_value());
}

json::Record decision(const char* verdict = "ALLOW", const char* tool = "read_file") {
  return rec(
      std::string(R"({"policy_decision":")") + verdict + R"(","original_tool":")" + tool +
      R"(","classification":{"category":"read"},"matched_rule":"r1","decision_latency_ms":12})");
}

TEST(BaselineFile, IsWrittenByteForByte) {
  SpcBaselines b;
  b["SPC-001"] = SpcBaseline{"SPC-001", "ALLOW rate", 0.75, 0.0, 0.75, -0.0, 120, "aggregate"};
  b["SPC-007"] = SpcBaseline{"SPC-007",
                             "Decision \"latency\"\x1f",
                             1e16,
                             1.5e-7,
                             1e100,
                             5e-324,
                             std::numeric_limits<std::uint64_t>::max(),
                             "per-decision"};
  b["SPC-003"] = SpcBaseline{"SPC-003", "Rule concentration",
                             123.0,     0.00001,
                             1234.5678, std::numeric_limits<double>::quiet_NaN(),
                             0,         "24h"};
  b["SPC-004"] = SpcBaseline{"SPC-004",
                             "Approval velocity",
                             std::numeric_limits<double>::infinity(),
                             1e-6,
                             9999999999999998.0,
                             -1.7976931348623157e308,
                             1,
                             "24h"};
  const std::string expected =
      "{\n"
      "  \"SPC-001\": {\n"
      "    \"metric_id\": \"SPC-001\",\n"
      "    \"metric_name\": \"ALLOW rate\",\n"
      "    \"center_line\": 0.75,\n"
      "    \"stddev\": 0.0,\n"
      "    \"ucl\": 0.75,\n"
      "    \"lcl\": -0.0,\n"
      "    \"samples\": 120,\n"
      "    \"window\": \"aggregate\"\n"
      "  },\n"
      "  \"SPC-003\": {\n"
      "    \"metric_id\": \"SPC-003\",\n"
      "    \"metric_name\": \"Rule concentration\",\n"
      "    \"center_line\": 123.0,\n"
      "    \"stddev\": 0.00001,\n"
      "    \"ucl\": 1234.5678,\n"
      "    \"lcl\": null,\n"
      "    \"samples\": 0,\n"
      "    \"window\": \"24h\"\n"
      "  },\n"
      "  \"SPC-004\": {\n"
      "    \"metric_id\": \"SPC-004\",\n"
      "    \"metric_name\": \"Approval velocity\",\n"
      "    \"center_line\": null,\n"
      "    \"stddev\": 1e-6,\n"
      "    \"ucl\": 9999999999999998.0,\n"
      "    \"lcl\": -1.7976931348623157e+308,\n"
      "    \"samples\": 1,\n"
      "    \"window\": \"24h\"\n"
      "  },\n"
      "  \"SPC-007\": {\n"
      "    \"metric_id\": \"SPC-007\",\n"
      "    \"metric_name\": \"Decision \\\"latency\\\"\\u001f\",\n"
      "    \"center_line\": 1e+16,\n"
      "    \"stddev\": 1.5e-7,\n"
      "    \"ucl\": 1e+100,\n"
      "    \"lcl\": 5e-324,\n"
      "    \"samples\": 18446744073709551615,\n"
      "    \"window\": \"per-decision\"\n"
      "  }\n"
      "}";
  EXPECT_EQ(render_baselines(b), expected);
  EXPECT_EQ(render_baselines({}), "{}");
}

TEST(BaselineFile, ReadsWhatItWrites) {
  SpcBaselines b;
  for (std::string_view id : spc_metric_ids()) {
    b[std::string(id)] =
        baseline(std::string(id), 0.1 * static_cast<double>(id.back()), 3e-9, -0.0, 77);
  }
  auto back = parse_baselines(render_baselines(b));
  ASSERT_TRUE(back.has_value()) << back.error();
  EXPECT_EQ(*back, b);
  EXPECT_TRUE(std::signbit(back->at("SPC-001").lcl));
}

TEST(BaselineFile, ReadingAcceptsTheListedVariantsAndRefusesTheRest) {
  const std::string fields =
      R"("metric_id":"SPC-001","metric_name":"ALLOW rate","center_line":1,"stddev":0,"ucl":2.5,"lcl":-1,"samples":3,"window":"aggregate")";
  struct Case {
    const char* name;
    std::string text;
    bool ok;
  };
  const std::vector<Case> cases = {
      {"compact object with integer doubles", "{\"SPC-001\":{" + fields + "}}", true},
      {"any white space and key order",
       " \n{ \"SPC-001\" :\t{\"window\":\"aggregate\", \"samples\":3, \"lcl\":-1, \"ucl\":2.5, "
       "\"stddev\":0, \"center_line\":1, \"metric_name\":\"ALLOW rate\", "
       "\"metric_id\":\"SPC-001\"} }\n\n",
       true},
      {"unknown fields are ignored", "{\"SPC-001\":{" + fields + ",\"note\":{\"x\":[1]}}}", true},
      {"array form", R"({"SPC-001":["SPC-001","ALLOW rate",1,0,2.5,-1,3,"aggregate"]})", true},
      {"empty object", "{}", true},
      {"largest samples",
       "{\"SPC-001\":{" + fields.substr(0, fields.find("\"samples\"")) +
           "\"samples\":18446744073709551615,\"window\":\"aggregate\"}}",
       true},
      {"a field given twice", "{\"SPC-001\":{" + fields + ",\"ucl\":3}}", false},
      {"a missing field",
       R"({"SPC-001":{"metric_id":"SPC-001","metric_name":"ALLOW rate","center_line":1,"stddev":0,"ucl":2.5,"lcl":-1,"window":"aggregate"}})",
       false},
      {"samples negative",
       "{\"SPC-001\":{" + fields.substr(0, fields.find("\"samples\"")) +
           "\"samples\":-1,\"window\":\"aggregate\"}}",
       false},
      {"samples fractional",
       "{\"SPC-001\":{" + fields.substr(0, fields.find("\"samples\"")) +
           "\"samples\":3.0,\"window\":\"aggregate\"}}",
       false},
      {"samples beyond 64 bits",
       "{\"SPC-001\":{" + fields.substr(0, fields.find("\"samples\"")) +
           "\"samples\":18446744073709551616,\"window\":\"aggregate\"}}",
       false},
      {"a double given as a string",
       "{\"SPC-001\":{" + fields.substr(0, fields.find("\"ucl\"")) +
           "\"ucl\":\"2.5\",\"lcl\":-1,\"samples\":3,\"window\":\"aggregate\"}}",
       false},
      {"an array of seven", R"({"SPC-001":["SPC-001","ALLOW rate",1,0,2.5,-1,3]})", false},
      {"a baseline that is a number", R"({"SPC-001":1})", false},
      {"content after the object", "{\"SPC-001\":{" + fields + "}} {}", false},
      {"not an object", "[]", false},
      {"empty text", "", false},
      {"invalid UTF-8",
       "{\"SPC-001\":{" + fields.substr(0, fields.find("\"window\"")) + "\"window\":\"\xff\"}}",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto parsed = parse_baselines(c.text);
    EXPECT_EQ(parsed.has_value(), c.ok) << (parsed ? "" : parsed.error());
    if (parsed && !parsed->empty()) {
      const SpcBaseline& b = parsed->at("SPC-001");
      EXPECT_EQ(b.metric_name, "ALLOW rate");
      EXPECT_EQ(b.window, "aggregate");
    }
  }
}

class SpcStateTest : public ::testing::Test {
 protected:
  std::string baseline_path() const { return dir_.file("telmir/spc-baselines.json"); }
  std::string qa_path() const { return dir_.file("qa-chain.jsonl"); }

  std::vector<std::string> observe(SpcState& state, qa::QaChainWriter& writer,
                                   const json::Record& r) {
    auto got = observe_decision(state, r, writer);
    EXPECT_TRUE(got.has_value()) << got.error();
    return got ? *got : std::vector<std::string>{};
  }

  void write_baselines(const SpcBaselines& b) {
    ASSERT_TRUE(platform::create_directories(dir_.file("telmir")).has_value());
    write_text(baseline_path(), render_baselines(b));
  }

  TempDir dir_;
};

TEST_F(SpcStateTest, StartsLearningWithoutAUsableFile) {
  const std::string full_entry =
      R"({"metric_id":"SPC-001","metric_name":"ALLOW rate","center_line":1,"stddev":0,"ucl":1,"lcl":1,"samples":3,"window":"aggregate"})";
  const std::string no_samples =
      R"({"metric_id":"SPC-002","metric_name":"Classification entropy","center_line":1,"stddev":0,"ucl":1,"lcl":1,"window":"24h"})";
  struct Case {
    const char* name;
    std::optional<std::string> file;
  };
  const Case cases[] = {
      {"no file", std::nullopt},
      {"empty file", ""},
      {"empty object", "{}"},
      {"one entry lacks samples",
       "{\"SPC-001\":" + full_entry + ",\"SPC-002\":" + no_samples + "}"},
      {"not JSON", "{\"SPC-001\":"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.file("spc.json");
    if (c.file) write_text(path, *c.file);
    SpcState state = load_spc_state(path, 3);
    EXPECT_TRUE(state.baselines().empty());
    auto writer = spc_test::open_writer(dir.file("qa.jsonl"));
    EXPECT_TRUE(observe(state, writer, decision()).empty());
    EXPECT_TRUE(observe(state, writer, decision()).empty());
    EXPECT_EQ(platform::read_file(path).value_or("<missing>"), c.file.value_or("<missing>"))
        << "written before learning";
    EXPECT_TRUE(spc_learning(state));
    EXPECT_TRUE(observe(state, writer, decision()).empty());
    EXPECT_FALSE(spc_learning(state));
    auto written = parse_baselines(read_text(path));
    ASSERT_TRUE(written.has_value()) << written.error();
    EXPECT_EQ(written->size(), kMetricCount);
    EXPECT_EQ(written->at("SPC-005").samples, 3u);
    EXPECT_TRUE(read_records(dir.file("qa.jsonl")).empty())
        << "the learning decision is not checked";
  }
}

TEST_F(SpcStateTest, LoadedEntriesWithUnknownFieldsAreUsed) {
  ASSERT_TRUE(platform::create_directories(dir_.file("telmir")).has_value());
  write_text(
      baseline_path(),
      R"({"SPC-005":{"metric_id":"SPC-005","metric_name":"Decision throughput","center_line":1,"stddev":0,"ucl":1,"lcl":1,"samples":1,"window":"aggregate","owner":"ops"}})");
  SpcState state = load_spc_state(baseline_path(), 1);
  ASSERT_EQ(state.baselines().size(), 1u);
  auto writer = spc_test::open_writer(qa_path());
  EXPECT_TRUE(observe(state, writer, decision()).empty()) << "1 equals the limits";
  EXPECT_EQ(observe(state, writer, decision()), std::vector<std::string>{"SPC-005"});
}

TEST_F(SpcStateTest, PartialBaselinesCheckOnlyTheirMetricsAndNeverLearnTheRest) {
  SpcBaselines b;
  b["SPC-001"] = baseline("SPC-001", 1.0, 1.0, 1.0);
  b["SPC-002"] = baseline("SPC-002", 0.0, 0.0, 0.0);
  write_baselines(b);
  const std::string before = read_text(baseline_path());
  SpcState state = load_spc_state(baseline_path(), 2);
  auto writer = spc_test::open_writer(qa_path());
  EXPECT_TRUE(observe(state, writer, decision("DENY")).empty()) << "still learning";
  EXPECT_TRUE(spc_learning(state));
  // Second decision: ALLOW rate 0.5 is below 1.0; entropy -0.0 equals the limit 0.0.
  EXPECT_EQ(observe(state, writer, decision("DENY")), std::vector<std::string>{"SPC-001"});
  EXPECT_FALSE(spc_learning(state));
  EXPECT_EQ(read_text(baseline_path()), before);
  EXPECT_EQ(state.baselines().size(), 2u);
  const auto qa = read_records(qa_path());
  ASSERT_EQ(qa.size(), 1u);
  const json::Value& f = qa[0]->root();
  EXPECT_EQ(f.string_member("status"), "below_lcl");
  EXPECT_EQ(f.string_member("metric_name"), "ALLOW rate");
  EXPECT_EQ(f.string_member("window"), "aggregate");
  EXPECT_EQ(f.find("current_value")->number_text(), "0.0");
}

TEST_F(SpcStateTest, LearnedLimitsFlagThroughputAtEveryLaterDecision) {
  SpcState state = load_spc_state(baseline_path(), 2);
  auto writer = spc_test::open_writer(qa_path());
  EXPECT_TRUE(observe(state, writer, decision()).empty());
  EXPECT_TRUE(observe(state, writer, decision()).empty());
  ASSERT_EQ(state.baselines().size(), kMetricCount);
  EXPECT_EQ(observe(state, writer, decision()), std::vector<std::string>{"SPC-005"});
  EXPECT_EQ(observe(state, writer, decision("DENY")),
            (std::vector<std::string>{"SPC-001", "SPC-005"}));
  EXPECT_EQ(observe(state, writer, decision("ALLOW", "write_file")),
            (std::vector<std::string>{"SPC-001", "SPC-005", "SPC-006"}));
  const auto qa = read_records(qa_path());
  ASSERT_EQ(qa.size(), 6u);
  EXPECT_EQ(qa[0]->root().string_member("status"), "above_ucl");
  EXPECT_EQ(qa[0]->root().find("current_value")->number_text(), "3.0");
  EXPECT_EQ(qa[0]->root().find("ucl")->number_text(), "2.0");
  EXPECT_EQ(qa[1]->root().string_member("metric_id"), "SPC-001");
  EXPECT_EQ(qa[1]->root().string_member("status"), "below_lcl");
}

TEST_F(SpcStateTest, ValuesEqualToALimitAreInControl) {
  SpcBaselines b;
  b["SPC-005"] = baseline("SPC-005", 2.0, 3.0, 2.0);
  b["SPC-001"] = baseline("SPC-001", 1.0, 1.0, 0.5);
  write_baselines(b);
  SpcState state = load_spc_state(baseline_path(), 1);
  auto writer = spc_test::open_writer(qa_path());
  ASSERT_TRUE(prime_spc(state, std::vector<json::Record>{decision()}).has_value());
  EXPECT_TRUE(observe(state, writer, decision("DENY")).empty()) << "2 and 0.5 are limits";
  EXPECT_TRUE(observe(state, writer, decision()).empty()) << "3 and 2/3 within";
  EXPECT_EQ(observe(state, writer, decision("DENY")), std::vector<std::string>{"SPC-005"})
      << "an ALLOW rate of 0.5 equals the lower limit";
  EXPECT_EQ(observe(state, writer, decision("DENY")),
            (std::vector<std::string>{"SPC-001", "SPC-005"}));
}

TEST_F(SpcStateTest, MinDecisionsOneLearnsFromTheFirstAndChecksTheSecond) {
  SpcState state = load_spc_state(baseline_path(), 1);
  ASSERT_TRUE(prime_spc(state, {}).has_value());
  EXPECT_TRUE(state.baselines().empty());
  auto writer = spc_test::open_writer(qa_path());
  EXPECT_TRUE(observe(state, writer, decision()).empty());
  EXPECT_EQ(state.baselines().size(), kMetricCount);
  EXPECT_TRUE(platform::file_status(baseline_path()).has_value());
  EXPECT_EQ(observe(state, writer, decision()), std::vector<std::string>{"SPC-005"});
}

TEST_F(SpcStateTest, RecordsThatAreNotDecisionsAreNeitherAddedNorChecked) {
  SpcState state = load_spc_state(baseline_path(), 1);
  auto writer = spc_test::open_writer(qa_path());
  ASSERT_TRUE(observe(state, writer, decision()).empty());
  for (const char* text : {R"({"policy_decision":"UNKNOWN"})", R"({"original_tool":"x"})",
                           R"({"policy_decision":"allow"})", "[1]"}) {
    SCOPED_TRACE(text);
    EXPECT_TRUE(observe(state, writer, rec(text)).empty());
    EXPECT_EQ(state.decisions().size(), 1u);
  }
  EXPECT_TRUE(read_records(qa_path()).empty());
}

TEST_F(SpcStateTest, PrimingKeepsTheDecisionsOfTheHistoryAndLearnsOnce) {
  SpcState state = load_spc_state(baseline_path(), 2);
  std::vector<json::Record> history = {rec(R"({"event_type":"opaque_artifact_approval"})"),
                                       decision(), rec(R"({"policy_decision":"MAYBE"})"),
                                       decision("DENY")};
  ASSERT_TRUE(prime_spc(state, history).has_value());
  ASSERT_EQ(state.decisions().size(), 2u);
  EXPECT_EQ(state.decisions()[0].get(), history[1].get()) << "shared, not copied";
  ASSERT_EQ(state.baselines().size(), kMetricCount);
  EXPECT_EQ(state.baselines().at("SPC-001").center_line, 0.5);
  // Present baselines are never replaced, and the list is rebuilt, not extended.
  const std::string saved = read_text(baseline_path());
  ASSERT_TRUE(
      prime_spc(state, std::vector<json::Record>{decision(), decision(), decision()}).has_value());
  EXPECT_EQ(state.decisions().size(), 3u);
  EXPECT_EQ(state.baselines().at("SPC-001").center_line, 0.5);
  EXPECT_EQ(read_text(baseline_path()), saved);
}

TEST_F(SpcStateTest, SavingReplacesTheFileWholeAndCreatesItsDirectory) {
  const std::string nested = dir_.file("a/b/c/spc.json");
  SpcState state = load_spc_state(nested, 1);
  ASSERT_TRUE(prime_spc(state, std::vector<json::Record>{decision()}).has_value());
  const std::string first = read_text(nested);
  EXPECT_EQ(first, render_baselines(state.baselines()));
  // A second name for the old file: rewriting in place would change what it shows.
  const std::string old_link = dir_.file("old-baselines.json");
  ASSERT_EQ(::link(nested.c_str(), old_link.c_str()), 0);
  SpcState again(nested, 1, {});
  ASSERT_TRUE(prime_spc(again, std::vector<json::Record>{decision("DENY")}).has_value());
  EXPECT_EQ(read_text(old_link), first);
  EXPECT_EQ(read_text(nested), render_baselines(again.baselines()));
  std::size_t entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir_.file("a/b/c"))) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 1u) << "no temporary file is left behind";
}

TEST_F(SpcStateTest, ABareFileNameIsWrittenInTheWorkingDirectory) {
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir_.path());
  SpcState state = load_spc_state("spc-baselines.json", 1);
  auto saved = prime_spc(state, std::vector<json::Record>{decision()});
  std::filesystem::current_path(cwd);
  ASSERT_TRUE(saved.has_value()) << saved.error();
  EXPECT_EQ(read_text(dir_.file("spc-baselines.json")), render_baselines(state.baselines()));
}

TEST_F(SpcStateTest, SaveFailuresAreReportedAndTheLearnedBaselinesStay) {
  {
    const std::string blocker = dir_.file("plain");
    write_text(blocker, "x");
    SpcState state = load_spc_state(blocker + "/sub/spc.json", 1);
    auto saved = prime_spc(state, std::vector<json::Record>{decision()});
    ASSERT_FALSE(saved.has_value());
    EXPECT_EQ(
        saved.error().rfind("failed to create SPC baseline directory " + blocker + "/sub: ", 0), 0u)
        << saved.error();
    EXPECT_EQ(state.baselines().size(), kMetricCount);
  }
  {
    const std::string dir_path = dir_.file("is-a-directory");
    ASSERT_EQ(::mkdir(dir_path.c_str(), 0777), 0);
    SpcState state = load_spc_state(dir_path, 1);
    auto writer = spc_test::open_writer(qa_path());
    auto first = observe_decision(state, decision(), writer);
    ASSERT_FALSE(first.has_value());
    EXPECT_EQ(first.error().rfind("failed to write SPC baseline file " + dir_path + ": ", 0), 0u)
        << first.error();
    EXPECT_EQ(state.baselines().size(), kMetricCount);
    // The next decision is checked against the baselines although the file was not written.
    auto second = observe_decision(state, decision(), writer);
    ASSERT_TRUE(second.has_value()) << second.error();
    EXPECT_EQ(*second, std::vector<std::string>{"SPC-005"});
  }
}

TEST_F(SpcStateTest, AFailingFindingAppendEndsTheObservation) {
  SpcState state = load_spc_state(baseline_path(), 1);
  auto writer = spc_test::open_writer(qa_path());
  ASSERT_TRUE(observe(state, writer, decision()).empty());
  ASSERT_EQ(::mkdir(qa_path().c_str(), 0777), 0);
  auto got = observe_decision(state, decision("DENY"), writer);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(state.decisions().size(), 2u) << "the record stays in the decision list";
}

TEST_F(SpcStateTest, NonFiniteMetricsAreOutOfReach) {
  // Learning from an infinite latency mean: that metric gets no baseline, the others do.
  SpcState state = load_spc_state(baseline_path(), 2);
  auto writer = spc_test::open_writer(qa_path());
  const json::Record huge = rec(R"({"policy_decision":"ALLOW","latency_ms":1e400})");
  const json::Record big = rec(R"({"policy_decision":"ALLOW","latency_ms":1e308})");
  EXPECT_TRUE(observe(state, writer, big).empty());
  EXPECT_TRUE(observe(state, writer, big).empty());
  EXPECT_EQ(state.baselines().size(), kMetricCount - 1);
  EXPECT_EQ(state.baselines().count("SPC-007"), 0u);
  auto written = parse_baselines(read_text(baseline_path()));
  ASSERT_TRUE(written.has_value()) << written.error();
  EXPECT_EQ(written->count("SPC-007"), 0u);
  EXPECT_EQ(observe(state, writer, huge), std::vector<std::string>{"SPC-005"});

  // A learned, finite latency baseline is not compared once the mean stops being finite.
  TempDir other;
  SpcState learned = load_spc_state(other.file("spc.json"), 1);
  auto writer2 = spc_test::open_writer(other.file("qa.jsonl"));
  EXPECT_TRUE(observe(learned, writer2, decision()).empty());
  ASSERT_EQ(learned.baselines().count("SPC-007"), 1u);
  const std::vector<std::string> without_latency = {"SPC-002", "SPC-003", "SPC-005", "SPC-006"};
  EXPECT_EQ(observe(learned, writer2, huge), without_latency);
  EXPECT_EQ(observe(learned, writer2, decision()), without_latency);
  for (const json::Record& f : read_records(other.file("qa.jsonl"))) {
    EXPECT_NE(f->root().string_member("metric_id"), "SPC-007");
  }
}

}  // namespace
}  // namespace telmir::spc
