#include "governance/chain_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fmt/format.h>

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

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// Reads from the current offset to the end of the file; `hint` is the expected length. The
// buffer keeps the padding the JSON reader needs after every line.
Result<platform::PaddedBuffer> read_to_end(int fd, std::size_t hint) {
  std::size_t capacity = hint + 1;  // one spare byte to see the end without a second buffer
  platform::PaddedBuffer buf(capacity);
  std::size_t total = 0;
  for (;;) {
    if (total == capacity) {
      const std::size_t bigger = capacity * 2 + 4096;
      platform::PaddedBuffer grown(bigger);
      std::memcpy(grown.data(), buf.data(), total);
      buf = std::move(grown);
      capacity = bigger;
    }
    const ssize_t n = ::read(fd, buf.data() + total, capacity - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(platform::os_error_text(errno));
    }
    if (n == 0) break;
    total += static_cast<std::size_t>(n);
  }
  buf.shrink(total);
  return buf;
}

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
  now.mtime_ns = static_cast<std::int64_t>(st.st_mtimespec.tv_sec) * 1000000000 +
                 st.st_mtimespec.tv_nsec;
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
  platform::PaddedBuffer buf;
  if (start == 0) {
    auto whole = platform::read_file_padded(path_);
    if (!whole) return fail(fmt::format("failed to read governance chain {}: {}", path_, whole.error()));
    buf = std::move(*whole);
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
    auto tail = read_to_end(fd.get(), static_cast<std::size_t>(now.size - start));
    if (!tail) return fail(fmt::format("failed to read governance chain tail: {}", tail.error()));
    buf = std::move(*tail);
  }
  auto read_error = [&](std::string_view what) {
    if (start == 0) return fmt::format("failed to read governance chain {}: {}", path_, what);
    return fmt::format("failed to read governance chain tail: {}", what);
  };

  const std::string_view text = buf.view();
  std::vector<platform::JsonLine> lines = platform::split_json_lines(text);
  // A last line without a line feed may be a record the proxy is still writing.
  std::optional<platform::JsonLine> unfinished;
  if (!lines.empty() && !lines.back().terminated) {
    unfinished = lines.back();
    lines.pop_back();
  }
  const std::size_t body_end = unfinished ? unfinished->offset : text.size();
  if (!platform::is_valid_utf8(text.substr(0, body_end))) return fail(read_error(kInvalidUtf8));

  std::vector<json::Record> records;
  records.reserve(lines.size() + 1);
  for (const platform::JsonLine& line : lines) {
    auto parsed = json::parse_padded(line.text);
    if (!parsed) return fail(fmt::format("invalid governance JSON: {}", parsed.error()));
    records.push_back(std::move(*parsed));
  }
  std::size_t consumed = body_end;
  if (unfinished && platform::is_valid_utf8(unfinished->text)) {
    // Complete JSON is a finished record; anything else waits for the rest of its bytes.
    if (auto parsed = json::parse_padded(unfinished->text)) {
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
