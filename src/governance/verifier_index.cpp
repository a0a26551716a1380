#include "governance/verifier_index.h"

#include <algorithm>

#include "governance/records/records.h"

namespace telmir::governance {

namespace {

constexpr std::string_view kApprovalIdentifiers[] = {"event_id", "approval_id", "record_hash"};
constexpr std::string_view kRevocationReferences[] = {"approval_event_id", "event_id",
                                                      "approval_id"};

bool same_entry(const json::Record& a, const json::Record& b) noexcept {
  return a.get() == b.get();
}

}  // namespace

void HistoryIndex::clear() {
  records_.clear();
  first_by_hash_.clear();
  first_without_hash_.reset();
  decisions_by_tool_.clear();
  configuration_changes_before_.assign(1, 0);
  approval_by_identifier_.clear();
  revocation_by_reference_.clear();
}

void HistoryIndex::sync(std::span<const json::Record> history, std::uint64_t generation) {
  const std::size_t known = records_.size();
  const bool refilled = generation != generation_ || history.size() < known ||
                        (known > 0 && (!same_entry(history[known - 1], records_[known - 1]) ||
                                       !same_entry(history[0], records_[0])));
  if (refilled) clear();
  generation_ = generation;
  records_.reserve(history.size());
  for (std::size_t i = records_.size(); i < history.size(); ++i) {
    records_.push_back(history[i]);
    add(i, records_.back()->root());
  }
}

void HistoryIndex::add(std::size_t position, const json::Value& record) {
  // A repeated key keeps its first position: emplace leaves an existing entry alone.
  if (std::optional<std::string_view> hash = record_hash_text(record)) {
    first_by_hash_.emplace(*hash, position);
  } else if (!first_without_hash_) {
    first_without_hash_ = position;
  }

  if (is_decision_record(record)) decisions_by_tool_[tool_key(record)].push_back(position);

  configuration_changes_before_.push_back(configuration_changes_before_.back() +
                                          (is_configuration_change(record) ? 1 : 0));

  if (is_approval_event(record)) {
    for (std::string_view key : kApprovalIdentifiers) {
      if (std::optional<std::string_view> id = record.string_member(key)) {
        approval_by_identifier_.emplace(*id, position);
      }
    }
  }
  if (is_revocation_event(record)) {
    // The latest revocation answers "is there one after this approval".
    for (std::string_view key : kRevocationReferences) {
      if (std::optional<std::string_view> ref = record.string_member(key)) {
        revocation_by_reference_[*ref] = position;
      }
    }
  }
}

std::optional<std::size_t> HistoryIndex::position_of(const json::Value& record) const {
  std::optional<std::string_view> hash = record_hash_text(record);
  if (!hash) return first_without_hash_;
  auto it = first_by_hash_.find(*hash);
  if (it == first_by_hash_.end()) return std::nullopt;
  return it->second;
}

std::span<const std::size_t> HistoryIndex::decision_positions(std::string_view tool) const {
  auto it = decisions_by_tool_.find(tool);
  if (it == decisions_by_tool_.end()) return {};
  return it->second;
}

bool HistoryIndex::configuration_change_between(std::size_t first,
                                                std::size_t second) const noexcept {
  if (second <= first + 1) return false;
  return configuration_changes_before_[second] - configuration_changes_before_[first + 1] > 0;
}

std::optional<std::size_t> HistoryIndex::first_approval(std::string_view reference) const {
  auto it = approval_by_identifier_.find(reference);
  if (it == approval_by_identifier_.end()) return std::nullopt;
  return it->second;
}

std::optional<std::size_t> HistoryIndex::last_revocation(std::string_view reference) const {
  auto it = revocation_by_reference_.find(reference);
  if (it == revocation_by_reference_.end()) return std::nullopt;
  return it->second;
}

}  // namespace telmir::governance
