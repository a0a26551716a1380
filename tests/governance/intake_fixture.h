#pragma once

// A temporary directory with a governance chain file and a QA chain writer, for the intake
// tests.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
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

namespace telmir::intake_test {

// A temporary directory per test, removed with everything in it.
class TempDir : public ::telmir::testing::TempDir {
 public:
  TempDir() : ::telmir::testing::TempDir("telmir-intake") {}
};

inline void write_bytes(const std::string& path, std::string_view bytes, const char* mode) {
  std::FILE* f = std::fopen(path.c_str(), mode);
  ASSERT_NE(f, nullptr) << path;
  ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  ASSERT_EQ(std::fclose(f), 0);
}
inline void write_file(const std::string& path, std::string_view bytes) {
  write_bytes(path, bytes, "wb");
}
inline void append_file(const std::string& path, std::string_view bytes) {
  write_bytes(path, bytes, "ab");
}
// A new file (new inode) renamed over the path, as log rotation leaves it.
inline void replace_file(const std::string& path, std::string_view bytes) {
  const std::string tmp = path + ".new";
  write_file(tmp, bytes);
  ASSERT_EQ(std::rename(tmp.c_str(), path.c_str()), 0);
}

inline key::QaKey test_qa_key() {
  return key::QaKey(
      *key::parse_signing_key("4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb"));
}

inline std::vector<json::Record> read_qa_records(const std::string& path) {
  std::vector<json::Record> out;
  auto text = platform::read_file(path);
  if (!text) return out;
  for (const auto& line : platform::split_json_lines(*text)) {
    auto r = json::parse(line.text);
    EXPECT_TRUE(r.has_value()) << r.error();
    if (r) out.push_back(*r);
  }
  return out;
}

inline std::string str(const json::Value& record, std::string_view key) {
  auto s = record.string_member(key);
  return s ? std::string(*s) : std::string("<missing>");
}

}  // namespace telmir::intake_test
