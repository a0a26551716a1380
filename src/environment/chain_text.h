#pragma once

// One JSON Lines chain file as a snapshot sees it: read and checked for UTF-8 once, shared by the
// checks that look at the same chain. Tails are found from the end of the text, each kept line is
// parsed at most once, and lines that are only counted are validated without building a tree.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "json/value.h"
#include "platform/fs.h"
#include "platform/result.h"
#include "platform/text.h"

namespace telmir::environment {

class ChainText {
 public:
  // Status query, whole-file read and UTF-8 check of `path`, as they stand now.
  static ChainText load(const std::string& path);

  const std::string& path() const noexcept { return path_; }
  // The status query succeeded (the file exists in some form).
  bool exists() const noexcept { return exists_; }
  // "failed to read chain {}: {}" when the file is missing or cannot be read as UTF-8 text.
  const std::optional<std::string>& read_error() const noexcept { return read_error_; }

  // The last `limit` non-blank lines (all without a limit), parsed, in file order; the first
  // that does not parse gives "invalid chain JSON in {}: {}". The read error comes first.
  Result<std::vector<json::Record>> tail(std::optional<std::uint64_t> limit) const;

  // Running balance of approval and revocation events over every line, never below zero.
  // Errors as for `tail` without a limit: the first line in file order that does not parse.
  Result<std::uint64_t> active_approval_events() const;

 private:
  std::string_view text() const noexcept { return bytes_.view(); }
  // The last `limit` non-blank lines, in file order.
  std::vector<platform::JsonLine> last_lines(std::uint64_t limit) const;
  Result<json::Record> parsed_line(const platform::JsonLine& line) const;
  std::string invalid_json(const std::string& message) const;

  std::string path_;
  bool exists_ = false;
  std::optional<std::string> read_error_;
  platform::PaddedBuffer bytes_;
  // Lines parsed into trees so far (the tails), by offset, shared between the checks of one
  // snapshot; none lies before `parsed_from_`.
  mutable std::unordered_map<std::size_t, Result<json::Record>> parsed_;
  mutable std::size_t parsed_from_ = static_cast<std::size_t>(-1);
};

}  // namespace telmir::environment
