#pragma once

// Small governance chains for the behavioural tests, sealed by the chain generator so that every
// record carries a real hash; evidence is compared by record position.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "behavioral/behavioral.h"
#include "chain_generator.h"
#include "config/config.h"
#include "governance/records/records.h"
#include "json/value.h"

namespace telmir::behavioral::testing {

inline chaingen::GovernanceSigner test_signer() {
  std::array<std::uint8_t, 32> seed{};
  seed.fill(7);
  return chaingen::GovernanceSigner(seed);
}

// One entry of a test chain: the record and how it is sealed.
struct Entry {
  json::Node record;
  chaingen::Seal seal = {};
};

struct Chain {
  std::vector<json::Record> records;

  // The record_hash strings of the records at the given positions (positions whose record has
  // no string hash are left out, as the findings leave them out).
  std::vector<std::string> hashes(const std::vector<std::size_t>& positions) const {
    std::vector<std::string> out;
    for (std::size_t p : positions) {
      if (auto h = governance::record_hash_text(records.at(p)->root())) out.emplace_back(*h);
    }
    return out;
  }
};

inline Chain seal(std::vector<Entry> entries) {
  chaingen::ChainBuilder builder(test_signer());
  Chain chain;
  for (Entry& e : entries) {
    auto sealed = builder.append(std::move(e.record), e.seal);
    EXPECT_TRUE(sealed.has_value()) << (sealed ? "" : sealed.error());
    if (sealed) chain.records.push_back(json::freeze(*sealed));
  }
  return chain;
}

// A decision of `tool` with the given decision, category label, timestamp and rule.
inline json::Node decision(std::string tool, std::string value, std::string category = "read",
                           std::string timestamp = "2026-03-01T10:00:00Z",
                           std::optional<std::string> rule = "r1") {
  chaingen::DecisionSpec spec;
  spec.tool = std::move(tool);
  spec.policy_decision = std::move(value);
  spec.category = category;
  spec.action_type = std::move(category);
  spec.timestamp_utc = std::move(timestamp);
  spec.matched_rule = std::move(rule);
  return chaingen::make_decision(spec);
}

// An ALLOW taken on the approval `reference`.
inline json::Node approved(std::string reference, std::string timestamp, std::string tool = "t") {
  chaingen::DecisionSpec spec;
  spec.tool = std::move(tool);
  spec.matched_rule = "approved_lookup";
  spec.approval_event_id = std::move(reference);
  spec.timestamp_utc = std::move(timestamp);
  return chaingen::make_decision(spec);
}

inline json::Node event(std::string event_type) {
  json::Node n = json::Node::object();
  n.set("event_type", json::Node(std::move(event_type)));
  n.set("timestamp_utc", json::Node("2026-03-01T10:00:00Z"));
  return n;
}

inline json::Node approval(std::string id, std::string op, std::string timestamp) {
  return chaingen::make_approval(std::move(id), std::move(op), std::move(timestamp));
}

inline json::Node revocation(std::string id, std::string of) {
  return chaingen::make_revocation(std::move(id), std::move(of), "ops", "2026-03-01T10:00:00Z");
}

// A configuration whose policy rules file does not exist unless text is given.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "telmir-behav-XXXXXX").string();
    path_ = ::mkdtemp(tmpl.data());
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  std::string write(const std::string& name, const std::string& text) const {
    std::ofstream(file(name), std::ios::binary) << text;
    return file(name);
  }

 private:
  std::string path_;
};

inline config::Config config_in(const TempDir& dir) {
  config::Config c;
  c.policy_rules_path = dir.file("policy-rules.json");
  c.qa_chain_path = dir.file("qa-chain.jsonl");
  return c;
}

}  // namespace telmir::behavioral::testing
