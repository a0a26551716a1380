#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "canonical/preimage.h"
#include "platform/fs.h"
#include "platform/text.h"

namespace telmir::canonical {
namespace {

// A chain written by an independent implementation of the proxy's record format, with the
// preimages and hashes it computed: any byte-level disagreement shows up here first.
TEST(Interop, PreimagesAndHashesMatchAnIndependentWriter) {
  const std::string dir = std::string(TELMIR_TEST_DATA_DIR) + "/interop/";
  const Result<std::string> chain = platform::read_file(dir + "decision-chain.jsonl");
  ASSERT_TRUE(chain.has_value()) << chain.error();
  const Result<std::string> expected = platform::read_file(dir + "expected.jsonl");
  ASSERT_TRUE(expected.has_value()) << expected.error();

  const std::vector<platform::JsonLine> records = platform::split_json_lines(*chain);
  const std::vector<platform::JsonLine> rows = platform::split_json_lines(*expected);
  ASSERT_EQ(records.size(), rows.size());
  ASSERT_FALSE(rows.empty());

  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE("chain line at byte " + std::to_string(records[i].offset));
    const Result<json::Record> record = json::parse(records[i].text);
    ASSERT_TRUE(record.has_value()) << record.error();
    const Result<json::Record> row = json::parse(rows[i].text);
    ASSERT_TRUE(row.has_value()) << row.error();
    const json::Value& r = (*record)->root();
    const json::Value& want = (*row)->root();

    const Result<std::string> preimage = record_hash_preimage(r);
    ASSERT_TRUE(preimage.has_value()) << preimage.error();
    EXPECT_EQ(*preimage, want.string_member("record_hash_preimage").value_or("<missing>"));

    const Result<std::string> hash = record_hash(r);
    ASSERT_TRUE(hash.has_value()) << hash.error();
    EXPECT_EQ(*hash, want.string_member("record_hash").value_or("<missing>"));
    EXPECT_EQ(*hash, r.string_member("record_hash").value_or("<missing>"));

    const Result<std::string> signed_bytes = signature_preimage(r);
    ASSERT_TRUE(signed_bytes.has_value()) << signed_bytes.error();
    EXPECT_EQ(*signed_bytes, want.string_member("signature_preimage").value_or("<missing>"));
  }
}

}  // namespace
}  // namespace telmir::canonical
