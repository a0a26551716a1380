#pragma once

// A small installation in a temporary directory: policy rules, capability registry, classifier
// source, QA key and both chains, arranged so that every snapshot check passes, plus helpers to
// write hash-linked chains and to damage them.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "canonical/canonical.h"
#include "canonical/preimage.h"
#include "config/config.h"
#include "environment/environment.h"
#include "json/value.h"
#include "key/key.h"
#include "platform/text.h"

namespace telmir::environment::testing {

inline constexpr std::string_view kPolicyRules =
    R"({"version":2,"rules":[{"id":"allow_read_workspace","tool":"read_file"}],"_comment":"x"})";
inline constexpr std::string_view kRegistry =
    "{\"capabilities\":[\"read_file\"],\"governance_posture\":\"production\"}\n";

inline void write_text(const std::string& path, std::string_view text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

inline std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Hash-linked records as both chains hold them.
class ChainWriter {
 public:
  // Links the record to the previous one, fills in its record hash and returns its line.
  std::string seal(json::Node record) {
    if (last_hash_) record.set("prev_record_hash", *last_hash_);
    record.set("record_hash", nullptr);
    Result<std::string> hash = canonical::record_hash(record);
    EXPECT_TRUE(hash.has_value());
    record.set("record_hash", *hash);
    last_hash_ = *hash;
    Result<std::string> line = canonical::canonical_json(record);
    EXPECT_TRUE(line.has_value());
    return *line;
  }
  void add(json::Node record) { lines_.push_back(seal(std::move(record))); }
  void add_raw(std::string line) { lines_.push_back(std::move(line)); }

  std::vector<std::string>& lines() { return lines_; }
  const std::optional<std::string>& last_hash() const { return last_hash_; }
  std::string text() const {
    std::string out;
    for (const std::string& line : lines_) out += line + "\n";
    return out;
  }

 private:
  std::vector<std::string> lines_;
  std::optional<std::string> last_hash_;
};

inline json::Node event(std::string_view event_type, std::uint64_t n) {
  json::Node record = json::Node::object();
  record.set("event_type", std::string(event_type));
  record.set("event_id", "evt-" + std::to_string(n));
  return record;
}

inline json::Node decision(std::uint64_t n) {
  json::Node record = json::Node::object();
  record.set("record_type", "mediated_decision");
  record.set("policy_decision", "ALLOW");
  record.set("original_tool", "read_file");
  record.set("request_id", "req-" + std::to_string(n));
  return record;
}

inline FileSystemSpaceQuery space_of_mb(std::uint64_t mb) {
  return [mb](const std::string&) -> Result<FileSystemSpace> {
    return FileSystemSpace{mb * 256, 4096};
  };
}

class Installation : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "telmir-env-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    config_.repo_root = root_ + "/repo";
    config_.runtime_dir = root_ + "/run";
    config_.qa_signing_key_path = config_.runtime_dir + "/.orvante-qa-signing-key.pem";
    config_.policy_rules_path = config_.repo_root + "/capabilities/policy-rules.json";
    config_.capability_registry_path = config_.repo_root + "/capabilities/capability-registry.json";
    config_.decision_chain_path = config_.runtime_dir + "/LOGS/decision-chain.jsonl";
    config_.qa_chain_path = config_.runtime_dir + "/LOGS/qa-chain.jsonl";
    config_.tail_records = 100;
    write_text(config_.policy_rules_path, kPolicyRules);
    write_text(config_.capability_registry_path, kRegistry);
    write_text(config_.repo_root + "/scripts/classifier.py", "print('classify')\n");
    ASSERT_TRUE(key::ensure_qa_signing_key(config_.qa_signing_key_path).has_value());
    policy_hash_ = *compute_policy_rules_hash(config_.policy_rules_path);
    registry_hash_ = *compute_capability_registry_hash(config_.capability_registry_path);

    json::Node first = decision(1);
    first.set("policy_rules_hash", policy_hash_);
    first.set("capability_registry_hash", registry_hash_);
    governance_.add(std::move(first));
    governance_.add(event("opaque_artifact_approval", 2));
    governance_.add(decision(3));
    write_governance();
    json::Node qa = json::Node::object();
    qa.set("event_type", "qa_environmental_snapshot");
    qa.set("sequence", json::Node::from_u64(1));
    qa_.add(std::move(qa));
    write_text(config_.qa_chain_path, qa_.text());
  }

  void TearDown() override { std::filesystem::remove_all(root_); }

  void write_governance() { write_text(config_.decision_chain_path, governance_.text()); }

  EnvironmentSnapshot snapshot(std::uint64_t free_mb = 500) {
    return take_snapshot(config_, space_of_mb(free_mb));
  }

  std::string root_;
  config::Config config_;
  std::string policy_hash_;
  std::string registry_hash_;
  ChainWriter governance_;
  ChainWriter qa_;
};

// What a tail read must return: the last `limit` lines of the forward split, parsed in order,
// one compact line each; a line that does not parse gives "error: " + `error_prefix` + its
// message.
inline std::string expected_tail(std::string_view text, std::size_t limit,
                                 std::string_view error_prefix = "") {
  std::vector<platform::JsonLine> lines = platform::split_json_lines(text);
  std::size_t first = lines.size() > limit ? lines.size() - limit : 0;
  std::string out;
  for (std::size_t i = first; i < lines.size(); ++i) {
    Result<json::Record> record = json::parse(lines[i].text);
    if (!record) return "error: " + std::string(error_prefix) + record.error();
    out += json::write_compact(record.value()->root()) + "\n";
  }
  return out;
}

// What `read_chain_tail` returns, in the same form.
inline std::string actual_tail(const std::string& path, std::size_t limit) {
  Result<std::vector<json::Record>> tail = read_chain_tail(path, limit);
  if (!tail) return "error: " + tail.error();
  std::string out;
  for (const json::Record& record : *tail) out += json::write_compact(record->root()) + "\n";
  return out;
}

}  // namespace telmir::environment::testing
