// The indexed checks against plain scans of the history, written the simple way: every lookup
// walks the history from its first entry.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "canonical/preimage.h"
#include "governance/records/records.h"
#include "governance/verifier_checks.h"
#include "governance/verifier_index.h"
#include "json/value.h"
#include "platform/text.h"

namespace telmir::governance {
namespace {

using History = std::span<const json::Record>;

std::optional<std::size_t> scan_position(History history, const json::Value& record) {
  for (std::size_t i = 0; i < history.size(); ++i) {
    if (same_record(history[i]->root(), record)) return i;
  }
  return std::nullopt;
}

CheckOutcome scan_structural_integrity(const json::Value& record, History history) {
  auto critical = [](std::string detail) {
    return CheckOutcome::fail(kSeverityCritical, std::move(detail), kEnvironmentCriticalCode,
                              kEnvironmentCriticalType);
  };
  Result<std::string> computed = canonical::record_hash(record);
  if (!computed) return critical(computed.error());
  std::optional<std::string_view> stored = record_hash_text(record);
  if (!stored || *stored != *computed) {
    return critical(fmt::format("record_hash mismatch: expected {}, got {}", *computed,
                                platform::optional_notation(stored)));
  }
  std::optional<std::size_t> p = scan_position(history, record);
  if (!p) return CheckOutcome::pass();
  std::optional<std::string_view> expected;
  if (*p > 0) expected = record_hash_text(history[*p - 1]->root());
  std::optional<std::string_view> actual = record.string_member("prev_record_hash");
  const bool linked = (!expected && !actual) || (expected && actual && *expected == *actual);
  if (linked) return CheckOutcome::pass();
  return critical(fmt::format("prev_record_hash mismatch: expected {}, got {}",
                              platform::optional_notation(expected),
                              platform::optional_notation(actual)));
}

CheckOutcome scan_classification(const json::Value& record, History history, std::uint64_t n) {
  std::optional<std::size_t> p = scan_position(history, record);
  if (!p || *p == 0) return CheckOutcome::pass();
  const std::string_view tool = tool_key(record);
  const std::string label = classification_label(record);
  std::uint64_t examined = 0;
  for (std::size_t c = *p; c-- > 0;) {
    const json::Value& candidate = history[c]->root();
    if (!is_decision_record(candidate) || tool_key(candidate) != tool) continue;
    const std::string earlier = classification_label(candidate);
    if (earlier != label) {
      bool explained = false;
      for (std::size_t k = c + 1; k < *p; ++k) {
        if (is_configuration_change(history[k]->root())) explained = true;
      }
      if (!explained) {
        return CheckOutcome::fail(
            kSeverityHigh,
            fmt::format("classification changed for {}: {} -> {}", tool, earlier, label),
            kClassificationAnomalyCode, kClassificationAnomalyType);
      }
    }
    if (++examined == n) return CheckOutcome::pass();
  }
  return CheckOutcome::pass();
}

bool has_text(const json::Value& record, std::string_view key, std::string_view value) {
  return record.string_member(key) == value;
}

CheckOutcome scan_approval(const json::Value& record, History history, std::uint64_t max_age) {
  auto invalid = [](std::string detail) {
    return CheckOutcome::fail(kSeverityCritical, std::move(detail), kInvalidApprovalCode,
                              kInvalidApprovalType);
  };
  std::optional<std::string_view> ref;
  if (record.find("approval_event_id") != nullptr) {
    ref = record.string_member("approval_event_id");
  } else {
    ref = record.string_member("approval_id");
  }
  if (!ref) {
    if (has_text(record, "matched_rule", "approved_lookup")) {
      return invalid("decision used approval override but did not reference an approval event");
    }
    return CheckOutcome::pass();
  }
  std::optional<std::size_t> a;
  for (std::size_t i = 0; i < history.size() && !a; ++i) {
    const json::Value& e = history[i]->root();
    if (!has_text(e, "event_type", "opaque_artifact_approval")) continue;
    if (has_text(e, "event_id", *ref) || has_text(e, "approval_id", *ref) ||
        has_text(e, "record_hash", *ref)) {
      a = i;
    }
  }
  if (!a) return invalid(fmt::format("approval {} not found in chain history", *ref));
  for (std::size_t i = *a + 1; i < history.size(); ++i) {
    const json::Value& e = history[i]->root();
    if (!has_text(e, "event_type", "opaque_artifact_revocation")) continue;
    if (has_text(e, "approval_event_id", *ref) || has_text(e, "event_id", *ref) ||
        has_text(e, "approval_id", *ref)) {
      return invalid(fmt::format("approval {} was revoked before decision verification", *ref));
    }
  }
  if (max_age == 0) return CheckOutcome::pass();
  std::optional<std::uint64_t> approved = record_timestamp(history[*a]->root());
  std::optional<std::uint64_t> decided = record_timestamp(record);
  if (!approved || !decided) return CheckOutcome::pass();
  const std::uint64_t age = *decided > *approved ? *decided - *approved : 0;
  if (age <= max_age) return CheckOutcome::pass();
  return CheckOutcome::fail(kSeverityCritical,
                            fmt::format("approval {} exceeded maximum age: {}s", *ref, age),
                            kSessionExpiryCode, kSessionExpiryType);
}

// Random histories over small vocabularies, so that tools, labels, references and hashes
// repeat often.
class HistoryMaker {
 public:
  explicit HistoryMaker(std::uint64_t seed) : rng_(seed) {}

  std::vector<json::Record> make(std::size_t length) {
    std::vector<json::Record> history;
    std::vector<std::string> hashes;
    for (std::size_t i = 0; i < length; ++i) {
      if (!history.empty() && chance(8)) {
        // The same record again.
        history.push_back(history[pick(history.size())]);
        continue;
      }
      if (chance(40)) {
        history.push_back(json::freeze(json::Node::from_u64(i)));
        continue;
      }
      json::Node record = make_record();
      stamp(record);
      // Linkage: mostly right, sometimes another record's hash, sometimes none.
      if (!hashes.empty() && !chance(10)) {
        record.set("prev_record_hash",
                   json::Node(chance(10) ? hashes[pick(hashes.size())] : hashes.back()));
      }
      const int hash_form = static_cast<int>(pick(20));
      if (hash_form == 0) {
        // No record_hash at all.
      } else if (hash_form == 1 && !hashes.empty()) {
        record.set("record_hash", json::Node(hashes[pick(hashes.size())]));  // a repeated text
      } else if (hash_form == 2) {
        record.set("record_hash", json::Node::from_u64(7));
      } else {
        record.set("record_hash", json::Node());
        std::string hash = canonical::record_hash(record).value();
        record.set("record_hash", json::Node(hash));
      }
      if (const json::Node* h = record.find("record_hash"); h && h->kind() == json::Kind::kString) {
        hashes.push_back(h->text());
        if (is_approval_) approval_hashes_.push_back(h->text());
      }
      history.push_back(json::freeze(record));
    }
    return history;
  }

  // A decision that is not in any history.
  json::Record stray_decision() {
    json::Node record = decision();
    stamp(record);
    record.set("record_hash", json::Node("sha256:" + std::string(64, 'f')));
    return json::freeze(record);
  }

 private:
  bool chance(int one_in) { return pick(static_cast<std::size_t>(one_in)) == 0; }
  std::size_t pick(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
  }
  std::string reference() {
    if (!approval_hashes_.empty() && chance(6))
      return approval_hashes_[pick(approval_hashes_.size())];
    return fmt::format("A{}", pick(6));
  }

  void stamp(json::Node& record) {
    if (chance(15)) return;
    if (chance(20)) {
      record.set("timestamp_utc", json::Node("not a time"));
      return;
    }
    const char* key = chance(5) ? "timestamp" : "timestamp_utc";
    record.set(key, json::Node(fmt::format("2026-03-01T{:02}:{:02}:{:02}Z", 8 + pick(4), pick(60),
                                           pick(60))));
  }

  json::Node decision() {
    json::Node record = json::Node::object();
    const char* decisions[] = {"ALLOW", "ALLOW", "DENY", "allow"};
    record.set("policy_decision", json::Node(decisions[pick(4)]));
    const int tool_form = static_cast<int>(pick(12));
    if (tool_form == 0) {
      record.set("tool_name", json::Node("t2"));
    } else if (tool_form == 1) {
      record.set("original_tool", json::Node::from_u64(1));
    } else if (tool_form != 2) {
      record.set("original_tool", json::Node(fmt::format("t{}", pick(3))));
    }
    if (!chance(10)) {
      json::Node classification = json::Node::object();
      const char* keys[] = {"category", "action_type", "confidence_tier"};
      const std::size_t first = pick(3);
      for (std::size_t k = first; k < 3; ++k) {
        if (chance(8)) {
          classification.set(keys[k], json::Node::from_u64(pick(2)));
        } else {
          const char* labels[] = {"read", "write", "exec"};
          classification.set(keys[k], json::Node(labels[pick(chance(3) ? 3 : 2)]));
        }
      }
      record.set("classification", std::move(classification));
    }
    if (chance(3)) record.set("matched_rule", json::Node("approved_lookup"));
    const int ref_form = static_cast<int>(pick(6));
    if (ref_form == 0) record.set("approval_event_id", json::Node(reference()));
    if (ref_form == 1) record.set("approval_id", json::Node(reference()));
    if (ref_form == 2) record.set("approval_event_id", json::Node::from_u64(3));
    if (ref_form == 3) {
      record.set("approval_event_id", json::Node(reference()));
      record.set("approval_id", json::Node(reference()));
    }
    return record;
  }

  json::Node make_record() {
    is_approval_ = false;
    const std::size_t kind = pick(10);
    if (kind < 5) return decision();
    json::Node record = json::Node::object();
    if (kind < 7) {
      is_approval_ = true;
      record.set("event_type", json::Node("opaque_artifact_approval"));
      if (!chance(4)) record.set("event_id", json::Node(reference()));
      if (chance(3)) record.set("approval_id", json::Node(reference()));
    } else if (kind < 8) {
      record.set("event_type", json::Node("opaque_artifact_revocation"));
      const char* keys[] = {"approval_event_id", "event_id", "approval_id"};
      record.set(keys[pick(3)], json::Node(reference()));
    } else if (kind < 9) {
      const char* types[] = {"classifier_reload", "capability_registry_update", "policy_reload"};
      record.set(chance(4) ? "record_type" : "event_type", json::Node(types[pick(3)]));
    } else {
      record.set("event_type", json::Node("operator_note"));
    }
    return record;
  }

  std::mt19937_64 rng_;
  std::vector<std::string> approval_hashes_;
  bool is_approval_ = false;
};

void expect_same_checks(const json::Value& record, History history, const HistoryIndex& index,
                        std::uint64_t depth, std::uint64_t max_age) {
  EXPECT_EQ(index.position_of(record), scan_position(history, record));
  EXPECT_EQ(check_structural_integrity(record, index, std::nullopt),
            scan_structural_integrity(record, history));
  EXPECT_EQ(check_classification_consistency(record, index, depth),
            scan_classification(record, history, depth));
  EXPECT_EQ(check_approval_provenance(record, index, max_age),
            scan_approval(record, history, max_age));
}

TEST(IndexedHistory, ChecksAgreeWithPlainScansOverRandomHistories) {
  const std::uint64_t depths[] = {1, 2, 10};
  const std::uint64_t max_ages[] = {0, 600, 86400};
  std::size_t compared = 0;
  std::size_t failures_seen = 0;
  for (std::uint64_t seed = 1; seed <= 30; ++seed) {
    SCOPED_TRACE(fmt::format("seed {}", seed));
    HistoryMaker maker(seed);
    std::vector<json::Record> history = maker.make(20 + seed * 6);
    const std::uint64_t depth = depths[seed % 3];
    const std::uint64_t max_age = max_ages[(seed / 3) % 3];

    // The index grows as records arrive; every prefix must answer as a scan of that prefix.
    // Synced in uneven steps, compared at every fourth step.
    HistoryIndex index;
    std::size_t step = 0;
    for (std::size_t end = 0; end <= history.size(); end += 1 + (seed + end) % 9) {
      History prefix(history.data(), end);
      index.sync(prefix, 1);
      if (++step % 4 != 0 && end + 9 < history.size()) continue;
      for (std::size_t i = 0; i < end; ++i) {
        const json::Value& record = history[i]->root();
        if (!is_decision_record(record)) continue;
        SCOPED_TRACE(fmt::format("prefix {} record {}", end, i));
        expect_same_checks(record, prefix, index, depth, max_age);
        ++compared;
        if (!check_approval_provenance(record, index, max_age).passed()) ++failures_seen;
      }
    }
    index.sync(history, 1);
    json::Record stray = maker.stray_decision();
    expect_same_checks(stray->root(), history, index, depth, max_age);
  }
  // The histories must exercise the failing paths, not only passes.
  EXPECT_GT(compared, 1000u);
  EXPECT_GT(failures_seen, 100u);
}

TEST(IndexedHistory, RefilledHistoryIsIndexedAgain) {
  HistoryMaker maker(99);
  std::vector<json::Record> first = maker.make(60);
  std::vector<json::Record> second = maker.make(80);
  struct Step {
    const char* behaviour;
    const std::vector<json::Record>* history;
    std::size_t length;
    std::uint64_t generation;
  };
  const Step steps[] = {
      {"first history", &first, first.size(), 1},
      {"another history under a new generation", &second, second.size(), 2},
      {"a shorter history under the same generation", &first, 20, 2},
      {"a history of the same length with other records", &second, 20, 2},
  };
  HistoryIndex index;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.behaviour);
    History history(step.history->data(), step.length);
    index.sync(history, step.generation);
    EXPECT_EQ(index.size(), step.length);
    for (const json::Record& r : history) {
      if (is_decision_record(r->root())) expect_same_checks(r->root(), history, index, 10, 600);
    }
  }
}

}  // namespace
}  // namespace telmir::governance
