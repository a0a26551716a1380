#pragma once

// One JSON Lines chain file as a snapshot sees it, shared by the checks that look at the same
// chain. Either the whole file is read (when every line is needed) or only as much of its end as
// holds the needed last lines; in both cases every byte of the file is checked for UTF-8, as a
// read of the whole file as text would. Tails are found from the end of the text, each kept line
// is parsed at most once, and lines that are only counted are validated without building a tree.

#include <cstddef>
#include <cstdint>
#include <memory>
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

// Memory a chain is read into, kept from one snapshot to the next so that a large chain does not
// fault in fresh pages every time. Only the memory is kept: every load reads the file again.
class ChainBuffer {
 public:
  // At least `size` bytes followed by zeroed padding; earlier content is kept up to `keep`.
  char* reserve(std::size_t size, std::size_t keep = 0);
  // Scratch block for bytes that are only checked, not kept.
  char* scratch(std::size_t size);

 private:
  std::unique_ptr<char[]> data_;
  std::size_t capacity_ = 0;
  std::unique_ptr<char[]> scratch_;
  std::size_t scratch_capacity_ = 0;
};

class ChainText {
 public:
  // Status query and whole-file read of `path`, as they stand now, into `buffer`.
  static ChainText load(const std::string& path, ChainBuffer& buffer);
  // The same with a buffer of its own.
  static ChainText load(const std::string& path);
  // Status query and a read of the file's end that holds its last `limit` non-blank lines (or
  // the whole file when it has fewer). Only `tail` with a limit up to `limit` may be asked.
  static ChainText load_tail(const std::string& path, std::uint64_t limit, ChainBuffer& buffer);

  ChainText(ChainText&&) noexcept = default;
  ChainText& operator=(ChainText&&) noexcept = default;

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
  ChainText() = default;
  std::string_view text() const noexcept { return text_; }
  // The last `limit` non-blank lines whose start lies within the text, in file order.
  std::vector<platform::JsonLine> last_lines(std::uint64_t limit) const;
  Result<json::Record> parsed_line(const platform::JsonLine& line) const;
  std::string invalid_json(const std::string& message) const;

  std::string path_;
  bool exists_ = false;
  std::optional<std::string> read_error_;
  std::unique_ptr<ChainBuffer> own_buffer_;
  // The bytes read (padded), and the file offset of their first byte: 0 for a whole file, and
  // for the end of a file the text starts inside a line that is never looked at.
  std::string_view text_;
  std::uint64_t text_offset_ = 0;
  // Lines parsed into trees so far (the tails), by offset, shared between the checks of one
  // snapshot; none lies before `parsed_from_`.
  mutable std::unordered_map<std::size_t, Result<json::Record>> parsed_;
  mutable std::size_t parsed_from_ = static_cast<std::size_t>(-1);
};

}  // namespace telmir::environment
