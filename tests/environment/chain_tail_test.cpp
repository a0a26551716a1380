// The chain tail checks (ENV-004, ENV-005), the approval balance (ENV-006) and what a snapshot
// sees of a chain that changes between snapshots.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <random>

#include "environment/environment.h"
#include "environment_fixture.h"
#include "platform/text.h"

namespace telmir::environment {
namespace {

using testing::ChainWriter;
using testing::Installation;
using ::testing::StartsWith;
using testing::write_text;

class ChainTail : public Installation {
 protected:
  std::string path() const { return root_ + "/chain.jsonl"; }
  void write(const ChainWriter& chain) { write_text(path(), chain.text()); }
};

TEST_F(ChainTail, MissingChainPasses) {
  EXPECT_EQ(check_chain_tail(path(), 2).status, CheckStatus::kPass);
  EnvCheck approvals = check_active_approvals(path());
  EXPECT_EQ(approvals.status, CheckStatus::kPass);
  EXPECT_TRUE(approvals.extra.empty());
  Result<std::vector<json::Record>> tail = read_chain_tail(path(), std::nullopt);
  ASSERT_FALSE(tail.has_value());
  EXPECT_THAT(tail.error(), StartsWith("failed to read chain " + path() + ": "));
}

TEST_F(ChainTail, EmptyOrBlankChainPassesWithZeroApprovals) {
  for (const char* text : {"", "\n\n", "  \r\n\t\n\xe3\x80\x80\n"}) {
    SCOPED_TRACE(::testing::PrintToString(text));
    write_text(path(), text);
    EXPECT_EQ(check_chain_tail(path(), 100).status, CheckStatus::kPass);
    EnvCheck approvals = check_active_approvals(path());
    EXPECT_EQ(approvals.status, CheckStatus::kPass);
    EXPECT_EQ(approvals.extra.at("active_approval_events").text(), "0");
    EXPECT_TRUE(read_chain_tail(path(), 5)->empty());
  }
}

TEST_F(ChainTail, SingleRecordHashIsVerified) {
  ChainWriter chain;
  chain.add(testing::decision(1));
  write(chain);
  EXPECT_EQ(check_chain_tail(path(), 100).status, CheckStatus::kPass);

  std::string& line = chain.lines()[0];
  line.replace(line.find("req-1"), 5, "req-2");
  write(chain);
  EnvCheck check = check_chain_tail(path(), 100);
  EXPECT_EQ(check.status, CheckStatus::kFail);
  EXPECT_EQ(check.severity, "critical");
  EXPECT_EQ(check.detail, "record_hash verification failed");
}

TEST_F(ChainTail, MissingPrevRecordHashIsALinkageMismatch) {
  ChainWriter chain;
  chain.add(testing::decision(1));
  std::string first_hash = *chain.last_hash();
  ChainWriter unlinked;  // B sealed without a predecessor: no prev_record_hash
  chain.add_raw(unlinked.seal(testing::decision(2)));
  write(chain);
  EnvCheck check = check_chain_tail(path(), 100);
  EXPECT_EQ(check.status, CheckStatus::kFail);
  EXPECT_EQ(check.detail,
            "hash linkage mismatch: expected prev_record_hash " + first_hash + ", got None");
}

TEST_F(ChainTail, LinkageMismatchShowsTheWrongValueQuoted) {
  ChainWriter chain;
  chain.add(testing::decision(1));
  std::string first_hash = *chain.last_hash();
  json::Node b = testing::decision(2);
  chain.add(std::move(b));
  std::string& line = chain.lines()[1];
  line.replace(line.find(first_hash), first_hash.size(), "sha256:x\\\"y");
  write(chain);
  EXPECT_EQ(check_chain_tail(path(), 100).detail,
            "hash linkage mismatch: expected prev_record_hash " + first_hash +
                ", got Some(\"sha256:x\\\"y\")");
}

TEST_F(ChainTail, LinkageIsCheckedBeforeHashes) {
  ChainWriter chain;
  chain.add(testing::decision(1));
  chain.add(testing::decision(2));
  chain.add(testing::decision(3));
  // Record 1's content is changed (its hash no longer matches) and record 3's link is broken.
  std::string& first = chain.lines()[0];
  first.replace(first.find("req-1"), 5, "req-9");
  std::string& third = chain.lines()[2];
  third.replace(third.find("prev_record_hash\":\"sha256:") + 26, 1, "Z");
  write(chain);
  EXPECT_THAT(*check_chain_tail(path(), 100).detail, StartsWith("hash linkage mismatch: "));
}

TEST_F(ChainTail, RecordWithoutHashBreaksTheLinkButNewestIsFoundByHashPass) {
  ChainWriter chain;
  chain.add(testing::decision(1));
  chain.add(testing::decision(2));
  std::string& second = chain.lines()[1];
  second.replace(second.find("\"record_hash\""), 13, "\"recorded_at\"");
  write(chain);
  EXPECT_EQ(check_chain_tail(path(), 100).detail, "record_hash verification failed");

  std::string& first = chain.lines()[0];
  first.replace(first.find("\"record_hash\""), 13, "\"recorded_at\"");
  write(chain);
  EXPECT_EQ(check_chain_tail(path(), 100).detail, "chain record missing record_hash");
}

TEST_F(ChainTail, TailOfTwoHidesAnOlderBreak) {
  ChainWriter chain;
  chain.add(testing::decision(1));
  ChainWriter restarted;  // B does not link to A; C links to B
  chain.add_raw(restarted.seal(testing::decision(2)));
  chain.add_raw(restarted.seal(testing::decision(3)));
  write(chain);
  EXPECT_EQ(check_chain_tail(path(), 2).status, CheckStatus::kPass);
  EXPECT_EQ(check_chain_tail(path(), 3).status, CheckStatus::kFail);
}

TEST_F(ChainTail, BadLineFailsTailOnlyWithinItButAlwaysFailsApprovals) {
  ChainWriter chain;
  chain.add(testing::decision(1));
  chain.add_raw("not json");
  for (int i = 2; i <= 4; ++i) chain.add(testing::decision(i));
  write(chain);
  // The bad line is the fifth from the end.
  EXPECT_EQ(check_chain_tail(path(), 3).status, CheckStatus::kPass);
  EnvCheck within = check_chain_tail(path(), 4);
  EXPECT_EQ(within.status, CheckStatus::kFail);
  EXPECT_EQ(within.severity, "critical");
  EXPECT_THAT(*within.detail, StartsWith("invalid chain JSON in " + path() + ": "));

  EnvCheck approvals = check_active_approvals(path());
  EXPECT_EQ(approvals.status, CheckStatus::kFail);
  EXPECT_EQ(approvals.severity, "high");
  EXPECT_EQ(approvals.detail, within.detail);  // the same reader message
  EXPECT_TRUE(approvals.extra.empty());
}

TEST_F(ChainTail, ApprovalBalanceNeverGoesBelowZero) {
  struct Case {
    std::vector<const char*> events;
    const char* expected;
  };
  const Case cases[] = {
      {{"opaque_artifact_approval", "opaque_artifact_revocation", "opaque_artifact_revocation",
        "opaque_artifact_approval"},
       "1"},
      {{"opaque_artifact_revocation", "opaque_artifact_approval", "opaque_artifact_approval"}, "2"},
      {{"opaque_artifact_approval", "Opaque_artifact_approval", "opaque_artifact_approvals"}, "1"},
      {{}, "0"},
  };
  for (const Case& c : cases) {
    ChainWriter chain;
    chain.add(testing::decision(0));
    std::uint64_t n = 1;
    for (const char* type : c.events) chain.add(testing::event(type, n++));
    write(chain);
    EnvCheck check = check_active_approvals(path());
    SCOPED_TRACE(chain.text());
    EXPECT_EQ(check.status, CheckStatus::kPass);
    EXPECT_EQ(check.extra.at("active_approval_events").text(), c.expected);
  }
}

TEST_F(ChainTail, ApprovalCountReadsTheEventTypeAsTheReaderDoes) {
  // Spelled with escapes, repeated (the last value counts), nested or of another type.
  const char* lines[] = {
      R"({"event_type":"opaque\u005fartifact\u005fapproval"})",                              // +1
      R"({"event_type":"opaque_artifact_approval","event_type":"other"})",                   // 0
      R"({"event_type":"other","event_type":"opaque_artifact_approval"})",                   // +1
      R"({"inner":{"event_type":"opaque_artifact_approval"}})",                              // 0
      R"({"event_type":["opaque_artifact_approval"]})",                                      // 0
      R"(["opaque_artifact_approval"])",                                                     // 0
      R"({"note":"opaque_artifact_revocation","event_type":"opaque_artifact_revocation"})",  // -1
      R"({"path":"C:\\opaque_artifact_approval"})",                                          // 0
  };
  std::string text;
  for (const char* line : lines) text += std::string(line) + "\n";
  write_text(path(), text);
  EnvCheck check = check_active_approvals(path());
  EXPECT_EQ(check.status, CheckStatus::kPass);
  EXPECT_EQ(check.extra.at("active_approval_events").text(), "1");
}

TEST_F(ChainTail, TailKeepsLastNonBlankLinesInOrder) {
  write_text(path(), "{\"n\":1}\r\n\n   \n{\"n\":2}\r\n{\"n\":3}");
  Result<std::vector<json::Record>> tail = read_chain_tail(path(), 2);
  ASSERT_TRUE(tail.has_value()) << tail.error();
  ASSERT_EQ(tail->size(), 2u);
  EXPECT_EQ((*tail)[0]->root().find("n")->number_text(), "2");
  EXPECT_EQ((*tail)[1]->root().find("n")->number_text(), "3");
  EXPECT_EQ(read_chain_tail(path(), std::nullopt)->size(), 3u);
  // Lines left out of the tail are never parsed.
  write_text(path(), "garbage\n{\"n\":2}\n");
  EXPECT_TRUE(read_chain_tail(path(), 1).has_value());
  EXPECT_FALSE(read_chain_tail(path(), 2).has_value());
}

TEST_F(ChainTail, ChainThatIsNotUtf8CannotBeRead) {
  write_text(path(), "{\"n\":\"\xff\"}\n{\"n\":2}\n{\"n\":3}\n");
  Result<std::vector<json::Record>> tail = read_chain_tail(path(), 1);
  ASSERT_FALSE(tail.has_value());
  EXPECT_THAT(tail.error(), StartsWith("failed to read chain " + path() + ": "));
  EXPECT_EQ(check_chain_tail(path(), 2).detail, tail.error());
  EXPECT_EQ(check_active_approvals(path()).detail, tail.error());
}

class ChangingChain : public Installation {};

TEST_F(ChangingChain, ByteChangedInAnOldRecordIsSeenByTheNextSnapshot) {
  for (int i = 4; i < 400; ++i) governance_.add(testing::decision(i));
  write_governance();
  EnvironmentSnapshot before = snapshot();
  ASSERT_EQ(before.checks["ENV-006"].status, CheckStatus::kPass);
  ASSERT_EQ(before.checks["ENV-006"].extra.at("active_approval_events").text(), "1");

  // The approval at line 2 becomes a revocation, same length, deep outside every tail.
  std::string text = testing::read_text(config_.decision_chain_path);
  std::size_t at = text.find("opaque_artifact_approval");
  ASSERT_NE(at, std::string::npos);
  text.replace(at, 24, "opaque_artifact_revocatn");
  write_text(config_.decision_chain_path, text);
  EXPECT_EQ(snapshot().checks["ENV-006"].extra.at("active_approval_events").text(), "0");

  // One byte in the middle of record 150 breaks its JSON.
  std::size_t middle = text.find("req-150");
  ASSERT_NE(middle, std::string::npos);
  text[middle - 1] = '\x01';  // a raw control character inside a string
  write_text(config_.decision_chain_path, text);
  EnvironmentSnapshot after = snapshot();
  EXPECT_EQ(after.checks["ENV-006"].status, CheckStatus::kFail);
  EXPECT_THAT(*after.checks["ENV-006"].detail,
              StartsWith("invalid chain JSON in " + config_.decision_chain_path + ": "));
  // The tails do not reach it.
  EXPECT_EQ(after.checks["ENV-004"].status, CheckStatus::kPass);
  EXPECT_EQ(after.checks["ENV-001"].status, CheckStatus::kPass);
  EXPECT_NE(snapshot_fingerprint(after), snapshot_fingerprint(before));
}

TEST_F(ChangingChain, UnfinishedLastLineFailsThisSnapshotOnly) {
  json::Node next = testing::decision(50);
  std::string line = governance_.seal(std::move(next));
  std::string text = governance_.text();
  write_text(config_.decision_chain_path, text + line.substr(0, line.size() / 2));
  EnvironmentSnapshot partial = snapshot();
  for (const char* name : {"ENV-001", "ENV-004", "ENV-006", "ENV-010"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(partial.checks[name].status, CheckStatus::kFail);
    EXPECT_THAT(*partial.checks[name].detail,
                StartsWith("invalid chain JSON in " + config_.decision_chain_path + ": "));
  }
  EXPECT_EQ(partial.checks["ENV-004"].severity, "critical");
  EXPECT_FALSE(startup_gate_reasons(partial).empty());

  write_text(config_.decision_chain_path, text + line + "\n");
  EnvironmentSnapshot finished = snapshot();
  EXPECT_EQ(finished.overall, "healthy");
  EXPECT_TRUE(finished.active_conditions.empty());
}

TEST_F(ChangingChain, QaChainTailIsEnv005) {
  qa_.add(testing::event("qa_spc_finding", 2));
  std::string& last = qa_.lines().back();
  last.replace(last.find("evt-2"), 5, "evt-3");
  write_text(config_.qa_chain_path, qa_.text());
  EnvironmentSnapshot s = snapshot();
  EXPECT_EQ(s.checks["ENV-005"].detail, "record_hash verification failed");
  EXPECT_EQ(s.checks["ENV-004"].status, CheckStatus::kPass);
  EXPECT_EQ(startup_gate_reasons(s),
            std::vector<std::string>{"ENV-005: record_hash verification failed"});
}

}  // namespace
}  // namespace telmir::environment

namespace telmir::environment {
namespace {

using testing::actual_tail;
using testing::expected_tail;

TEST_F(ChainTail, TailFromTheEndMatchesTheForwardSplit) {
  const char* pieces[] = {"{\"n\":1}", "[2]",      "\"three\"", "\n",  "\n",
                          "\r\n",      "\r",       " ",         "\t",  "\xe3\x80\x80",
                          "\xc2\x85",  "\xc2\xa0", "{\"n\":",   "\n\n"};
  std::mt19937 rng(20261211);
  std::uniform_int_distribution<std::size_t> pick(0, std::size(pieces) - 1);
  std::uniform_int_distribution<std::size_t> length(0, 24);
  for (int round = 0; round < 400; ++round) {
    std::string text;
    for (std::size_t n = length(rng); n > 0; --n) text += pieces[pick(rng)];
    write_text(path(), text);
    for (std::size_t limit = 1; limit <= 6; ++limit) {
      SCOPED_TRACE(::testing::PrintToString(text) + " limit " + std::to_string(limit));
      ASSERT_EQ(actual_tail(path(), limit),
                expected_tail(text, limit, "invalid chain JSON in " + path() + ": "));
    }
  }
}

}  // namespace
}  // namespace telmir::environment
