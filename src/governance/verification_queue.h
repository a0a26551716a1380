#pragma once

// The bounded first-in first-out queue of decision records waiting for post-hoc verification,
// and the intake step that fills it.

#include <cstddef>
#include <deque>
#include <optional>
#include <string_view>
#include <vector>

#include "json/value.h"
#include "platform/result.h"

namespace telmir::qa {
class QaChainWriter;
}

namespace telmir::governance {

inline constexpr std::string_view kQueueOverflowReason = "verification_queue_overflow";

class VerificationQueue {
 public:
  // A capacity of 0 is raised to 1.
  explicit VerificationQueue(std::size_t capacity);

  std::size_t capacity() const noexcept { return capacity_; }
  std::size_t size() const noexcept { return records_.size(); }
  bool empty() const noexcept { return records_.empty(); }
  bool full() const noexcept { return records_.size() >= capacity_; }

  // Appends at the tail; false (and nothing queued) when the queue is full.
  bool push(json::Record record);
  // Removes and returns the oldest record; nothing when empty.
  std::optional<json::Record> pop();
  const json::Record& front() const noexcept { return records_.front(); }

 private:
  std::size_t capacity_;
  std::deque<json::Record> records_;
};

// Queues the decision records among `new_records` (others are dropped here; they stay in the
// chain history). Each decision that finds the queue full is reported by a
// qa_verification_backlog_warning followed by a qa_decision_verification_skipped, then
// discarded. The first failing QA append ends the call with its error; the records not yet
// walked are discarded.
Result<void> enqueue_decisions(VerificationQueue& queue, std::vector<json::Record> new_records,
                               qa::QaChainWriter& writer);

}  // namespace telmir::governance
