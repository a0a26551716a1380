// A chain file read once per snapshot and shared by the checks that look at it.

#include "environment/chain_text.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "governance/records/records.h"

namespace telmir::environment {

namespace {

// Lines that can hold an approval or revocation event: the event's type is either written
// literally or spelled with escapes. Every other line only needs to be valid.
bool may_be_approval_or_revocation(std::string_view line) noexcept {
  if (std::memchr(line.data(), '\\', line.size()) != nullptr) return true;
  return line.find("opaque_artifact_") != std::string_view::npos;
}

bool line_is_valid_json(std::string_view line) { return json::validate(line).has_value(); }

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
  if (!platform::is_valid_utf8(bytes->view())) {
    chain.read_error_ = fmt::format("failed to read chain {}: {}", path, "file is not valid UTF-8");
    return chain;
  }
  chain.bytes_ = std::move(*bytes);
  chain.lines_ = platform::split_json_lines(chain.bytes_.view());
  return chain;
}

Result<json::Record> ChainText::parsed_line(std::size_t index) const {
  auto found = parsed_.find(index);
  if (found != parsed_.end()) return found->second;
  // Every line is a view into the padded buffer of the whole file, so the bytes after it are
  // readable.
  Result<json::Record> record = json::parse_padded(lines_[index].text);
  if (!record) record = fail(fmt::format("invalid chain JSON in {}: {}", path_, record.error()));
  return parsed_.emplace(index, std::move(record)).first->second;
}

Result<std::vector<json::Record>> ChainText::tail(std::optional<std::uint64_t> limit) const {
  if (read_error_) return fail(*read_error_);
  std::size_t first = 0;
  if (limit && lines_.size() > *limit) first = lines_.size() - static_cast<std::size_t>(*limit);
  std::vector<json::Record> records;
  records.reserve(lines_.size() - first);
  for (std::size_t i = first; i < lines_.size(); ++i) {
    Result<json::Record> record = parsed_line(i);
    if (!record) return fail(record.error());
    records.push_back(std::move(*record));
  }
  return records;
}

Result<std::uint64_t> ChainText::active_approval_events() const {
  if (read_error_) return fail(*read_error_);
  std::uint64_t active = 0;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    std::string_view line = lines_[i].text;
    json::Record record;
    if (auto found = parsed_.find(i); found != parsed_.end()) {
      if (!found->second) return fail(found->second.error());
      record = *found->second;
    } else if (line_is_valid_json(line) && !may_be_approval_or_revocation(line)) {
      continue;
    } else {
      // The full reader decides, and gives its own message for a line the fast pass refused.
      // Such trees are dropped at once: only the tails are kept for the other checks.
      Result<json::Record> parsed = json::parse_padded(line);
      if (!parsed) return fail(fmt::format("invalid chain JSON in {}: {}", path_, parsed.error()));
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
