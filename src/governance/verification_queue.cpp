#include "governance/verification_queue.h"

#include "governance/records/records.h"
#include "qa_chain/qa_chain.h"

namespace telmir::governance {

VerificationQueue::VerificationQueue(std::size_t capacity)
    : capacity_(capacity == 0 ? 1 : capacity) {}

bool VerificationQueue::push(json::Record record) {
  if (full()) return false;
  records_.push_back(std::move(record));
  return true;
}

std::optional<json::Record> VerificationQueue::pop() {
  if (records_.empty()) return std::nullopt;
  json::Record r = std::move(records_.front());
  records_.pop_front();
  return r;
}

Result<void> enqueue_decisions(VerificationQueue& queue, std::vector<json::Record> new_records,
                               qa::QaChainWriter& writer) {
  for (json::Record& record : new_records) {
    if (!record || !is_decision_record(record->root())) continue;
    const std::string_view hash = record_hash_text(record->root()).value_or("unknown");
    if (queue.push(record)) continue;
    auto warned = qa::append_backlog_warning(writer, queue.size(), queue.capacity());
    if (!warned) return fail(warned.error());
    auto skipped = qa::append_verification_skipped(writer, hash, kQueueOverflowReason);
    if (!skipped) return fail(skipped.error());
  }
  return {};
}

}  // namespace telmir::governance
