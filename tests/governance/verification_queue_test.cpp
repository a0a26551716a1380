#include "governance/verification_queue.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "intake_fixture.h"

namespace telmir::governance {
namespace {

using intake_test::read_qa_records;
using intake_test::str;
using intake_test::TempDir;

json::Record rec(std::string_view text) {
  auto r = json::parse(text);
  EXPECT_TRUE(r.has_value()) << r.error();
  return *r;
}

class VerificationQueueTest : public ::testing::Test {
 protected:
  qa::QaChainWriter open_writer() {
    auto w = qa::open_qa_chain(qa_path(), intake_test::test_qa_key());
    EXPECT_TRUE(w.has_value()) << w.error();
    return std::move(*w);
  }
  std::string qa_path() const { return dir_.file("qa-chain.jsonl"); }
  TempDir dir_;
};

TEST_F(VerificationQueueTest, OverflowAppendsAWarningAndASkipPerDecisionInOrder) {
  auto writer = open_writer();
  VerificationQueue queue(2);
  std::vector<json::Record> records = {
      rec(R"({"policy_decision":"ALLOW","record_hash":"h1"})"),
      rec(R"({"policy_decision":"DENY","record_hash":"h2"})"),
      rec(R"({"policy_decision":"ALLOW","record_hash":"h3"})"),
      rec(R"({"policy_decision":"DENY"})"),
      rec(R"({"policy_decision":"ALLOW","record_hash":5})"),
  };
  ASSERT_TRUE(enqueue_decisions(queue, records, writer).has_value());
  EXPECT_EQ(queue.size(), 2u);
  EXPECT_EQ(str(queue.pop().value()->root(), "record_hash"), "h1");
  EXPECT_EQ(str(queue.pop().value()->root(), "record_hash"), "h2");

  const auto qa = read_qa_records(qa_path());
  ASSERT_EQ(qa.size(), 6u);
  const char* skipped_hashes[] = {"h3", "unknown", "unknown"};
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const json::Value& warning = qa[2 * i]->root();
    const json::Value& skipped = qa[2 * i + 1]->root();
    EXPECT_EQ(str(warning, "event_type"), "qa_verification_backlog_warning");
    EXPECT_EQ(warning.find("queue_depth")->number_text(), "2");
    EXPECT_EQ(warning.find("queue_capacity")->number_text(), "2");
    EXPECT_EQ(str(skipped, "event_type"), "qa_decision_verification_skipped");
    EXPECT_EQ(str(skipped, "governance_record_hash"), skipped_hashes[i]);
    EXPECT_EQ(str(skipped, "reason"), "verification_queue_overflow");
  }
}

TEST_F(VerificationQueueTest, OnlyDecisionRecordsAreQueued) {
  auto writer = open_writer();
  VerificationQueue queue(10);
  std::vector<json::Record> records = {
      rec(R"({"policy_decision":"allow","record_hash":"lower"})"),
      rec(R"({"policy_decision":"MAYBE","record_hash":"other"})"),
      rec(R"({"record_hash":"missing"})"),
      rec(R"({"event_type":"opaque_artifact_approval","record_hash":"event"})"),
      rec(R"(["policy_decision","ALLOW"])"),
      rec(R"({"policy_decision":"DENY","record_hash":"kept"})"),
  };
  ASSERT_TRUE(enqueue_decisions(queue, records, writer).has_value());
  ASSERT_EQ(queue.size(), 1u);
  EXPECT_EQ(str(queue.front()->root(), "record_hash"), "kept");
  EXPECT_TRUE(read_qa_records(qa_path()).empty());
}

TEST_F(VerificationQueueTest, QueueKeepsRecordsAcrossCallsUpToItsCapacity) {
  auto writer = open_writer();
  VerificationQueue queue(3);
  ASSERT_TRUE(enqueue_decisions(queue,
                                {rec(R"({"policy_decision":"ALLOW","record_hash":"a"})"),
                                 rec(R"({"policy_decision":"ALLOW","record_hash":"b"})")},
                                writer)
                  .has_value());
  ASSERT_TRUE(enqueue_decisions(queue,
                                {rec(R"({"policy_decision":"ALLOW","record_hash":"c"})"),
                                 rec(R"({"policy_decision":"ALLOW","record_hash":"d"})")},
                                writer)
                  .has_value());
  EXPECT_EQ(queue.size(), 3u);
  const auto qa = read_qa_records(qa_path());
  ASSERT_EQ(qa.size(), 2u);
  EXPECT_EQ(qa[0]->root().find("queue_depth")->number_text(), "3");
  EXPECT_EQ(str(qa[1]->root(), "governance_record_hash"), "d");
}

TEST_F(VerificationQueueTest, AFailingAppendEndsTheCallWithItsError) {
  auto writer = open_writer();
  // A directory where the QA chain should be: every append fails.
  ASSERT_EQ(::mkdir(qa_path().c_str(), 0777), 0);
  VerificationQueue queue(1);
  std::vector<json::Record> records = {
      rec(R"({"policy_decision":"ALLOW","record_hash":"a"})"),
      rec(R"({"policy_decision":"ALLOW","record_hash":"b"})"),
      rec(R"({"policy_decision":"ALLOW","record_hash":"c"})"),
  };
  auto result = enqueue_decisions(queue, records, writer);
  ASSERT_FALSE(result.has_value());
  EXPECT_NE(result.error().find(qa_path()), std::string::npos) << result.error();
  EXPECT_EQ(queue.size(), 1u);
  EXPECT_EQ(writer.next_sequence(), 1u);
}

TEST(VerificationQueue, CapacityZeroIsRaisedToOne) {
  VerificationQueue queue(0);
  EXPECT_EQ(queue.capacity(), 1u);
  EXPECT_TRUE(queue.push(rec("{}")));
  EXPECT_FALSE(queue.push(rec("{}")));
  EXPECT_TRUE(queue.pop().has_value());
  EXPECT_FALSE(queue.pop().has_value());
}

}  // namespace
}  // namespace telmir::governance
