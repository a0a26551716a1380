#include <gtest/gtest.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "canonical/canonical.h"
#include "canonical/preimage.h"
#include "chain_fixture.h"
#include "key/key.h"
#include "platform/clock.h"
#include "qa_chain/qa_chain.h"

namespace telmir::qa {
namespace {

constexpr const char* kExamplePreimage =
    "{\"event_type\":\"qa_verification_backlog_warning\",\"prev_record_hash\":null,"
    "\"queue_capacity\":1000,\"queue_depth\":1000,\"record_hash\":null,\"sequence\":7,"
    "\"signature\":null,\"signing_key_id\":null,\"timestamp_utc\":\"2025-01-01T00:00:00.000Z\"}";
constexpr const char* kExampleHash =
    "sha256:0a663b71270fc5741f16404c9a36f736014c2b5ffe9f78e5230059055bc4ae2e";

using WriterTest = ChainTest;

TEST_F(WriterTest, BacklogRecordAtSequenceSevenIsHashedSignedAndWrittenByteForByte) {
  QaChainWriter writer(chain_path(), test_key(), std::nullopt, 7);
  json::Node record = new_qa_record(writer, "qa_verification_backlog_warning");
  record.set("timestamp_utc", "2025-01-01T00:00:00.000Z");
  record.set("queue_depth", json::Node::from_u64(1000));
  record.set("queue_capacity", json::Node::from_u64(1000));
  auto done = append(writer, std::move(record));
  ASSERT_TRUE(done.has_value()) << done.error();

  std::string sig = key::sign_qa_record(test_key(), kExamplePreimage);
  ASSERT_EQ(sig.size(), 86u);
  std::string id = test_key().key_id();
  ASSERT_EQ(id.size(), 72u);
  std::string expected =
      std::string(
          "{\"event_type\":\"qa_verification_backlog_warning\",\"prev_record_hash\":null,"
          "\"queue_capacity\":1000,\"queue_depth\":1000,\"record_hash\":\"") +
      kExampleHash + "\",\"sequence\":7,\"signature\":\"" + sig + "\",\"signing_key_id\":\"" + id +
      "\",\"timestamp_utc\":\"2025-01-01T00:00:00.000Z\"}\n";
  EXPECT_EQ(file_text(), expected);
  EXPECT_EQ(writer.last_record_hash(), std::optional<std::string>(kExampleHash));
  EXPECT_EQ(writer.next_sequence(), 8u);
  EXPECT_EQ(done->find("record_hash")->text(), kExampleHash);
}

TEST_F(WriterTest, FirstRecordInAnEmptyDirectoryOpensTheChain) {
  QaChainWriter writer = open_writer();
  EXPECT_EQ(writer.next_sequence(), 1u);
  EXPECT_FALSE(writer.last_record_hash().has_value());
  ASSERT_TRUE(append_backlog_warning(writer, 1, 2).has_value());
  std::string text = file_text();
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
  auto rs = records();
  ASSERT_EQ(rs.size(), 1u);
  EXPECT_EQ(rs[0]->root().find("sequence")->number_text(), "1");
  EXPECT_TRUE(rs[0]->root().find("prev_record_hash")->is_null());
}

TEST_F(WriterTest, RestartContinuesSequenceAndLinkage) {
  {
    QaChainWriter writer = open_writer();
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(append_backlog_warning(writer, i, 10).has_value());
  }
  std::string third_hash(*records()[2]->root().string_member("record_hash"));
  QaChainWriter writer = open_writer();
  EXPECT_EQ(writer.next_sequence(), 4u);
  EXPECT_EQ(writer.last_record_hash(), std::optional<std::string>(third_hash));
  auto fourth = append_backlog_warning(writer, 3, 10);
  ASSERT_TRUE(fourth.has_value());
  EXPECT_EQ(fourth->find("sequence")->text(), "4");
  EXPECT_EQ(fourth->find("prev_record_hash")->text(), third_hash);
}

TEST_F(WriterTest, TailRecoveryReadsOnlyTheLastNonBlankLine) {
  struct Case {
    const char* name;
    std::string text;
    std::uint64_t next_sequence;
    std::optional<std::string> last_hash;
  };
  const std::string rec = R"({"record_hash":"sha256:aa","sequence":41})";
  const std::vector<Case> cases = {
      {"record and line feed", rec + "\n", 42, "sha256:aa"},
      {"trailing blank lines", rec + "\n\n  \n\t\n", 42, "sha256:aa"},
      {"carriage return before the line feed", rec + "\r\n", 42, "sha256:aa"},
      {"no final line feed", rec, 42, "sha256:aa"},
      {"unparsable earlier line", "not json\n" + rec + "\n", 42, "sha256:aa"},
      {"only the last line counts",
       rec + "\n" + R"({"record_hash":"sha256:bb","sequence":7})" + "\n", 8, "sha256:bb"},
      {"no sequence", R"({"record_hash":"sha256:aa"})", 1, "sha256:aa"},
      {"fractional sequence", R"({"record_hash":"sha256:aa","sequence":3.0})", 1, "sha256:aa"},
      {"negative sequence", R"({"record_hash":"sha256:aa","sequence":-1})", 1, "sha256:aa"},
      {"sequence as a string", R"({"record_hash":"sha256:aa","sequence":"5"})", 1, "sha256:aa"},
      {"sequence beyond 64 bits", R"({"record_hash":"sha256:aa","sequence":18446744073709551616})",
       1, "sha256:aa"},
      {"sequence zero", R"({"record_hash":"sha256:aa","sequence":0})", 1, "sha256:aa"},
      {"no record hash", R"({"sequence":41})", 42, std::nullopt},
      {"record hash not a string", R"({"record_hash":5,"sequence":41})", 42, std::nullopt},
      {"last record not an object", "[1]\n", 1, std::nullopt},
      {"only blank lines", "\n \n\r\n", 1, std::nullopt},
      {"empty file", "", 1, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::create_directories(dir_.file("LOGS"));
    write_text(chain_path(), c.text);
    QaChainWriter writer = open_writer();
    EXPECT_EQ(writer.next_sequence(), c.next_sequence);
    EXPECT_EQ(writer.last_record_hash(), c.last_hash);
    auto next = append_backlog_warning(writer, 0, 1);
    ASSERT_TRUE(next.has_value()) << next.error();
    const json::Node* prev = next->find("prev_record_hash");
    if (c.last_hash) {
      EXPECT_EQ(prev->text(), *c.last_hash);
    } else {
      EXPECT_EQ(prev->kind(), json::Kind::kNull);
    }
  }
}

TEST_F(WriterTest, TailRecoveryOverAChainOfSeveralMegabytes) {
  // Lines of two-byte characters after an odd prefix, so characters and lines straddle every
  // block boundary of the reader.
  std::string filler = "{\"x\":\"";
  for (int i = 0; i < 700; ++i) filler += "\u00e9";
  filler += "\"}\n";
  std::string big;
  while (big.size() < 3 * (1u << 20)) big += filler;
  const std::string last = R"({"record_hash":"sha256:cc","sequence":99,"t":"é"})";
  struct Case {
    const char* name;
    std::string text;
    std::optional<std::string> error;
  };
  const std::vector<Case> cases = {
      {"records then blank lines", big + last + "\r\n\n \n", std::nullopt},
      {"last line without line feed", big + last, std::nullopt},
      {"last line spanning a block boundary",
       big.substr(0, (1u << 20) - 10) + "\n" + last + std::string(20, ' ') + "\n", std::nullopt},
      {"invalid byte early in the file", "\xff\n" + big + last,
       "stream did not contain valid UTF-8"},
      {"truncated character at the end", big + last + "\n\xc3",
       "stream did not contain valid UTF-8"},
  };
  std::filesystem::create_directories(dir_.file("LOGS"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_text(chain_path(), c.text);
    auto writer = open_qa_chain(chain_path(), test_key());
    if (c.error) {
      ASSERT_FALSE(writer.has_value());
      EXPECT_EQ(writer.error(),
                "failed to read existing QA chain " + chain_path() + ": " + *c.error);
      continue;
    }
    ASSERT_TRUE(writer.has_value()) << writer.error();
    EXPECT_EQ(writer->next_sequence(), 100u);
    EXPECT_EQ(writer->last_record_hash(), std::optional<std::string>("sha256:cc"));
  }
}

TEST_F(WriterTest, OpeningFailsOnAnUnparsableLastLineOrAnUnreadableFile) {
  std::filesystem::create_directories(dir_.file("LOGS"));
  write_text(chain_path(), "{\"sequence\":1}\n{\"seq");
  auto bad = open_qa_chain(chain_path(), test_key());
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().rfind("invalid last QA chain record in " + chain_path() + ": ", 0), 0u)
      << bad.error();
  EXPECT_EQ(file_text(), "{\"sequence\":1}\n{\"seq");  // not repaired

  std::string dir_path = dir_.file("a-directory");
  std::filesystem::create_directories(dir_path);
  auto unreadable = open_qa_chain(dir_path, test_key());
  ASSERT_FALSE(unreadable.has_value());
  EXPECT_EQ(unreadable.error(),
            "failed to read existing QA chain " + dir_path + ": Is a directory");
}

// The canonical line `append` will write for the record, measured ahead.
std::size_t final_line_length(const QaChainWriter& writer, json::Node record) {
  record.set("prev_record_hash", writer.last_record_hash() ? json::Node(*writer.last_record_hash())
                                                           : json::Node(nullptr));
  record.set("record_hash", std::string(71, 'h'));
  record.set("signature", std::string(86, 's'));
  record.set("signing_key_id", writer.key().key_id());
  return canonical::canonical_json(record)->size();
}

json::Node record_of_length(const QaChainWriter& writer, std::size_t length) {
  json::Node record = new_qa_record(writer, "qa_verification_backlog_warning");
  record.set("pad", "");
  std::size_t base = final_line_length(writer, record);
  record.set("pad", std::string(length - base, 'p'));
  return record;
}

TEST_F(WriterTest, LineOfExactly4096BytesIsWrittenAndOneMoreIsRefusedKeepingTheSequence) {
  QaChainWriter writer = open_writer();
  ASSERT_TRUE(append_backlog_warning(writer, 0, 1).has_value());
  std::string before = file_text();
  auto last = writer.last_record_hash();

  auto refused = append(writer, record_of_length(writer, 4097));
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error(), "QA chain record exceeds 4KB atomic append limit: 4097 bytes");
  EXPECT_EQ(writer.next_sequence(), 2u);
  EXPECT_EQ(writer.last_record_hash(), last);
  EXPECT_EQ(file_text(), before);

  auto written = append(writer, record_of_length(writer, 4096));
  ASSERT_TRUE(written.has_value()) << written.error();
  EXPECT_EQ(written->find("sequence")->text(), "2");
  EXPECT_EQ(written->find("prev_record_hash")->text(), *last);
  EXPECT_EQ(file_text().size(), before.size() + 4097);
}

TEST_F(WriterTest, PresetEnvelopeValuesAreOverwritten) {
  QaChainWriter writer = open_writer();
  ASSERT_TRUE(append_backlog_warning(writer, 0, 1).has_value());
  json::Node record = new_qa_record(writer, "qa_verification_backlog_warning");
  record.set("prev_record_hash", "forged");
  record.set("record_hash", "forged");
  record.set("signature", "forged");
  record.set("signing_key_id", "forged");
  auto done = append(writer, std::move(record));
  ASSERT_TRUE(done.has_value());
  auto rs = records();
  ASSERT_EQ(rs.size(), 2u);
  const json::Value& r = rs[1]->root();
  EXPECT_EQ(*r.string_member("prev_record_hash"), *rs[0]->root().string_member("record_hash"));
  EXPECT_EQ(*r.string_member("record_hash"), *canonical::record_hash(r));
  EXPECT_EQ(*r.string_member("signing_key_id"), test_key().key_id());
  EXPECT_EQ(r.string_member("signature")->size(), 86u);
  // Keys that were present keep their place in the returned record.
  EXPECT_EQ(done->members()[3].first, "prev_record_hash");
}

TEST_F(WriterTest, EveryWrittenLineReverifiesWithTheKeyBehindItsIdentifier) {
  QaChainWriter writer = open_writer();
  writer.set_build_info("sha256:" + std::string(64, 'b'), "GNU 12.2.0");
  json::Node checks = json::Node::object();
  checks.set("ENV-001", json::Node::object());
  ASSERT_TRUE(append_environmental_snapshot(writer, "p", "c", checks, {"CR-CRIT-001"}, "degraded")
                  .has_value());
  ASSERT_TRUE(append_spc_finding(writer, "SPC-001", "m", 1.25, 2, -0.0, "w", "out").has_value());
  ASSERT_TRUE(
      append_condition_detected(writer, "CR-HIGH-002", "t", "critical", "d\n\"x\"", "sha256:abc")
          .has_value());
  ASSERT_TRUE(append_verification_skipped(writer, "h", "é reason").has_value());

  const key::PublicKey pk = test_key().public_key();
  std::optional<std::string> prev;
  std::uint64_t seq = 1;
  for (const json::Record& rec : records()) {
    const json::Value& r = rec->root();
    SCOPED_TRACE(std::string(*r.string_member("event_type")));
    EXPECT_EQ(r.find("sequence")->number_text(), std::to_string(seq++));
    EXPECT_EQ(*r.string_member("record_hash"), *canonical::record_hash(r));
    if (prev) {
      EXPECT_EQ(*r.string_member("prev_record_hash"), *prev);
    } else {
      EXPECT_TRUE(r.find("prev_record_hash")->is_null());
    }
    prev = std::string(*r.string_member("record_hash"));
    ASSERT_EQ(*r.string_member("signing_key_id"), key::key_identifier(pk));
    auto bytes = key::decode_base64url(*r.string_member("signature"));
    ASSERT_TRUE(bytes.has_value());
    auto sig = key::signature_from_bytes(*bytes);
    ASSERT_TRUE(sig.has_value());
    EXPECT_TRUE(key::verify_signature(pk, *canonical::record_hash_preimage(r), *sig).has_value());
    EXPECT_EQ(r.string_member("timestamp_utc")->size(), 24u);
  }
  EXPECT_EQ(seq, 5u);
}

TEST_F(WriterTest, WrittenLineIsTheCanonicalFormOfTheFinishedRecord) {
  auto nested_envelope = [] {
    json::Node o = json::Node::object();
    o.set("record_hash", nullptr);
    o.set("signature", nullptr);
    o.set("signing_key_id", nullptr);
    return o;
  };
  std::vector<json::Node> records;
  json::Node plain = json::Node::object();
  records.push_back(plain);
  json::Node tricky = json::Node::object();
  tricky.set("a", nested_envelope());
  tricky.set("list", json::Node::array({nested_envelope(), json::Node("\",\"record_hash\":null")}));
  tricky.set("q\"uote\\", "\\\"signature\":null,{[");
  tricky.set("signature_x", nullptr);
  tricky.set("z", nested_envelope());
  records.push_back(tricky);
  json::Node controls = json::Node::object();
  controls.set("text", std::string("\x01\x1f\n\u00e9\"}", 7));
  records.push_back(controls);

  QaChainWriter writer = open_writer();
  std::string expected;
  for (json::Node& r : records) {
    r.set("event_type", "qa_test");
    auto done = append(writer, r);
    ASSERT_TRUE(done.has_value()) << done.error();
    expected += *canonical::canonical_json(*done) + "\n";
  }
  EXPECT_EQ(file_text(), expected);
}

TEST_F(WriterTest, FailuresLeaveTheWriterUnchanged) {
  struct Case {
    const char* name;
    std::string path;  // relative to the temporary directory
    json::Node record;
    std::string error;  // with {dir} for the temporary directory
  };
  write_text(dir_.file("plain-file"), "x");
  std::filesystem::create_directories(dir_.file("chain-is-dir"));
  json::Node bad_number = json::Node::object();
  bad_number.set("event_type", "qa_test");
  bad_number.set("n", json::Node::number_text("1e400"));
  json::Node ok = json::Node::object();
  ok.set("event_type", "qa_test");
  std::vector<Case> cases;
  cases.push_back(
      {"not an object", "q.jsonl", json::Node::array(), "QA chain record must be an object"});
  cases.push_back({"unsupported number", "q.jsonl", bad_number, "unsupported JSON number"});
  cases.push_back({"parent is a file", "plain-file/q.jsonl", ok,
                   "failed to create QA chain directory {dir}/plain-file: File exists"});
  cases.push_back({"chain path is a directory", "chain-is-dir", ok,
                   "failed to open QA chain {dir}/chain-is-dir: Is a directory"});
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    QaChainWriter writer(dir_.file(c.path), test_key(), std::string("sha256:prev"), 5);
    auto r = append(writer, c.record);
    ASSERT_FALSE(r.has_value());
    std::string want = c.error;
    if (auto pos = want.find("{dir}"); pos != std::string::npos) want.replace(pos, 5, dir_.path());
    EXPECT_EQ(r.error(), want);
    EXPECT_EQ(writer.next_sequence(), 5u);
    EXPECT_EQ(writer.last_record_hash(), std::optional<std::string>("sha256:prev"));
  }
}

TEST(Timestamp, IsUtcWithTruncatedMillisecondsAndLetterZ) {
  using namespace std::chrono;
  struct Case {
    const char* name;
    system_clock::time_point time;
    const char* text;
  };
  const std::vector<Case> cases = {
      {"epoch", system_clock::time_point{}, "1970-01-01T00:00:00.000Z"},
      {"sub-millisecond part dropped", system_clock::time_point{microseconds(1999)},
       "1970-01-01T00:00:00.001Z"},
      {"never rounded up", system_clock::time_point{microseconds(59'999'999)},
       "1970-01-01T00:00:59.999Z"},
      {"before the epoch", system_clock::time_point{microseconds(-1)}, "1969-12-31T23:59:59.999Z"},
      {"a leap day", sys_days{year{2024} / 2 / 29} + hours(23) + minutes(5) + milliseconds(7),
       "2024-02-29T23:05:00.007Z"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(platform::format_rfc3339_ms(c.time), c.text);
  }
  std::string now = platform::utc_now_rfc3339_ms();
  EXPECT_EQ(now.size(), 24u);
  EXPECT_EQ(now.back(), 'Z');
}

TEST(NewQaRecord, HoldsTypeSequenceAndTimeInThatOrderWithoutChangingTheWriter) {
  QaChainWriter writer("unused", test_key(), std::nullopt, 9);
  json::Node r = new_qa_record(writer, "qa_x");
  ASSERT_EQ(r.members().size(), 3u);
  EXPECT_EQ(r.members()[0].first, "event_type");
  EXPECT_EQ(r.members()[0].second.text(), "qa_x");
  EXPECT_EQ(r.members()[1].first, "sequence");
  EXPECT_EQ(r.members()[1].second.text(), "9");
  EXPECT_EQ(r.members()[2].first, "timestamp_utc");
  EXPECT_EQ(writer.next_sequence(), 9u);
}

}  // namespace
}  // namespace telmir::qa
