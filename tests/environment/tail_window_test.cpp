// Tails read from the end of a chain file: lines that cross the first look at the end, tails
// longer than it, UTF-8 checked over the whole file, and read memory reused between snapshots.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "environment/environment.h"
#include "environment_fixture.h"
#include "platform/text.h"

namespace telmir::environment {
namespace {

using testing::actual_tail;
using testing::ChainWriter;
using testing::expected_tail;
using testing::Installation;
using testing::read_text;
using testing::write_text;

// The first look at a file's end covers this many bytes.
constexpr std::size_t kFirstWindow = 64 << 10;
constexpr std::size_t kRecordsInTail = 100;

// A JSON line of exactly `size` bytes (at least 12).
std::string line_of_size(std::size_t size, char fill = 'x') {
  return "{\"pad\":\"" + std::string(size - 10, fill) + "\"}";
}

class TailWindow : public Installation {
 protected:
  std::string path() const { return root_ + "/chain.jsonl"; }

  // `records` sealed records, each padded with about `pad_bytes` bytes of three-byte characters,
  // after `lead` ASCII bytes in the first record so that block edges fall at every position of a
  // character.
  ChainWriter padded_chain(std::size_t records, std::size_t pad_bytes, std::size_t lead = 0) {
    ChainWriter chain;
    std::string euros;
    for (std::size_t i = 0; i < pad_bytes / 3; ++i) euros += "\xe2\x82\xac";
    for (std::size_t n = 1; n <= records; ++n) {
      json::Node record = testing::event("qa_decision_verification", n);
      record.set("pad", n == 1 ? std::string(lead, 'a') + euros : euros);
      chain.add(std::move(record));
    }
    return chain;
  }
};

TEST_F(TailWindow, LinesAroundTheWindowEdgeMatchTheForwardSplit) {
  // Separators, blank lines and multi-byte characters placed so that the edge of the first look
  // at the end falls on each of their bytes in turn.
  const std::vector<std::string> middles = {
      "{\"a\":1}\r\n",
      "{\"a\":1}\n   \n\t\r\n",
      "{\"a\":1}\n\xe3\x80\x80\n\xc2\xa0\r\n",
      "{\"s\":\"\xe2\x82\xac\xf0\x9f\x98\x80\"}\n",
      "{\"a\":1}\r\n\r\n",
      "\n\n\n",
  };
  const std::string head = "{\"n\":0}\n" + line_of_size(3000) + "\n{\"n\":1}\n";
  for (const std::string& middle : middles) {
    for (bool final_feed : {true, false}) {
      for (std::size_t end_size = kFirstWindow - middle.size() - 2; end_size <= kFirstWindow + 2;
           ++end_size) {
        // The newest line fills the rest, so the edge sweeps across `middle`.
        std::string last = line_of_size(end_size - (final_feed ? 1 : 0));
        std::string text = head + middle + last + (final_feed ? "\n" : "");
        write_text(path(), text);
        for (std::size_t limit = 1; limit <= 5; ++limit) {
          SCOPED_TRACE(::testing::PrintToString(middle) + " end " + std::to_string(end_size) +
                       " limit " + std::to_string(limit));
          ASSERT_EQ(actual_tail(path(), limit), expected_tail(text, limit));
        }
      }
    }
  }
}

TEST_F(TailWindow, LineLongerThanSeveralWindowsIsReadWhole) {
  std::string text = "{\"n\":0}\n" + line_of_size(5 * kFirstWindow + 17) + "\r\n\n" +
                     line_of_size(kFirstWindow - 3) + "\n";
  write_text(path(), text);
  for (std::size_t limit = 1; limit <= 3; ++limit) {
    SCOPED_TRACE(limit);
    EXPECT_EQ(actual_tail(path(), limit), expected_tail(text, limit));
  }
}

TEST_F(TailWindow, EmptyTailOfALongLineStillChecksEveryCharacter) {
  // No line feed within the first look at the end: its edge may cut a character in two.
  std::string euros;
  for (std::size_t i = 0; i < kFirstWindow; ++i) euros += "\xe2\x82\xac";
  for (std::size_t lead = 0; lead < 3; ++lead) {
    SCOPED_TRACE(lead);
    write_text(path(), "{\"s\":\"" + std::string(lead, 'a') + euros + "\"}");
    Result<std::vector<json::Record>> tail = read_chain_tail(path(), 0);
    ASSERT_TRUE(tail.has_value()) << tail.error();
    EXPECT_TRUE(tail->empty());
  }
  write_text(path(), "{\"s\":\"\xff" + euros + "\"}");
  EXPECT_FALSE(read_chain_tail(path(), 0).has_value());
}

TEST_F(TailWindow, QaTailLongerThanTheFirstWindowIsCheckedWhole) {
  // 150 records of about 2 KB: the tail of 100 spans about three first windows.
  ChainWriter chain = padded_chain(150, 2000);
  write_text(config_.qa_chain_path, chain.text());
  ASSERT_EQ(snapshot().checks["ENV-005"].status, CheckStatus::kPass);

  // A byte changed in a record older than the tail is not looked at ...
  std::string text = chain.text();
  std::size_t old_record = text.find("evt-20\"");
  ASSERT_NE(old_record, std::string::npos);
  text.replace(old_record, 6, "evt-2x");
  write_text(config_.qa_chain_path, text);
  EXPECT_EQ(snapshot().checks["ENV-005"].status, CheckStatus::kPass);

  // ... but one in the oldest record of the tail, far beyond the first window, is.
  std::size_t oldest_in_tail = text.find("evt-51\"");
  ASSERT_NE(oldest_in_tail, std::string::npos);
  ASSERT_GT(text.size() - oldest_in_tail, 2 * kFirstWindow);
  text.replace(oldest_in_tail, 6, "evt-5x");
  write_text(config_.qa_chain_path, text);
  EnvironmentSnapshot s = snapshot();
  EXPECT_EQ(s.checks["ENV-005"].detail, "record_hash verification failed");
  EXPECT_EQ(check_chain_tail(config_.qa_chain_path, kRecordsInTail).detail,
            "record_hash verification failed");

  // The newest record outside the tail of 100 is record 50: changed, it is found only when the
  // tail grows by one.
  text = chain.text();
  std::size_t newest_outside = text.find("evt-50\"");
  ASSERT_NE(newest_outside, std::string::npos);
  text.replace(newest_outside, 6, "evt-5x");
  write_text(config_.qa_chain_path, text);
  EXPECT_EQ(check_chain_tail(config_.qa_chain_path, 100).status, CheckStatus::kPass);
  EXPECT_EQ(check_chain_tail(config_.qa_chain_path, 101).detail, "record_hash verification failed");
  config_.tail_records = 101;
  EXPECT_EQ(snapshot().checks["ENV-005"].detail, "record_hash verification failed");
}

TEST_F(TailWindow, EveryByteOfTheQaChainMustBeUtf8) {
  // About 1.2 MB of three-byte characters: the bytes before the tail are checked in blocks, and
  // a character across a block edge is still one character.
  for (std::size_t lead = 0; lead < 3; ++lead) {
    SCOPED_TRACE(lead);
    ChainWriter chain = padded_chain(150, 8000, lead);
    std::string text = chain.text();
    ASSERT_GT(text.size(), (1u << 20) + 2 * kFirstWindow);
    write_text(config_.qa_chain_path, text);
    EXPECT_EQ(snapshot().checks["ENV-005"].status, CheckStatus::kPass);
    EXPECT_EQ(actual_tail(config_.qa_chain_path, 3), expected_tail(text, 3));
  }

  ChainWriter chain = padded_chain(150, 8000);
  const std::string good = chain.text();
  const std::size_t second_record = good.find('\n') + 1;
  struct Damage {
    const char* name;
    std::size_t at;
    std::string bytes;
  };
  const Damage damages[] = {
      {"invalid byte in the first record", 200, "\xff"},
      {"invalid byte near the middle of the file", good.size() / 2, "\xff"},
      {"character cut short before a line feed", second_record - 4, "\"}\xe2\x82"},
      {"invalid byte in the newest record", good.size() - 100, "\xff"},
  };
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.name);
    std::string text = good;
    text.replace(damage.at, damage.bytes.size(), damage.bytes);
    write_text(config_.qa_chain_path, text);
    EnvironmentSnapshot s = snapshot();
    EXPECT_EQ(s.checks["ENV-005"].detail,
              "failed to read chain " + config_.qa_chain_path + ": file is not valid UTF-8");
    EXPECT_EQ(s.checks["ENV-005"].severity, "critical");
    Result<std::vector<json::Record>> tail = read_chain_tail(config_.qa_chain_path, 2);
    ASSERT_FALSE(tail.has_value());
    EXPECT_EQ(tail.error(), *s.checks["ENV-005"].detail);
  }
  write_text(config_.qa_chain_path, good);
  EXPECT_EQ(snapshot().checks["ENV-005"].status, CheckStatus::kPass);
}

TEST_F(TailWindow, ReusedReadMemoryShowsOnlyTheFileAsItIsNow) {
  // Large chains first, so the memory kept afterwards is larger than the files that follow.
  for (int i = 4; i < 3000; ++i) governance_.add(testing::event("opaque_artifact_approval", i));
  write_governance();
  ChainWriter big_qa = padded_chain(300, 2000);
  write_text(config_.qa_chain_path, big_qa.text());
  EnvironmentSnapshot big = snapshot();
  ASSERT_EQ(big.overall, "healthy");
  ASSERT_EQ(big.checks["ENV-006"].extra.at("active_approval_events").text(), "2997");

  // Shorter files: nothing of the earlier bytes may show through.
  ChainWriter small;
  small.add(testing::event("opaque_artifact_approval", 1));
  write_text(config_.decision_chain_path, small.text());
  ChainWriter small_qa = padded_chain(2, 10);
  write_text(config_.qa_chain_path, small_qa.text());
  EnvironmentSnapshot after = snapshot();
  EXPECT_EQ(after.checks["ENV-006"].extra.at("active_approval_events").text(), "1");
  EXPECT_EQ(after.checks["ENV-004"].status, CheckStatus::kPass);
  EXPECT_EQ(after.checks["ENV-005"].status, CheckStatus::kPass);

  // Empty files, then the QA chain cut in the middle of its newest line.
  write_text(config_.decision_chain_path, "");
  write_text(config_.qa_chain_path, "");
  EnvironmentSnapshot empty = snapshot();
  EXPECT_EQ(empty.checks["ENV-006"].extra.at("active_approval_events").text(), "0");
  EXPECT_EQ(empty.checks["ENV-005"].status, CheckStatus::kPass);
  std::string cut = big_qa.text();
  cut.resize(cut.size() - 40);
  write_text(config_.qa_chain_path, cut);
  EXPECT_THAT(*snapshot().checks["ENV-005"].detail,
              ::testing::StartsWith("invalid chain JSON in " + config_.qa_chain_path + ": "));
}

}  // namespace
}  // namespace telmir::environment
