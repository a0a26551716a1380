#pragma once

// Indexes kept beside the chain history so that every history lookup of a decision check costs
// the same on a history of a thousand records and of millions. They are updated as records
// arrive and rebuilt when the history was emptied and refilled.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "json/value.h"

namespace telmir::governance {

class HistoryIndex {
 public:
  // Indexes the entries appended since the last call. A different generation, a shorter
  // history or a different record where the last indexed one stood means the history was
  // refilled: everything is indexed again from the first entry.
  void sync(std::span<const json::Record> history, std::uint64_t generation);

  std::size_t size() const noexcept { return records_.size(); }
  const json::Value& at(std::size_t position) const noexcept { return records_[position]->root(); }

  // The first entry that is the same record under the same-hash rule: equal text
  // `record_hash`, or, for a record without one, the first entry without one.
  std::optional<std::size_t> position_of(const json::Value& record) const;

  // Ascending positions of the decision records whose tool key is `tool`.
  std::span<const std::size_t> decision_positions(std::string_view tool) const;

  // True when an entry strictly between the two positions (first < second) is a
  // configuration change.
  bool configuration_change_between(std::size_t first, std::size_t second) const noexcept;

  // Position of the first approval event with `event_id`, `approval_id` or `record_hash`
  // equal to the reference.
  std::optional<std::size_t> first_approval(std::string_view reference) const;

  // Position of the last revocation event whose `approval_event_id`, `event_id` or
  // `approval_id` equals the reference.
  std::optional<std::size_t> last_revocation(std::string_view reference) const;

 private:
  void clear();
  void add(std::size_t position, const json::Value& record);

  // Held so that the string views below stay valid whatever the history does meanwhile.
  std::vector<json::Record> records_;
  std::uint64_t generation_ = 0;
  std::unordered_map<std::string_view, std::size_t> first_by_hash_;
  std::optional<std::size_t> first_without_hash_;
  std::unordered_map<std::string_view, std::vector<std::size_t>> decisions_by_tool_;
  // configuration_changes_before_[i]: configuration changes among the entries before i.
  std::vector<std::uint64_t> configuration_changes_before_{0};
  std::unordered_map<std::string_view, std::size_t> approval_by_identifier_;
  std::unordered_map<std::string_view, std::size_t> revocation_by_reference_;
};

}  // namespace telmir::governance
