#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json/value.h"
#include "key/key.h"
#include "platform/text.h"
#include "qa_chain/qa_chain.h"
#include "temp_dir.h"

namespace telmir::qa {

inline key::QaKey test_key() {
  return key::QaKey(
      *key::parse_signing_key("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60"));
}

// A QA chain in a temporary directory, with the lines it holds.
class ChainTest : public ::testing::Test {
 protected:
  std::string chain_path() const { return dir_.file("LOGS/qa-chain.jsonl"); }

  QaChainWriter open_writer() {
    auto writer = open_qa_chain(chain_path(), test_key());
    EXPECT_TRUE(writer.has_value()) << writer.error();
    return std::move(*writer);
  }

  std::string file_text() const { return read_text(chain_path()); }

  std::vector<json::Record> records() const {
    std::vector<json::Record> out;
    std::string text = file_text();
    for (const auto& line : platform::split_json_lines(text)) {
      auto r = json::parse(line.text);
      EXPECT_TRUE(r.has_value()) << r.error();
      if (r) out.push_back(*r);
    }
    return out;
  }

  TempDir dir_;
};

}  // namespace telmir::qa
