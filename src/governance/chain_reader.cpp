#include "governance/chain_reader.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <simdjson.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/fs.h"
#include "platform/text.h"

namespace telmir::governance {
namespace {

constexpr std::string_view kInvalidUtf8 = "stream did not contain valid UTF-8";

struct ChainStatus {
  std::uint64_t size;
  std::int64_t mtime_ns;
  std::uint64_t device;
  std::uint64_t inode;
};

using Fd = platform::UniqueFd;

// Reads from the current offset to the end of the file into `scratch`, which is kept between
// calls so that steady appends reuse warm memory; `hint` is the expected length. The JSON reader
// needs zeroed padding after the last byte. Returns the number of bytes read.
Result<std::size_t> read_to_end(int fd, std::size_t hint, std::unique_ptr<char[]>& scratch,
                                std::size_t& capacity) {
  auto ensure = [&](std::size_t needed, std::size_t keep) {
    if (needed + json::kPadding <= capacity) return;
    const std::size_t bigger = std::max(needed, capacity * 2) + json::kPadding;
    auto grown = std::make_unique_for_overwrite<char[]>(bigger);
    if (keep > 0) std::memcpy(grown.get(), scratch.get(), keep);
    scratch = std::move(grown);
    capacity = bigger;
  };
  // One spare byte shows the end of the file without a second read into a new buffer.
  ensure(hint + 1, 0);
  std::size_t total = 0;
  for (;;) {
    if (total + json::kPadding == capacity) ensure(capacity + 4096, total);
    const ssize_t n = ::read(fd, scratch.get() + total, capacity - json::kPadding - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(platform::os_error_text(errno));
    }
    if (n == 0) break;
    total += static_cast<std::size_t>(n);
  }
  std::memset(scratch.get() + total, 0, json::kPadding);
  return total;
}

// A large tail read is not worth keeping its buffer for.
constexpr std::size_t kScratchKeepBytes = std::size_t{16} << 20;

}  // namespace

ChainReader::ChainReader(std::string path) : path_(std::move(path)) {}

void ChainReader::reset() {
  last_modified_.reset();
  last_length_ = 0;
  position_ = 0;
  device_ = 0;
  inode_ = 0;
  if (!history_.records_.empty()) {
    history_.records_.clear();
    arena_.restart();
    ++history_.generation_;
  }
}

Result<std::vector<json::Record>> ChainReader::read_new_records() {
  struct stat st {};
  if (::stat(path_.c_str(), &st) != 0) {
    const int err = errno;
    if (err == ENOENT) {
      reset();
      return std::vector<json::Record>{};
    }
    return fail(
        fmt::format("failed to stat governance chain {}: {}", path_, platform::os_error_text(err)));
  }
  ChainStatus now{static_cast<std::uint64_t>(st.st_size), 0, static_cast<std::uint64_t>(st.st_dev),
                  static_cast<std::uint64_t>(st.st_ino)};
#if defined(__APPLE__)
  now.mtime_ns =
      static_cast<std::int64_t>(st.st_mtimespec.tv_sec) * 1000000000 + st.st_mtimespec.tv_nsec;
#else
  now.mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
#endif

  // Another file at the path (log rotation) is read from its start, like a truncated one; the
  // identity is compared first, since the new file may match the old length and time.
  bool restart = last_modified_ && (now.device != device_ || now.inode != inode_);
  if (!restart && last_modified_ && *last_modified_ == now.mtime_ns && last_length_ == now.size) {
    return std::vector<json::Record>{};
  }
  if (now.size < position_) restart = true;
  const std::uint64_t start = restart ? 0 : position_;

  // Everything below only computes; the reader changes at the end, on success.
  platform::PaddedBuffer whole_file;
  std::string_view text;
  if (start == 0) {
    auto whole = platform::read_file_padded(path_);
    if (!whole) {
      return fail(fmt::format("failed to read governance chain {}: {}", path_, whole.error()));
    }
    whole_file = std::move(*whole);
    text = whole_file.view();
  } else {
    Fd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
      return fail(fmt::format("failed to open governance chain {}: {}", path_,
                              platform::os_error_text(errno)));
    }
    if (::lseek(fd.get(), static_cast<off_t>(start), SEEK_SET) < 0) {
      return fail(
          fmt::format("failed to seek governance chain: {}", platform::os_error_text(errno)));
    }
    auto tail = read_to_end(fd.get(), static_cast<std::size_t>(now.size - start), scratch_,
                            scratch_capacity_);
    if (!tail) return fail(fmt::format("failed to read governance chain tail: {}", tail.error()));
    text = std::string_view(scratch_.get(), *tail);
  }
  struct ScratchTrim {
    ChainReader* self;
    ~ScratchTrim() {
      if (self->scratch_capacity_ > kScratchKeepBytes) {
        self->scratch_.reset();
        self->scratch_capacity_ = 0;
      }
    }
  } trim{this};
  auto read_error = [&](std::string_view what) {
    if (start == 0) return fmt::format("failed to read governance chain {}: {}", path_, what);
    return fmt::format("failed to read governance chain tail: {}", what);
  };

  std::vector<platform::JsonLine> lines = platform::split_json_lines(text);
  // A last line without a line feed may be a record the proxy is still writing.
  std::optional<platform::JsonLine> unfinished;
  if (!lines.empty() && !lines.back().terminated) {
    unfinished = lines.back();
    lines.pop_back();
  }
  const std::size_t body_end = unfinished ? unfinished->offset : text.size();

  std::vector<json::Record> records;
  records.reserve(lines.size() + 1);
  for (const platform::JsonLine& line : lines) {
    auto parsed = json::parse_padded(line.text, arena_);
    if (!parsed) {
      // Every byte outside the lines is ASCII and the JSON reader refuses invalid UTF-8, so
      // any invalid UTF-8 in the text shows up as a line that does not parse. Checking only
      // then keeps the common path to one pass while the text's invalid UTF-8 is still
      // reported as the read error it is, wherever it lies.
      if (!simdjson::validate_utf8(text.data(), body_end)) return fail(read_error(kInvalidUtf8));
      return fail(fmt::format("invalid governance JSON: {}", parsed.error()));
    }
    records.push_back(std::move(*parsed));
  }
  std::size_t consumed = body_end;
  if (unfinished) {
    // Complete JSON is a finished record; anything else (including a line that ends inside a
    // UTF-8 character) waits for the rest of its bytes.
    if (auto parsed = json::parse_padded(unfinished->text, arena_)) {
      records.push_back(std::move(*parsed));
      consumed = text.size();
    }
  }

  if (restart) reset();
  last_modified_ = now.mtime_ns;
  last_length_ = now.size;
  position_ = start + consumed;
  device_ = now.device;
  inode_ = now.inode;
  history_.records_.insert(history_.records_.end(), records.begin(), records.end());
  return records;
}

}  // namespace telmir::governance
