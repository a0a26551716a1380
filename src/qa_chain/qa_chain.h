#pragma once

// The QA chain: an append-only JSON Lines file of hash-linked records signed with the QA key,
// the writer that continues it from its last line, and the builders of its eight record types.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/value.h"
#include "key/key.h"
#include "platform/result.h"

namespace telmir::qa {

// Longest canonical line accepted (the line feed not counted).
inline constexpr std::size_t kMaxLineBytes = 4096;
// Budget for the canonical text of a truncated findings array.
inline constexpr std::size_t kFindingsBudgetBytes = 3000;

class QaChainWriter {
 public:
  QaChainWriter(std::string path, key::QaKey key, std::optional<std::string> last_record_hash,
                std::uint64_t next_sequence);

  const std::string& path() const noexcept { return path_; }
  const key::QaKey& key() const noexcept { return key_; }
  const std::optional<std::string>& last_record_hash() const noexcept { return last_record_hash_; }
  const std::optional<std::string>& binary_sha256() const noexcept { return binary_sha256_; }
  const std::optional<std::string>& toolchain_version() const noexcept {
    return toolchain_version_;
  }
  std::uint64_t next_sequence() const noexcept { return next_sequence_; }

  // The executable digest and toolchain version, handed over right after opening; they go into
  // the snapshot that opens a new chain.
  void set_build_info(std::string binary_sha256, std::string toolchain_version);

  // Called by `append` once the record is on disk: the next record links to it.
  void advance(std::string record_hash);

 private:
  std::string path_;
  key::QaKey key_;
  std::optional<std::string> last_record_hash_;
  std::optional<std::string> binary_sha256_;
  std::optional<std::string> toolchain_version_;
  std::uint64_t next_sequence_;
};

// Recovers the tail of the chain at `path` (a missing or blank file starts a new chain).
// Errors: "failed to read existing QA chain {}: {}", "invalid last QA chain record in {}: {}".
Result<QaChainWriter> open_qa_chain(const std::string& path, key::QaKey key);

// A new object with `event_type`, `sequence` (the writer's next) and `timestamp_utc` (now).
json::Node new_qa_record(const QaChainWriter& writer, std::string_view event_type);

// Links, hashes, signs and writes the record as one line; returns the finished record. After an
// error the writer is unchanged and nothing of the record is in the file.
Result<json::Node> append(QaChainWriter& writer, json::Node record);

// qa_spc_finding. Error "QA numeric fields must be finite" for a NaN or infinite number.
Result<json::Node> append_spc_finding(QaChainWriter& writer, std::string_view metric_id,
                                      std::string_view metric_name, double current_value,
                                      double ucl, double lcl, std::string_view window,
                                      std::string_view status);

// qa_behavioral_analysis while too few decisions are available.
Result<json::Node> append_behavioral_warm_up(QaChainWriter& writer,
                                             std::string_view analysis_window,
                                             std::uint64_t decisions_analyzed,
                                             std::uint64_t minimum_required);

// qa_behavioral_analysis with its findings, cut to the findings budget.
Result<json::Node> append_behavioral_analysis(QaChainWriter& writer,
                                              std::string_view analysis_window,
                                              std::vector<json::Node> findings);

// qa_condition_detected; `governance_record_ref` is written as null when absent.
Result<json::Node> append_condition_detected(QaChainWriter& writer, std::string_view condition_id,
                                             std::string_view condition_type,
                                             std::string_view severity, std::string_view detail,
                                             std::optional<std::string_view> governance_record_ref);

// qa_element_verification with its findings, cut to the findings budget.
Result<json::Node> append_element_verification(
    QaChainWriter& writer, std::string_view spec_id, std::uint64_t elements_checked,
    std::uint64_t elements_passed, std::uint64_t elements_flagged, std::uint64_t elements_skipped,
    std::vector<json::Node> findings, json::Node coverage);

// qa_decision_verification; findings are written in full.
Result<json::Node> append_decision_verification(QaChainWriter& writer,
                                                std::string_view governance_record_hash,
                                                std::string_view decision_type,
                                                std::string_view tool_name,
                                                json::Node checks_performed, bool all_clear,
                                                std::vector<json::Node> findings);

// qa_environmental_snapshot; the chain's first record also carries the writer's build info.
Result<json::Node> append_environmental_snapshot(QaChainWriter& writer,
                                                 std::string_view policy_rules_hash,
                                                 std::string_view capability_registry_hash,
                                                 json::Node checks,
                                                 std::vector<std::string> active_conditions,
                                                 std::string_view overall);

// qa_verification_backlog_warning.
Result<json::Node> append_backlog_warning(QaChainWriter& writer, std::uint64_t queue_depth,
                                          std::uint64_t queue_capacity);

// qa_decision_verification_skipped.
Result<json::Node> append_verification_skipped(QaChainWriter& writer,
                                               std::string_view governance_record_hash,
                                               std::string_view reason);

}  // namespace telmir::qa
