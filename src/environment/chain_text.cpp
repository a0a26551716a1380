// A chain file read once per snapshot and shared by the checks that look at it.

#include "environment/chain_text.h"

#include <fmt/format.h>
#include <simdjson.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "governance/records/records.h"

namespace telmir::environment {

namespace {

constexpr std::string_view kEventTypePrefix = "opaque_artifact_";

// Lines that can hold an approval or revocation event: the event's type is either written
// literally or spelled with escapes. Every other line only needs to be valid.
bool may_be_approval_or_revocation(std::string_view line) noexcept {
  const char* begin = line.data();
  const char* end = begin + line.size();
  if (std::memchr(begin, '\\', line.size()) != nullptr) return true;
  if (line.size() < kEventTypePrefix.size()) return false;
  // Anchored on the prefix's rarest letter, which memchr finds quickly.
  constexpr std::size_t kAnchor = 3;  // "opa|q|ue_artifact_"
  static_assert(kEventTypePrefix[kAnchor] == 'q');
  const char* at = begin + kAnchor;
  while (at < end) {
    at = static_cast<const char*>(std::memchr(at, 'q', static_cast<std::size_t>(end - at)));
    if (at == nullptr) return false;
    const char* start = at - kAnchor;
    if (static_cast<std::size_t>(end - start) >= kEventTypePrefix.size() &&
        std::memcmp(start, kEventTypePrefix.data(), kEventTypePrefix.size()) == 0) {
      return true;
    }
    ++at;
  }
  return false;
}

}  // namespace

ChainText ChainText::load(const std::string& path) {
  ChainText chain;
  chain.path_ = path;
  Result<platform::FileStatus> status = platform::file_status(path);
  if (!status) {
    // The checks pass a missing chain; a plain tail read reports it.
    chain.read_error_ = fmt::format("failed to read chain {}: {}", path, status.error());
    return chain;
  }
  chain.exists_ = true;
  Result<platform::PaddedBuffer> bytes = platform::read_file_padded(path);
  if (!bytes) {
    chain.read_error_ = fmt::format("failed to read chain {}: {}", path, bytes.error());
    return chain;
  }
  if (!simdjson::validate_utf8(bytes->data(), bytes->size())) {
    chain.read_error_ = fmt::format("failed to read chain {}: {}", path, "file is not valid UTF-8");
    return chain;
  }
  chain.bytes_ = std::move(*bytes);
  return chain;
}

std::vector<platform::JsonLine> ChainText::last_lines(std::uint64_t limit) const {
  // Walks back over the line feeds from the end; only the kept lines' bytes are looked at.
  std::string_view all = text();
  std::vector<platform::JsonLine> lines;
  std::size_t end = all.size();
  while (lines.size() < limit) {
    std::size_t start = end;
    while (start > 0 && all[start - 1] != '\n') --start;
    std::string_view line = all.substr(start, end - start);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (!platform::is_blank_line(line)) lines.push_back({line, start, end < all.size()});
    if (start == 0) break;
    end = start - 1;
  }
  std::reverse(lines.begin(), lines.end());
  return lines;
}

std::string ChainText::invalid_json(const std::string& message) const {
  return fmt::format("invalid chain JSON in {}: {}", path_, message);
}

Result<json::Record> ChainText::parsed_line(const platform::JsonLine& line) const {
  auto found = parsed_.find(line.offset);
  if (found != parsed_.end()) return found->second;
  // Every line is a view into the padded buffer of the whole file, so the bytes after it are
  // readable.
  Result<json::Record> record = json::parse_padded(line.text);
  if (!record) record = fail(invalid_json(record.error()));
  parsed_from_ = std::min(parsed_from_, line.offset);
  return parsed_.emplace(line.offset, std::move(record)).first->second;
}

Result<std::vector<json::Record>> ChainText::tail(std::optional<std::uint64_t> limit) const {
  if (read_error_) return fail(*read_error_);
  std::vector<platform::JsonLine> lines;
  if (limit) {
    lines = last_lines(*limit);
  } else {
    lines = platform::split_json_lines(text());
  }
  std::vector<json::Record> records;
  records.reserve(lines.size());
  for (const platform::JsonLine& line : lines) {
    Result<json::Record> record = parsed_line(line);
    if (!record) return fail(record.error());
    records.push_back(std::move(*record));
  }
  return records;
}

Result<std::uint64_t> ChainText::active_approval_events() const {
  if (read_error_) return fail(*read_error_);
  std::string_view all = text();
  std::uint64_t active = 0;
  std::size_t pos = 0;
  while (std::optional<platform::JsonLine> line = platform::next_json_line(all, pos)) {
    json::Record record;
    auto found = line->offset >= parsed_from_ ? parsed_.find(line->offset) : parsed_.end();
    if (found != parsed_.end()) {
      if (!found->second) return fail(found->second.error());
      record = *found->second;
    } else if (json::validate(line->text) && !may_be_approval_or_revocation(line->text)) {
      continue;
    } else {
      // The full reader decides, and gives its own message for a line the fast pass refused.
      // These trees are dropped at once: only the tails are kept for the other checks.
      Result<json::Record> parsed = json::parse_padded(line->text);
      if (!parsed) return fail(invalid_json(parsed.error()));
      record = std::move(*parsed);
    }
    if (governance::is_approval_event(record->root())) {
      ++active;
    } else if (governance::is_revocation_event(record->root()) && active > 0) {
      --active;
    }
  }
  return active;
}

}  // namespace telmir::environment
