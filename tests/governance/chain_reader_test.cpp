#include "governance/chain_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "intake_fixture.h"

namespace telmir::governance {
namespace {

using intake_test::append_file;
using intake_test::replace_file;
using intake_test::str;
using intake_test::TempDir;
using intake_test::write_file;

enum class Op { kWrite, kAppend, kReplace, kRemove, kRead };

struct Step {
  Op op;
  std::string text = {};              // file content for kWrite / kAppend / kReplace
  std::vector<std::string> ids = {};  // kRead: the `id` of each returned record
  std::size_t history = 0;            // kRead: history size afterwards
  std::string error = {};             // kRead: expected error prefix (then ids/history unchanged)
};

std::string ids_of(const std::vector<json::Record>& records) {
  std::string out;
  for (const json::Record& r : records) out += (out.empty() ? "" : ",") + str(r->root(), "id");
  return out;
}
std::string ids_of(const std::vector<std::string>& ids) {
  std::string out;
  for (const std::string& id : ids) out += (out.empty() ? "" : ",") + id;
  return out;
}

void run_steps(const std::vector<Step>& steps) {
  TempDir dir;
  const std::string path = dir.file("decision-chain.jsonl");
  ChainReader reader(path);
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const Step& s = steps[i];
    SCOPED_TRACE("step " + std::to_string(i));
    switch (s.op) {
      case Op::kWrite:
        write_file(path, s.text);
        break;
      case Op::kAppend:
        append_file(path, s.text);
        break;
      case Op::kReplace:
        replace_file(path, s.text);
        break;
      case Op::kRemove:
        std::remove(path.c_str());
        break;
      case Op::kRead: {
        const std::uint64_t position_before = reader.position();
        const std::size_t history_before = reader.chain_history().size();
        auto got = reader.read_new_records();
        if (!s.error.empty()) {
          ASSERT_FALSE(got.has_value());
          EXPECT_EQ(got.error().substr(0, s.error.size()), s.error) << got.error();
          EXPECT_EQ(reader.position(), position_before);
          EXPECT_EQ(reader.chain_history().size(), history_before);
          break;
        }
        ASSERT_TRUE(got.has_value()) << got.error();
        EXPECT_EQ(ids_of(*got), ids_of(s.ids));
        EXPECT_EQ(reader.chain_history().size(), s.history);
        break;
      }
    }
  }
}

struct ReaderCase {
  const char* name;
  std::vector<Step> steps;
};

TEST(ChainReader, FollowsTheChainThroughItsChanges) {
  const std::string a = R"({"id":"a"})"
                        "\n";
  const std::string b = R"({"id":"b"})"
                        "\n";
  const std::string c = R"({"id":"c"})"
                        "\n";
  const std::string d = R"({"id":"d"})"
                        "\n";
  const std::vector<ReaderCase> cases = {
      {"missing chain yields nothing, then its whole content once created",
       {{Op::kRead, "", {}, 0}, {Op::kWrite, a + b}, {Op::kRead, "", {"a", "b"}, 2}}},
      {"three records then one appended",
       {{Op::kWrite, a + b + c},
        {Op::kRead, "", {"a", "b", "c"}, 3},
        {Op::kAppend, d},
        {Op::kRead, "", {"d"}, 4},
        {Op::kRead, "", {}, 4}}},
      {"blank lines, a line of spaces and CRLF",
       {{Op::kWrite, "\n" + a + "   \n\t\n" +
                         R"({"id":"b"})"
                         "\r\n" +
                         "\r\n" + c},
        {Op::kRead, "", {"a", "b", "c"}, 3}}},
      {"last line without a line feed is a finished record when it parses",
       {{Op::kWrite, a + R"({"id":"b"})"},
        {Op::kRead, "", {"a", "b"}, 2},
        {Op::kAppend, "\n" + c},
        {Op::kRead, "", {"c"}, 3}}},
      {"bad line fails the read and is taken up once repaired, nothing twice",
       {{Op::kWrite, a},
        {Op::kRead, "", {"a"}, 1},
        {Op::kAppend, "not json\n" + c},
        {Op::kRead, "", {}, 0, "invalid governance JSON: "},
        {Op::kRead, "", {}, 0, "invalid governance JSON: "},
        {Op::kWrite, a + b + c},
        {Op::kRead, "", {"b", "c"}, 3}}},
      {"bad line in the first read keeps the reader empty",
       {{Op::kWrite, a + "{\"id\":\n" + b},
        {Op::kRead, "", {}, 0, "invalid governance JSON: "},
        {Op::kWrite, a + b},
        {Op::kRead, "", {"a", "b"}, 2}}},
      {"truncation empties the history and returns the whole new content",
       {{Op::kWrite, a + b + c},
        {Op::kRead, "", {"a", "b", "c"}, 3},
        {Op::kWrite, d},
        {Op::kRead, "", {"d"}, 1}}},
      {"a removed chain resets the reader",
       {{Op::kWrite, a + b},
        {Op::kRead, "", {"a", "b"}, 2},
        {Op::kRemove},
        {Op::kRead, "", {}, 0},
        {Op::kWrite, a + b},
        {Op::kRead, "", {"a", "b"}, 2}}},
      {"a replaced file of greater length is read from its start",
       {{Op::kWrite, a + b},
        {Op::kRead, "", {"a", "b"}, 2},
        {Op::kReplace, c + d + a},
        {Op::kRead, "", {"c", "d", "a"}, 3},
        {Op::kAppend, b},
        {Op::kRead, "", {"b"}, 4}}},
      {"a replaced file of equal length is read from its start",
       {{Op::kWrite, a + b},
        {Op::kRead, "", {"a", "b"}, 2},
        {Op::kReplace, c + d},
        {Op::kRead, "", {"c", "d"}, 2}}},
      {"an unfinished last line is left for the next read",
       {{Op::kWrite, a + R"({"id":"b)"},
        {Op::kRead, "", {"a"}, 1},
        {Op::kRead, "", {}, 1},
        {Op::kAppend, "\"}\n"},
        {Op::kRead, "", {"b"}, 2}}},
      {"a last line ending inside a UTF-8 character waits for the rest",
       {{Op::kWrite, a + "{\"id\":\"\xC3"},
        {Op::kRead, "", {"a"}, 1},
        {Op::kAppend, "\xA9\"}\n"},
        {Op::kRead, "", {"\xC3\xA9"}, 2}}},
      {"a terminated line that does not parse is still an error",
       {{Op::kWrite, a + "{\"id\":\"b\n"}, {Op::kRead, "", {}, 0, "invalid governance JSON: "}}},
      {"records that are not decisions or not objects stay in the history",
       {{Op::kWrite, a + "[1,2]\n\"text\"\n" + b},
        {Op::kRead, "", {"a", "<missing>", "<missing>", "b"}, 4}}},
  };
  for (const ReaderCase& c : cases) {
    SCOPED_TRACE(c.name);
    run_steps(c.steps);
  }
}

TEST(ChainReader, UnchangedLengthAndTimeAreNotReadAgain) {
  TempDir dir;
  const std::string path = dir.file("chain.jsonl");
  // The unfinished second line keeps the position before the end of the file.
  write_file(path, "{\"id\":\"a\"}\n{\"id\":\"bb");
  struct stat before {};
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  ChainReader reader(path);
  ASSERT_EQ(reader.read_new_records()->size(), 1u);
  // Same length and modification time, a finished record after the position: a reader that
  // opened the file would return it.
  write_file(path, "{\"id\":\"a\"}\n{\"i\":\"c\"}");
  const struct timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  auto again = reader.read_new_records();
  ASSERT_TRUE(again.has_value()) << again.error();
  EXPECT_TRUE(again->empty());
  // A new modification time makes the reader look again.
  const struct timespec later[2] = {before.st_atim, {before.st_mtim.tv_sec + 5, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), later, 0), 0);
  auto third = reader.read_new_records();
  ASSERT_TRUE(third.has_value()) << third.error();
  ASSERT_EQ(third->size(), 1u);
  EXPECT_EQ(str((*third)[0]->root(), "i"), "c");
}

TEST(ChainReader, ResetsAdvanceTheHistoryGeneration) {
  TempDir dir;
  const std::string path = dir.file("chain.jsonl");
  ChainReader reader(path);
  write_file(path, "{\"id\":\"a\"}\n{\"id\":\"b\"}\n");
  ASSERT_TRUE(reader.read_new_records().has_value());
  const std::uint64_t g0 = reader.chain_history().generation();
  append_file(path, "{\"id\":\"c\"}\n");
  ASSERT_TRUE(reader.read_new_records().has_value());
  EXPECT_EQ(reader.chain_history().generation(), g0);
  write_file(path, "{\"id\":\"d\"}\n");
  ASSERT_TRUE(reader.read_new_records().has_value());
  EXPECT_EQ(reader.chain_history().generation(), g0 + 1);
  replace_file(path, "{\"id\":\"e\"}\n{\"id\":\"f\"}\n");
  ASSERT_TRUE(reader.read_new_records().has_value());
  EXPECT_EQ(reader.chain_history().generation(), g0 + 2);
  EXPECT_EQ(reader.chain_history().size(), 2u);
}

TEST(ChainReader, ReturnsTheSameRecordsItAppendsToTheHistory) {
  TempDir dir;
  const std::string path = dir.file("chain.jsonl");
  write_file(path, "{\"id\":\"a\"}\n{\"id\":\"b\"}\n");
  ChainReader reader(path);
  auto got = reader.read_new_records();
  ASSERT_TRUE(got.has_value());
  ASSERT_EQ(got->size(), 2u);
  EXPECT_EQ((*got)[0].get(), reader.chain_history()[0].get());
  EXPECT_EQ((*got)[1].get(), reader.chain_history()[1].get());
}

TEST(ChainReader, FailuresCarryTheirMessagesAndLeaveTheReaderAsItWas) {
  TempDir dir;
  {
    const std::string not_dir = dir.file("plain");
    write_file(not_dir, "x");
    ChainReader reader(not_dir + "/chain.jsonl");
    auto got = reader.read_new_records();
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error(),
              "failed to stat governance chain " + not_dir + "/chain.jsonl: Not a directory");
  }
  {
    const std::string sub = dir.file("sub");
    ASSERT_EQ(::mkdir(sub.c_str(), 0777), 0);
    ChainReader reader(sub);
    auto got = reader.read_new_records();
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error(), "failed to read governance chain " + sub + ": Is a directory");
  }
  {
    const std::string path = dir.file("latin1.jsonl");
    write_file(path, "{\"id\":\"caf\xE9\"}\n");
    ChainReader reader(path);
    auto got = reader.read_new_records();
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error(),
              "failed to read governance chain " + path + ": stream did not contain valid UTF-8");
    EXPECT_EQ(reader.position(), 0u);
  }
  {
    // Invalid UTF-8 anywhere is the read error, even behind a line that is not JSON.
    const std::string path = dir.file("mixed.jsonl");
    write_file(path, "not json\n{\"id\":\"caf\xE9\"}\n");
    ChainReader reader(path);
    auto got = reader.read_new_records();
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error(),
              "failed to read governance chain " + path + ": stream did not contain valid UTF-8");
  }
  {
    // The next read would start inside "é": the tail is not valid UTF-8.
    const std::string path = dir.file("shifted.jsonl");
    write_file(path, "{\"id\":\"a\"}\n");
    ChainReader reader(path);
    ASSERT_TRUE(reader.read_new_records().has_value());
    ASSERT_EQ(reader.position(), 11u);
    write_file(path, "{\"id\":\"x\xC3\xA9\xC3\xA9\"}\n");
    auto got = reader.read_new_records();
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error(),
              "failed to read governance chain tail: stream did not contain valid UTF-8");
    EXPECT_EQ(reader.position(), 11u);
    EXPECT_EQ(reader.chain_history().size(), 1u);
  }
}

TEST(ChainReader, ReadsTheInteropChainLikeItsWriter) {
  const std::string path = std::string(TELMIR_TEST_DATA_DIR) + "/interop/decision-chain.jsonl";
  ChainReader reader(path);
  auto got = reader.read_new_records();
  ASSERT_TRUE(got.has_value()) << got.error();
  auto expected =
      platform::read_file(std::string(TELMIR_TEST_DATA_DIR) + "/interop/expected.jsonl");
  ASSERT_TRUE(expected.has_value());
  EXPECT_EQ(got->size(), platform::split_json_lines(*expected).size());
}

}  // namespace
}  // namespace telmir::governance
