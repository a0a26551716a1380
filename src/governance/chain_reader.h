#pragma once

// Incremental reading of the governance chain and the chain history: every governance record
// read since the last reset, in file order.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "json/value.h"
#include "platform/result.h"

namespace telmir::governance {

// The ordered list of records read since the last reset. Records are shared, never copied.
class ChainHistory {
 public:
  const std::vector<json::Record>& records() const noexcept { return records_; }
  std::span<const json::Record> span() const noexcept { return records_; }
  std::size_t size() const noexcept { return records_.size(); }
  bool empty() const noexcept { return records_.empty(); }
  const json::Record& operator[](std::size_t i) const noexcept { return records_[i]; }
  std::vector<json::Record>::const_iterator begin() const noexcept { return records_.begin(); }
  std::vector<json::Record>::const_iterator end() const noexcept { return records_.end(); }

  // Counts the resets (the chain disappeared, shrank or was replaced). An index kept beside the
  // history remembers the generation and the size it has seen: while the generation is the
  // same, the records from that size on are the ones appended since; when it differs, the
  // history was emptied and refilled and the index starts again from the first record.
  std::uint64_t generation() const noexcept { return generation_; }

 private:
  friend class ChainReader;
  std::vector<json::Record> records_;
  std::uint64_t generation_ = 0;
};

class ChainReader {
 public:
  explicit ChainReader(std::string path);

  // The records appended to the chain since the last call, in file order (possibly none); the
  // same records are appended to the history. After an error the reader is exactly as before.
  //
  // A missing file resets the reader and yields nothing. A file that shrank below the read
  // position, or that is another file than the one read before (device or inode changed), is
  // read again from its start after a reset. A last line without a line feed that does not
  // parse yet is a record still being written: it is left for the next call.
  //
  // Errors: "failed to stat governance chain {}: {}", "failed to read governance chain {}: {}",
  // "failed to open governance chain {}: {}", "failed to seek governance chain: {}",
  // "failed to read governance chain tail: {}", "invalid governance JSON: {}".
  Result<std::vector<json::Record>> read_new_records();

  // Valid until the next read_new_records.
  const ChainHistory& chain_history() const noexcept { return history_; }

  const std::string& path() const noexcept { return path_; }
  // Byte offset at which the next read starts (0: the whole file).
  std::uint64_t position() const noexcept { return position_; }

 private:
  void reset();

  std::string path_;
  std::optional<std::int64_t> last_modified_;  // nanoseconds since the epoch
  std::uint64_t last_length_ = 0;
  std::uint64_t position_ = 0;
  std::uint64_t device_ = 0;
  std::uint64_t inode_ = 0;
  ChainHistory history_;
  // Holds the history's records close together.
  json::RecordArena arena_;
  // Reused for tail reads (with the JSON reader's padding after the bytes).
  std::unique_ptr<char[]> scratch_;
  std::size_t scratch_capacity_ = 0;
};

// Free-function spellings of the two operations.
inline Result<std::vector<json::Record>> read_new_records(ChainReader& reader) {
  return reader.read_new_records();
}
inline const ChainHistory& chain_history(const ChainReader& reader) noexcept {
  return reader.chain_history();
}

}  // namespace telmir::governance
