#pragma once

// Records, a temporary directory and a QA chain writer for the SPC tests.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "json/value.h"
#include "key/key.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "qa_chain/qa_chain.h"
#include "support/temp_dir.h"

namespace telmir::spc_test {

// A temporary directory per test, removed with everything in it.
class TempDir : public ::telmir::testing::TempDir {
 public:
  TempDir() : ::telmir::testing::TempDir("telmir-spc") {}
};

inline json::Record rec(std::string_view text) {
  auto r = json::parse(text);
  EXPECT_TRUE(r.has_value()) << text << ": " << r.error();
  return r ? *r : json::freeze(json::Node());
}

inline std::vector<json::Record> recs(std::initializer_list<std::string_view> texts) {
  std::vector<json::Record> out;
  for (std::string_view t : texts) out.push_back(rec(t));
  return out;
}

inline qa::QaChainWriter open_writer(const std::string& path) {
  auto w = qa::open_qa_chain(
      path, key::QaKey(*key::parse_signing_key(
                "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb")));
  EXPECT_TRUE(w.has_value()) << w.error();
  return std::move(*w);
}

inline std::vector<json::Record> read_records(const std::string& path) {
  std::vector<json::Record> out;
  auto text = platform::read_file(path);
  if (!text) return out;
  for (const auto& line : platform::split_json_lines(*text)) out.push_back(rec(line.text));
  return out;
}

}  // namespace telmir::spc_test
