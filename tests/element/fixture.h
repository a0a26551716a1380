#pragma once

// A temporary installation for element verification: the proxy's configuration files, an
// optional governance key file and chains sealed by the chain generator.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "chain_generator.h"
#include "config/config.h"
#include "element/element.h"
#include "json/value.h"

namespace telmir::element::testing {

inline chaingen::GovernanceSigner test_signer() {
  std::array<std::uint8_t, 32> seed{};
  seed.fill(9);
  return chaingen::GovernanceSigner(seed);
}

class Installation {
 public:
  Installation() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "telmir-elem-XXXXXX").string();
    dir_ = ::mkdtemp(tmpl.data());
    config_.policy_rules_path = file("policy-rules.json");
    config_.capability_registry_path = file("capability-registry.json");
    config_.chain_events_spec_path = file("chain-events-v1.yaml");
    config_.qa_chain_path = file("qa-chain.jsonl");
    auto proxy = chaingen::example_proxy_configuration();
    EXPECT_TRUE(proxy.has_value());
    EXPECT_TRUE(chaingen::write_proxy_configuration(*proxy, config_.policy_rules_path,
                                                    config_.capability_registry_path));
  }
  ~Installation() { std::filesystem::remove_all(dir_); }

  std::string file(const std::string& name) const { return dir_ + "/" + name; }
  std::string write(const std::string& name, const std::string& text) const {
    std::ofstream(file(name), std::ios::binary | std::ios::trunc) << text;
    return file(name);
  }
  // The governance key file in its hexadecimal form.
  void configure_key() {
    config_.signing_key_path = write("governance-key.hex", test_signer().seed_hex() + "\n");
  }
  config::Config& config() { return config_; }

 private:
  std::string dir_;
  config::Config config_;
};

struct Entry {
  json::Node record;
  chaingen::Seal seal = {};
};

inline json::Node event(std::string type);

// The records sealed in order after an opening event, which keeps the decisions that follow
// from being a chain's first record (which has no `prev_record_hash`).
inline std::vector<json::Record> seal(std::vector<Entry> entries) {
  chaingen::ChainBuilder builder(test_signer());
  std::vector<json::Record> out;
  entries.insert(entries.begin(), Entry{event("chain_opened")});
  for (Entry& e : entries) {
    auto sealed = builder.append(std::move(e.record), e.seal);
    EXPECT_TRUE(sealed.has_value()) << (sealed ? "" : sealed.error());
    if (sealed) out.push_back(json::freeze(*sealed));
  }
  return out;
}

// A record that the generator cannot seal (not an object, a number out of range), as read.
inline json::Record raw(const std::string& text) {
  auto parsed = json::parse(text);
  EXPECT_TRUE(parsed.has_value()) << text;
  return parsed ? *parsed : json::freeze(json::Node());
}

inline json::Node decision() { return chaingen::make_decision({}); }

inline json::Node without(json::Node record, const std::vector<std::string>& keys) {
  for (const std::string& key : keys) {
    auto& members = record.members();
    std::erase_if(members, [&](const auto& m) { return m.first == key; });
  }
  return record;
}

inline json::Node with(json::Node record, std::string key, json::Node value) {
  record.set(std::move(key), std::move(value));
  return record;
}

inline json::Node event(std::string type) {
  json::Node n = json::Node::object();
  n.set("event_type", json::Node(std::move(type)));
  n.set("timestamp_utc", json::Node("2026-03-01T10:00:00Z"));
  return n;
}

}  // namespace telmir::element::testing

namespace telmir::element {
inline void PrintTo(const ElementFinding& f, std::ostream* os) {
  *os << "{" << f.element_id << ", " << f.severity << ", \"" << f.detail << "\", "
      << f.condition_id.value_or("-") << "}";
}
}  // namespace telmir::element
