// A chain file read once per snapshot and shared by the checks that look at it.

#include "environment/chain_text.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <simdjson.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
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

constexpr std::string_view kNotUtf8 = "file is not valid UTF-8";
// First look at the end of a file; doubled until the needed lines fit.
constexpr std::uint64_t kFirstWindow = 64 << 10;
// Bytes that are only checked for UTF-8 go through a block of this size.
constexpr std::size_t kScratchBlock = 1 << 20;

std::string read_failure(const std::string& path, std::string_view text) {
  return fmt::format("failed to read chain {}: {}", path, text);
}

using Fd = platform::UniqueFd;

struct OpenFile {
  Fd fd;
  std::uint64_t size;
};

// A directory is refused with the text the system gives for reading one.
Result<OpenFile> open_file(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return fail(platform::os_error_text(errno));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return fail(platform::os_error_text(errno));
  if (S_ISDIR(st.st_mode)) return fail(platform::os_error_text(EISDIR));
  return OpenFile{std::move(fd), static_cast<std::uint64_t>(st.st_size)};
}

using platform::read_at;

struct Opened {
  bool exists = false;
  Result<OpenFile> file;  // the error as the read error
};

// The file's status first, then the file itself. The checks pass a missing chain (it does not
// exist); a plain tail read reports it as the read error.
Opened open_chain(const std::string& path) {
  Result<platform::FileStatus> status = platform::file_status(path);
  if (!status) return {false, fail(read_failure(path, status.error()))};
  Result<OpenFile> file = open_file(path);
  if (!file) return {true, fail(read_failure(path, file.error()))};
  return {true, std::move(file)};
}

// The whole file into `buffer`, padded. The size is a hint: a file that grows while read is
// read to its end as seen then.
Result<std::string_view> read_whole(int fd, std::uint64_t size_hint, ChainBuffer& buffer) {
  std::size_t capacity = static_cast<std::size_t>(size_hint);
  char* data = buffer.reserve(capacity);
  std::size_t total = 0;
  for (;;) {
    Result<std::size_t> got = read_at(fd, data + total, capacity - total, total);
    if (!got) return fail(got.error());
    total += *got;
    if (total < capacity) break;
    char probe;
    Result<std::size_t> more = read_at(fd, &probe, 1, total);
    if (!more) return fail(more.error());
    if (*more == 0) break;
    capacity = capacity * 2 + 4096;
    data = buffer.reserve(capacity, total);
    data[total++] = probe;
  }
  std::memset(data + total, 0, platform::kBufferPadding);
  return std::string_view(data, total);
}

// Bytes at the end of a block that begin a character finished only in the next block.
std::size_t unfinished_character(const char* block, std::size_t size) noexcept {
  for (std::size_t back = 1; back <= std::min<std::size_t>(4, size); ++back) {
    auto byte = static_cast<unsigned char>(block[size - back]);
    if ((byte & 0xC0) == 0x80) continue;
    std::size_t length = (byte & 0xE0) == 0xC0   ? 2
                         : (byte & 0xF0) == 0xE0 ? 3
                         : (byte & 0xF8) == 0xF0 ? 4
                                                 : 1;
    return length > back ? back : 0;
  }
  return 0;  // four continuation bytes in a row are invalid wherever the block ends
}

// Whether the file's first `end` bytes are UTF-8, read block by block into the scratch memory;
// nothing when the file has become shorter than that.
Result<std::optional<bool>> stream_is_utf8(int fd, std::uint64_t end, ChainBuffer& buffer) {
  char* block = buffer.scratch(kScratchBlock + 4);
  std::size_t carried = 0;
  std::uint64_t pos = 0;
  while (pos < end) {
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kScratchBlock, end - pos));
    Result<std::size_t> got = read_at(fd, block + carried, want, pos);
    if (!got) return fail(got.error());
    if (*got < want) return std::optional<bool>();
    pos += want;
    std::size_t size = carried + want;
    std::size_t keep = pos < end ? unfinished_character(block, size) : 0;
    if (!simdjson::validate_utf8(block, size - keep)) return std::optional<bool>(false);
    std::memmove(block, block + size - keep, keep);
    carried = keep;
  }
  return std::optional<bool>(true);
}

}  // namespace

char* ChainBuffer::reserve(std::size_t size, std::size_t keep) {
  if (capacity_ < size + platform::kBufferPadding) {
    // Room to spare, so a chain that keeps growing is not moved on every snapshot.
    std::size_t capacity = size + size / 8 + (64 << 10) + platform::kBufferPadding;
    auto grown = std::make_unique_for_overwrite<char[]>(capacity);
    if (keep > 0) std::memcpy(grown.get(), data_.get(), keep);
    data_ = std::move(grown);
    capacity_ = capacity;
  }
  return data_.get();
}

char* ChainBuffer::scratch(std::size_t size) {
  if (scratch_capacity_ < size) {
    scratch_ = std::make_unique_for_overwrite<char[]>(size);
    scratch_capacity_ = size;
  }
  return scratch_.get();
}

ChainText ChainText::load(const std::string& path) {
  auto buffer = std::make_unique<ChainBuffer>();
  ChainText chain = load(path, *buffer);
  chain.own_buffer_ = std::move(buffer);
  return chain;
}

ChainText ChainText::load(const std::string& path, ChainBuffer& buffer) {
  ChainText chain;
  chain.path_ = path;
  Opened opened = open_chain(path);
  chain.exists_ = opened.exists;
  if (!opened.file) {
    chain.read_error_ = std::move(opened.file.error());
    return chain;
  }
  Result<OpenFile>& file = opened.file;
  Result<std::string_view> bytes = read_whole(file->fd.get(), file->size, buffer);
  if (!bytes) {
    chain.read_error_ = read_failure(path, bytes.error());
    return chain;
  }
  if (!simdjson::validate_utf8(bytes->data(), bytes->size())) {
    chain.read_error_ = read_failure(path, kNotUtf8);
    return chain;
  }
  chain.text_ = *bytes;
  return chain;
}

ChainText ChainText::load_tail(const std::string& path, std::uint64_t limit, ChainBuffer& buffer) {
  ChainText chain;
  chain.path_ = path;
  Opened opened = open_chain(path);
  chain.exists_ = opened.exists;
  if (!opened.file) {
    chain.read_error_ = std::move(opened.file.error());
    return chain;
  }
  Result<OpenFile>& file = opened.file;
  const int fd = file->fd.get();
  const std::uint64_t size = file->size;
  // Grow the window backwards until it holds `limit` whole non-blank lines or the file's start.
  std::uint64_t window = std::min<std::uint64_t>(size, kFirstWindow);
  for (;;) {
    const std::uint64_t offset = size - window;
    char* data = buffer.reserve(static_cast<std::size_t>(window));
    Result<std::size_t> got = read_at(fd, data, static_cast<std::size_t>(window), offset);
    if (!got) {
      chain.read_error_ = read_failure(path, got.error());
      chain.text_ = {};
      return chain;
    }
    // The file shrank while read: read whatever it holds now, as a whole.
    if (*got < window) return load(path, buffer);
    std::memset(data + window, 0, platform::kBufferPadding);
    chain.text_ = std::string_view(data, static_cast<std::size_t>(window));
    chain.text_offset_ = offset;
    if (offset == 0 || chain.last_lines(limit).size() >= limit) break;
    window = std::min<std::uint64_t>(size, window * 2);
  }
  // Every byte is checked, as a read of the whole file as text does: the window from its first
  // line feed (a character boundary) in memory, the bytes before it streamed through scratch.
  std::string_view checked = chain.text_;
  std::uint64_t before = 0;
  if (chain.text_offset_ > 0) {
    std::size_t feed = checked.find('\n');
    if (feed == std::string_view::npos) feed = checked.size();  // no line is kept: stream it all
    checked.remove_prefix(feed);
    before = chain.text_offset_ + feed;
  }
  Result<std::optional<bool>> valid_before = std::optional<bool>(true);
  if (before > 0) valid_before = stream_is_utf8(fd, before, buffer);
  if (!valid_before) {
    chain.read_error_ = read_failure(path, valid_before.error());
    chain.text_ = {};
    return chain;
  }
  if (!*valid_before) return load(path, buffer);  // shrank while read
  if (!**valid_before || !simdjson::validate_utf8(checked.data(), checked.size())) {
    chain.read_error_ = read_failure(path, kNotUtf8);
    chain.text_ = {};
  }
  return chain;
}

std::vector<platform::JsonLine> ChainText::last_lines(std::uint64_t limit) const {
  // Walks back over the line feeds from the end; only the kept lines' bytes are looked at. When
  // the text is the end of a file, its first line may have begun before it and is never kept.
  std::string_view all = text();
  std::vector<platform::JsonLine> lines;
  std::size_t end = all.size();
  while (lines.size() < limit) {
    std::size_t start = end;
    while (start > 0 && all[start - 1] != '\n') --start;
    if (start == 0 && text_offset_ > 0) break;
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
  // Without a limit, every line: the text must be the whole file (`load`).
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
