#pragma once

// Shared pieces of the end-to-end tests.

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "json/value.h"
#include "support/installation.h"
#include "support/qa_chain_file.h"

namespace telmir::testing {

// Records of the governance chain as the installation wrote them.
inline std::vector<json::Record> governance_records(Installation& inst) {
  std::vector<json::Record> out;
  for (const std::string& line : inst.chain().lines()) {
    auto r = json::parse(line);
    if (r) out.push_back(*r);
  }
  return out;
}

inline bool is_decision(const json::Record& r) {
  auto d = r->root().string_member("policy_decision");
  return d == "ALLOW" || d == "DENY";
}

inline std::size_t count_decisions(Installation& inst) {
  std::size_t n = 0;
  for (const auto& r : governance_records(inst)) n += is_decision(r) ? 1 : 0;
  return n;
}

inline std::string check_status(const json::Record& snapshot, std::string_view check) {
  const json::Value* checks = snapshot->root().find("checks");
  if (checks == nullptr) return "";
  const json::Value* c = checks->find(check);
  if (c == nullptr) return "";
  return std::string(c->string_member("status").value_or(""));
}

inline bool contains(const std::vector<std::string>& list, std::string_view item) {
  for (const auto& s : list) {
    if (s == item) return true;
  }
  return false;
}

// The QA chain verifies line by line under the installation's QA key.
inline void expect_qa_chain_verifies(const Installation& inst) {
  auto n = verify_qa_chain(inst.qa_chain_path(), inst.qa_key_path());
  EXPECT_TRUE(n.has_value()) << n.error();
}

}  // namespace telmir::testing
