// The chain tail checks (ENV-004, ENV-005) and the active approval count (ENV-006).

#include <fmt/format.h>

#include "canonical/preimage.h"
#include "environment/snapshot_parts.h"
#include "platform/text.h"

namespace telmir::environment {

namespace {

constexpr std::string_view kMissingRecordHash = "chain record missing record_hash";
constexpr std::string_view kRecordHashFailed = "record_hash verification failed";

// Linkage of neighbouring records, oldest pair first; the first broken link is reported.
std::optional<std::string> linkage_problem(const std::vector<json::Record>& tail) {
  for (std::size_t i = 0; i + 1 < tail.size(); ++i) {
    std::optional<std::string_view> hash = tail[i]->root().string_member("record_hash");
    if (!hash) return std::string(kMissingRecordHash);
    std::optional<std::string_view> prev = tail[i + 1]->root().string_member("prev_record_hash");
    if (prev != hash) {
      return fmt::format("hash linkage mismatch: expected prev_record_hash {}, got {}", *hash,
                         platform::optional_notation(prev));
    }
  }
  return std::nullopt;
}

std::optional<std::string> record_hash_problem(const std::vector<json::Record>& tail) {
  for (const json::Record& record : tail) {
    Result<std::string> computed = canonical::record_hash(record->root());
    if (!computed) return computed.error();
    if (record->root().string_member("record_hash") != *computed) {
      return std::string(kRecordHashFailed);
    }
  }
  return std::nullopt;
}

}  // namespace

EnvCheck chain_tail_check(const ChainText& chain, std::uint64_t tail_size) {
  if (!chain.exists()) return EnvCheck::pass();
  Result<std::vector<json::Record>> tail = chain.tail(tail_size);
  if (!tail) return EnvCheck::failure(kSeverityCritical, tail.error());
  // Linkage comes first: a tail with a broken link and a wrong hash reports the link.
  if (std::optional<std::string> problem = linkage_problem(*tail)) {
    return EnvCheck::failure(kSeverityCritical, std::move(*problem));
  }
  if (std::optional<std::string> problem = record_hash_problem(*tail)) {
    return EnvCheck::failure(kSeverityCritical, std::move(*problem));
  }
  return EnvCheck::pass();
}

EnvCheck check_chain_tail(const std::string& chain_path, std::uint64_t tail_size) {
  ChainBuffer buffer;
  return chain_tail_check(ChainText::load_tail(chain_path, tail_size, buffer), tail_size);
}

EnvCheck active_approvals_check(const ChainText& chain) {
  if (!chain.exists()) return EnvCheck::pass();
  Result<std::uint64_t> active = chain.active_approval_events();
  if (!active) return EnvCheck::failure(kSeverityHigh, active.error());
  EnvCheck check = EnvCheck::pass();
  check.extra.emplace("active_approval_events", json::Node::from_u64(*active));
  return check;
}

EnvCheck check_active_approvals(const std::string& decision_chain_path) {
  return active_approvals_check(ChainText::load(decision_chain_path));
}

}  // namespace telmir::environment
