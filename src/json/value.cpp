#include "json/value.h"

#include <fmt/format.h>

#include <atomic>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "json/number.h"
#include "platform/memory.h"

namespace telmir::json {
struct ValueAccess {
  // Copies `src` to `dst` with `base` added to its pointer, as two plain words.
  static void rebase(Value& dst, const Value& src, std::uintptr_t base) noexcept {
    static_assert(offsetof(Value, ptr_) == 0 && sizeof(Value) == 16);
    std::uint64_t words[2];
    std::memcpy(words, &src, sizeof words);
    words[0] += base;
    std::memcpy(&dst, words, sizeof words);
  }
};

namespace {

constexpr int kMaxDepth = 128;

// ---------------------------------------------------------------------------------------------
// Scratch memory for building one document. Values built here hold offsets instead of
// pointers (the buffers move while they grow); `finish` copies everything into the record's
// single allocation and turns the offsets into pointers. Offset 0 is never used, so no
// temporary value carries a null pointer with a non-zero size.

class Buffer {
 public:
  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() { delete[] data_; }

  // Room for `n` more bytes; returns where they go.
  char* reserve(std::size_t n) {
    if (cap_ - size_ < n) grow(n);
    return data_ + size_;
  }
  void commit(std::size_t n) noexcept { size_ += n; }
  char* data() noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return cap_; }
  void reset(std::size_t size) noexcept { size_ = size; }
  void release() noexcept {
    delete[] data_;
    data_ = nullptr;
    size_ = cap_ = 0;
  }

 private:
  void grow(std::size_t n) {
    std::size_t cap = cap_ == 0 ? 4096 : cap_ * 2;
    while (cap - size_ < n) cap *= 2;
    char* data = new char[cap];
    if (size_ != 0) std::memcpy(data, data_, size_);
    delete[] data_;
    data_ = data;
    cap_ = cap;
  }

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t cap_ = 0;
};

constexpr std::size_t kReserved = 16;
// Scratch beyond this size is given back after a document instead of being kept for the next.
constexpr std::size_t kKeepLimit = std::size_t{64} << 20;

const char* off_ptr(std::size_t off) noexcept { return reinterpret_cast<const char*>(off); }
std::size_t ptr_off(const void* p) noexcept { return reinterpret_cast<std::uintptr_t>(p); }

bool same_key(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size()) == 0;
}

std::uint64_t key_hash(std::string_view key) noexcept {
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : key) h = (h ^ c) * 1099511628211ull;
  return h;
}

// One of 64 buckets for a key, from its length and three of its bytes.
unsigned key_bit(std::string_view key) noexcept {
  if (key.empty()) return 0;
  const auto* k = reinterpret_cast<const unsigned char*>(key.data());
  const std::uint64_t h =
      (key.size() | (std::uint64_t{k[0]} << 16) | (std::uint64_t{k[key.size() - 1]} << 24) |
       (std::uint64_t{k[key.size() / 2]} << 32)) *
      0x9E3779B97F4A7C15ull;
  return static_cast<unsigned>(h >> 58);
}

// Allocates the shared_ptr control block (with the Document) and the record's arena in one
// piece of memory.
template <class T>
struct TailAllocator {
  using value_type = T;

  TailAllocator(std::size_t extra, std::byte** tail) noexcept : extra_(extra), tail_(tail) {}
  template <class U>
  TailAllocator(const TailAllocator<U>& other) noexcept
      : extra_(other.extra_), tail_(other.tail_) {}

  T* allocate(std::size_t n) {
    const std::size_t head = (n * sizeof(T) + 15) & ~std::size_t{15};
    auto* base = static_cast<std::byte*>(::operator new(head + extra_));
    *tail_ = base + head;
    return reinterpret_cast<T*>(base);
  }
  void deallocate(T* p, std::size_t) noexcept { ::operator delete(p); }

  template <class U>
  bool operator==(const TailAllocator<U>& other) const noexcept {
    return tail_ == other.tail_;
  }

  std::size_t extra_;
  std::byte** tail_;
};

}  // namespace

// A piece of a RecordArena starts with this header. `holders` counts the arena (while the piece
// is its current one) and every record placed in the piece.
struct ArenaAccess {
  struct Piece {
    std::atomic<std::size_t> holders;
    std::size_t used;
  };

  // Every allocation starts with a prefix naming its piece (nullptr: taken from the heap).
  static constexpr std::size_t kPrefix = 16;
  static constexpr std::size_t kHeader = (sizeof(Piece) + 15) & ~std::size_t{15};
  // Larger records go to the heap, so a piece holds many records and wastes little at its end.
  static constexpr std::size_t kLargest = platform::kLargePieceBytes / 16;

  static std::byte* allocate(RecordArena& arena, std::size_t bytes) {
    const std::size_t need = kPrefix + ((bytes + 15) & ~std::size_t{15});
    Piece* piece = static_cast<Piece*>(arena.piece_);
    if (need <= kLargest && (piece == nullptr || piece->used + need > platform::kLargePieceBytes)) {
      drop(piece);
      piece = nullptr;
      if (void* fresh = platform::take_large_piece()) {
        piece = ::new (fresh) Piece{{1}, kHeader};
      }
      arena.piece_ = piece;
    }
    std::byte* base = nullptr;
    if (need <= kLargest && piece != nullptr) {
      base = reinterpret_cast<std::byte*>(piece) + piece->used;
      piece->used += need;
      piece->holders.fetch_add(1, std::memory_order_relaxed);
    } else {
      base = static_cast<std::byte*>(::operator new(need));
      piece = nullptr;
    }
    std::memcpy(base, &piece, sizeof piece);
    return base + kPrefix;
  }

  static void deallocate(void* p) noexcept {
    std::byte* base = static_cast<std::byte*>(p) - kPrefix;
    Piece* piece = nullptr;
    std::memcpy(&piece, base, sizeof piece);
    if (piece == nullptr) {
      ::operator delete(base);
    } else {
      drop(piece);
    }
  }

  static void drop(Piece* piece) noexcept {
    if (piece == nullptr) return;
    if (piece->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      piece->~Piece();
      platform::give_back_large_piece(piece);
    }
  }

  static void restart(RecordArena& arena) noexcept {
    drop(static_cast<Piece*>(arena.piece_));
    arena.piece_ = nullptr;
  }
};

RecordArena::~RecordArena() { ArenaAccess::restart(*this); }

void RecordArena::restart() noexcept { ArenaAccess::restart(*this); }

namespace {

// As TailAllocator, with the memory taken from a RecordArena.
template <class T>
struct ArenaAllocator {
  using value_type = T;

  ArenaAllocator(std::size_t extra, std::byte** tail, RecordArena* arena) noexcept
      : extra_(extra), tail_(tail), arena_(arena) {}
  template <class U>
  ArenaAllocator(const ArenaAllocator<U>& other) noexcept
      : extra_(other.extra_), tail_(other.tail_), arena_(other.arena_) {}

  T* allocate(std::size_t n) {
    const std::size_t head = (n * sizeof(T) + 15) & ~std::size_t{15};
    std::byte* base = ArenaAccess::allocate(*arena_, head + extra_);
    *tail_ = base + head;
    return reinterpret_cast<T*>(base);
  }
  void deallocate(T* p, std::size_t) noexcept { ArenaAccess::deallocate(p); }

  template <class U>
  bool operator==(const ArenaAllocator<U>& other) const noexcept {
    return tail_ == other.tail_;
  }

  std::size_t extra_;
  std::byte** tail_;
  RecordArena* arena_;
};

class Scratch {
 public:
  void start() {
    items_.clear();
    members_.clear();
    blocks_.clear();
    nodes_.reset(0);
    strings_.reset(0);
    nodes_.reserve(kReserved);
    nodes_.commit(kReserved);
    strings_.reserve(kReserved);
    strings_.commit(kReserved);
  }

  Buffer& strings() noexcept { return strings_; }

  Value copy_string(std::string_view s, Kind kind) {
    char* dst = strings_.reserve(s.size());
    if (!s.empty()) std::memcpy(dst, s.data(), s.size());
    const std::size_t off = strings_.size();
    strings_.commit(s.size());
    const std::string_view text(off_ptr(off), s.size());
    return kind == Kind::kNumber ? Value::make_number(text) : Value::make_string(text);
  }
  std::string_view copy_key(std::string_view s) {
    Value v = copy_string(s, Kind::kString);
    return v.as_string();
  }

  // Whether a member pushed since `mark` has this (decoded) key.
  bool has_key(std::size_t mark, std::string_view key) noexcept {
    for (std::size_t i = mark; i < members_.size(); ++i) {
      if (same_key(resolve_key(members_[i].key), key)) return true;
    }
    return false;
  }

  std::size_t item_mark() const noexcept { return items_.size(); }
  std::size_t member_mark() const noexcept { return members_.size(); }
  void push_item(const Value& v) { items_.push_back(v); }
  void push_member(std::string_view key, const Value& v) { members_.push_back(Member{key, v}); }

  Value close_array(std::size_t mark) {
    const std::size_t n = items_.size() - mark;
    const std::size_t bytes = n * sizeof(Value);
    char* dst = nodes_.reserve(bytes);
    const std::size_t off = nodes_.size();
    if (n != 0) {
      std::memcpy(dst, items_.data() + mark, bytes);
      blocks_.push_back({off, static_cast<std::uint32_t>(n), false});
    }
    nodes_.commit(bytes);
    items_.resize(mark);
    return Value::make_array(reinterpret_cast<const Value*>(off_ptr(off)), n);
  }

  // `may_repeat` false: the caller knows no key repeats (its fingerprints never collided).
  Value close_object(std::size_t mark, bool may_repeat = true) {
    std::size_t n = members_.size() - mark;
    if (n > 1 && may_repeat) n = unique_keys(members_.data() + mark, n);
    const std::size_t bytes = n * sizeof(Member);
    char* dst = nodes_.reserve(bytes);
    const std::size_t off = nodes_.size();
    if (n != 0) {
      std::memcpy(dst, members_.data() + mark, bytes);
      blocks_.push_back({off, static_cast<std::uint32_t>(n), true});
    }
    nodes_.commit(bytes);
    members_.resize(mark);
    return Value::make_object(reinterpret_cast<const Member*>(off_ptr(off)), n);
  }

  // Copies the built tree into one allocation holding the Document and its arena.
  Record finish(const Value& root, RecordArena* arena = nullptr) {
    const std::size_t nodes = nodes_.size() - kReserved;
    const std::size_t strings = strings_.size() - kReserved;
    const std::size_t total = nodes + strings;
    std::byte* tail = nullptr;
    std::shared_ptr<Document> doc =
        arena != nullptr
            ? std::allocate_shared<Document>(ArenaAllocator<Document>(total, &tail, arena))
            : std::allocate_shared<Document>(TailAllocator<Document>(total, &tail));
    if (strings != 0) std::memcpy(tail + nodes, strings_.data() + kReserved, strings);
    // Offsets count from the scratch start, whose first kReserved bytes are not copied.
    const std::uintptr_t node_base = reinterpret_cast<std::uintptr_t>(tail) - kReserved;
    const std::uintptr_t string_base = node_base + nodes;
    // Every container's elements, copied in one linear pass with offsets made pointers.
    for (const Block& b : blocks_) {
      std::byte* const at = tail + (b.offset - kReserved);
      if (b.object) {
        const auto* src = reinterpret_cast<const Member*>(nodes_.data() + b.offset);
        auto* dst = reinterpret_cast<Member*>(at);
        for (std::size_t i = 0; i < b.count; ++i) {
          dst[i].key = {reinterpret_cast<const char*>(string_base + ptr_off(src[i].key.data())),
                        src[i].key.size()};
          relocate(dst[i].value, src[i].value, node_base, string_base);
        }
      } else {
        const auto* src = reinterpret_cast<const Value*>(nodes_.data() + b.offset);
        auto* dst = reinterpret_cast<Value*>(at);
        for (std::size_t i = 0; i < b.count; ++i) relocate(dst[i], src[i], node_base, string_base);
      }
    }
    Value top;
    relocate(top, root, node_base, string_base);
    *doc = Document(nullptr, total, top);
    if (nodes_.capacity() > kKeepLimit) nodes_.release();
    if (strings_.capacity() > kKeepLimit) strings_.release();
    if (items_.capacity() * sizeof(Value) > kKeepLimit) std::vector<Value>().swap(items_);
    if (members_.capacity() * sizeof(Member) > kKeepLimit) std::vector<Member>().swap(members_);
    if (blocks_.capacity() * sizeof(Block) > kKeepLimit) std::vector<Block>().swap(blocks_);
    return doc;
  }

 private:
  std::string_view resolve_key(std::string_view key) noexcept {
    return {strings_.data() + ptr_off(key.data()), key.size()};
  }

  // A repeated key keeps the position of its first occurrence and the value of its last.
  std::size_t unique_keys(Member* m, std::size_t n) {
    if (n <= 64) {
      // A 64-bit filter of key fingerprints: only a key whose bit is already set is compared.
      std::uint64_t seen = 0;
      std::size_t out = 0;
      for (std::size_t i = 0; i < n; ++i) {
        const std::string_view key = resolve_key(m[i].key);
        const std::uint64_t bit = std::uint64_t{1} << key_bit(key);
        if ((seen & bit) != 0) {
          std::size_t j = 0;
          while (j < out && !same_key(resolve_key(m[j].key), key)) ++j;
          if (j < out) {
            m[j].value = m[i].value;
            continue;
          }
        }
        seen |= bit;
        m[out++] = m[i];
      }
      return out;
    }
    std::size_t out = 0;
    std::size_t size = 128;
    while (size < 2 * n) size *= 2;
    table_.assign(size, std::numeric_limits<std::uint32_t>::max());
    for (std::size_t i = 0; i < n; ++i) {
      const std::string_view key = resolve_key(m[i].key);
      std::size_t slot = key_hash(key) & (size - 1);
      for (;;) {
        const std::uint32_t at = table_[slot];
        if (at == std::numeric_limits<std::uint32_t>::max()) {
          table_[slot] = static_cast<std::uint32_t>(out);
          m[out++] = m[i];
          break;
        }
        if (same_key(resolve_key(m[at].key), key)) {
          m[at].value = m[i].value;
          break;
        }
        slot = (slot + 1) & (size - 1);
      }
    }
    return out;
  }

  // Adds the base of the value's region to its offset; null and boolean values carry none.
  static void relocate(Value& dst, const Value& src, std::uintptr_t node_base,
                       std::uintptr_t string_base) noexcept {
    const Kind k = src.kind();
    const std::uintptr_t base = k >= Kind::kArray    ? node_base
                                : k >= Kind::kNumber ? string_base
                                                     : 0;
    ValueAccess::rebase(dst, src, base);
  }

  struct Block {
    std::size_t offset;
    std::uint32_t count;
    bool object;
  };

  std::vector<Value> items_;
  std::vector<Member> members_;
  std::vector<Block> blocks_;
  std::vector<std::uint32_t> table_;
  Buffer nodes_;
  Buffer strings_;
};

Scratch& scratch() {
  thread_local Scratch s;
  return s;
}

// ---------------------------------------------------------------------------------------------
// Reader. `kBuild` false checks the text exactly as the builder does but keeps nothing.

struct CharClass {
  // 1: ends a plain run inside a string (quote, backslash, control character, non-ASCII).
  bool special[256] = {};
  CharClass() {
    for (int c = 0; c < 0x20; ++c) special[c] = true;
    for (int c = 0x80; c < 0x100; ++c) special[c] = true;
    special[static_cast<unsigned char>('"')] = true;
    special[static_cast<unsigned char>('\\')] = true;
  }
};
const CharClass kClass;

// The character a two-byte escape stands for, 0 where the escape is not JSON (\u is apart).
struct EscapeTable {
  char decoded[256] = {};
  EscapeTable() {
    decoded[static_cast<unsigned char>('"')] = '"';
    decoded[static_cast<unsigned char>('\\')] = '\\';
    decoded[static_cast<unsigned char>('/')] = '/';
    decoded[static_cast<unsigned char>('b')] = '\b';
    decoded[static_cast<unsigned char>('f')] = '\f';
    decoded[static_cast<unsigned char>('n')] = '\n';
    decoded[static_cast<unsigned char>('r')] = '\r';
    decoded[static_cast<unsigned char>('t')] = '\t';
  }
};
const EscapeTable kEscapes;

inline bool is_ws(char c) noexcept { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }
inline bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// The first byte at or after p that is a quote, a backslash, a control character or non-ASCII,
// or `end` when there is none. With kCopy the bytes before it go to `out` (which has 16 bytes of
// room beyond them: whole blocks are stored). `padded`: at least 16 readable bytes follow
// `end`, so the last block is read whole instead of byte by byte.
template <bool kCopy>
inline const char* scan_plain(const char* p, const char* end, bool padded, char*& out) noexcept {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i space = _mm_set1_epi8(0x20);
  // Signed compare: bytes >= 0x80 are negative, so "< 0x20" also catches non-ASCII.
  auto special = [&](__m128i v) {
    return static_cast<std::uint32_t>(_mm_movemask_epi8(
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                     _mm_cmplt_epi8(v, space))));
  };
  for (;;) {
    const std::ptrdiff_t left = end - p;
    if (left < 16 && !padded) break;
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    if constexpr (kCopy) _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
    std::uint32_t mask = special(v);
    // Bytes past the end do not count: the end itself stops the scan.
    if (left < 16) mask |= std::uint32_t{1} << left;
    if (mask != 0) {
      const int n = __builtin_ctz(mask);
      if constexpr (kCopy) out += n;
      return p + n;
    }
    p += 16;
    if constexpr (kCopy) out += 16;
  }
#else
  (void)padded;
#endif
  while (p != end && !kClass.special[static_cast<unsigned char>(*p)]) {
    if constexpr (kCopy) *out++ = *p;
    ++p;
  }
  return p;
}

// Length of the well-formed UTF-8 sequence at p (non-ASCII lead byte), or 0.
inline std::size_t utf8_sequence(const char* p, const char* end) noexcept {
  const auto* s = reinterpret_cast<const unsigned char*>(p);
  const std::size_t avail = static_cast<std::size_t>(end - p);
  const unsigned char c = s[0];
  auto cont = [&](std::size_t i) { return (s[i] & 0xC0) == 0x80; };
  if (c >= 0xC2 && c <= 0xDF) {
    return avail >= 2 && cont(1) ? 2 : 0;
  }
  if (c >= 0xE0 && c <= 0xEF) {
    if (avail < 3) return 0;
    const unsigned char lo = c == 0xE0 ? 0xA0 : 0x80;
    const unsigned char hi = c == 0xED ? 0x9F : 0xBF;
    return s[1] >= lo && s[1] <= hi && cont(2) ? 3 : 0;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (avail < 4) return 0;
    const unsigned char lo = c == 0xF0 ? 0x90 : 0x80;
    const unsigned char hi = c == 0xF4 ? 0x8F : 0xBF;
    return s[1] >= lo && s[1] <= hi && cont(2) && cont(3) ? 4 : 0;
  }
  return 0;
}

inline int hex_digit(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Four hex digits at p (caller checked they are in range), or -1.
inline long hex4(const char* p) noexcept {
  const int a = hex_digit(p[0]), b = hex_digit(p[1]), c = hex_digit(p[2]), d = hex_digit(p[3]);
  if ((a | b | c | d) < 0) return -1;
  return (a << 12) | (b << 8) | (c << 4) | d;
}

inline char* put_utf8(char* out, std::uint32_t cp) noexcept {
  if (cp < 0x80) {
    *out++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out++ = static_cast<char>(0xC0 | (cp >> 6));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (cp >> 12));
    *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (cp >> 18));
    *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return out;
}

std::string describe_byte(const char* p, const char* end) {
  if (p == end) return "end of input";
  const auto c = static_cast<unsigned char>(*p);
  if (c >= 0x21 && c < 0x7F) return fmt::format("'{}'", static_cast<char>(c));
  return fmt::format("byte 0x{:02x}", c);
}

template <bool kBuild>
class Reader {
 public:
  Reader(std::string_view text, bool padded, Scratch* s) noexcept
      : begin_(text.data()),
        p_(text.data()),
        end_(text.data() + text.size()),
        s_(s),
        padded_(padded) {}

  bool document(Value& root) {
    if (static_cast<std::uint64_t>(end_ - begin_) > std::numeric_limits<std::uint32_t>::max()) {
      return error(begin_, Fault::kTooLarge);
    }
    skip_ws();
    if (p_ == end_) return error(p_, Fault::kEmpty);
    root = value(0);
    if (failed_) return false;
    skip_ws();
    if (p_ != end_) return error(p_, Fault::kAfterValue);
    return true;
  }

  std::string message() const {
    std::size_t line = 1;
    const char* line_start = begin_;
    for (const char* q = begin_; q < error_at_; ++q) {
      if (*q == '\n') {
        ++line;
        line_start = q + 1;
      }
    }
    return fmt::format("{} at line {} column {} (byte {})", what(), line,
                       error_at_ - line_start + 1, error_at_ - begin_);
  }

 private:
  // What went wrong, kept as a code so the hot paths carry no message building.
  enum class Fault : std::uint8_t {
    kTooLarge,
    kEmpty,
    kAfterValue,
    kExpectedValue,
    kLiteral,
    kMinusDigits,
    kLeadingZero,
    kFractionDigits,
    kExponentDigits,
    kUnterminated,
    kControl,
    kUtf8,
    kEscape,
    kFewerHex,
    kNotHex,
    kLowSurrogate,
    kHighSurrogate,
    kInArray,
    kExpectedKey,
    kExpectedColon,
    kInObject,
    kDepth,
  };

  [[gnu::cold]] bool error(const char* at, Fault fault, std::uint32_t arg = 0) noexcept {
    failed_ = true;
    error_at_ = at;
    fault_ = fault;
    arg_ = arg;
    return false;
  }
  [[gnu::cold]] Value fail_at(const char* at, Fault fault) noexcept {
    error(at, fault);
    return Value();
  }

  std::string what() const {
    const std::string found = describe_byte(error_at_, end_);
    const auto byte = static_cast<unsigned char>(error_at_ != end_ ? *error_at_ : 0);
    switch (fault_) {
      case Fault::kTooLarge:
        return "text too large";
      case Fault::kEmpty:
        return "no JSON value (empty input)";
      case Fault::kAfterValue:
        return fmt::format("unexpected {} after the value", found);
      case Fault::kExpectedValue:
        if (error_at_ == end_) return "unexpected end of input, expected a value";
        return fmt::format("unexpected {}, expected a value", found);
      case Fault::kLiteral:
        return fmt::format("invalid literal, expected '{}'", byte == 't'   ? "true"
                                                             : byte == 'f' ? "false"
                                                                           : "null");
      case Fault::kMinusDigits:
        return "invalid number: no digits after '-'";
      case Fault::kLeadingZero:
        return "invalid number: leading zero";
      case Fault::kFractionDigits:
        return "invalid number: no digits after the decimal point";
      case Fault::kExponentDigits:
        return "invalid number: no digits in the exponent";
      case Fault::kUnterminated:
        return "unterminated string";
      case Fault::kControl:
        return fmt::format("raw control character U+{:04X} in string", byte);
      case Fault::kUtf8:
        return fmt::format("invalid UTF-8 (byte 0x{:02x}) in string", byte);
      case Fault::kEscape: {
        const auto e = static_cast<unsigned char>(error_at_[1]);
        if (e >= 0x21 && e < 0x7F) {
          return fmt::format("invalid escape '\\{}' in string", static_cast<char>(e));
        }
        return fmt::format("invalid escape: backslash followed by {} in string",
                           describe_byte(error_at_ + 1, end_));
      }
      case Fault::kFewerHex:
        return "invalid \\u escape: fewer than four hex digits";
      case Fault::kNotHex:
        return "invalid \\u escape: not four hex digits";
      case Fault::kLowSurrogate:
        return fmt::format("unpaired low surrogate escape \\u{:04X}", arg_);
      case Fault::kHighSurrogate:
        return fmt::format("high surrogate escape \\u{:04X} not followed by a low surrogate escape",
                           arg_);
      case Fault::kInArray:
        return fmt::format("unexpected {} in array, expected ',' or ']'", found);
      case Fault::kExpectedKey:
        return fmt::format("unexpected {} in object, expected a string key", found);
      case Fault::kExpectedColon:
        return fmt::format("unexpected {} after an object key, expected ':'", found);
      case Fault::kInObject:
        return fmt::format("unexpected {} in object, expected ',' or '}}'", found);
      case Fault::kDepth:
        return "nesting deeper than 128 arrays/objects";
    }
    return "invalid JSON";
  }

  void skip_ws() noexcept {
    while (p_ != end_ && is_ws(*p_)) ++p_;
  }

  // A member or item: strings, the most common, without the call through `value`.
  [[gnu::always_inline]] Value element(int depth) {
    if (p_ != end_ && *p_ == '"') {
      const Str str = string();
      if constexpr (kBuild) return Value::make_string({off_ptr(str.off), str.len});
      return Value();
    }
    return value(depth);
  }

  // Values are returned in registers; a failure sets `failed_`.
  Value value(int depth) {
    if (p_ == end_) return fail_at(p_, Fault::kExpectedValue);
    switch (*p_) {
      case '{':
        return object(depth);
      case '[':
        return array(depth);
      case '"': {
        const Str str = string();
        if constexpr (kBuild) return Value::make_string({off_ptr(str.off), str.len});
        return Value();
      }
      case 't':
        return literal("true", Value::make_bool(true));
      case 'f':
        return literal("false", Value::make_bool(false));
      case 'n':
        return literal("null", Value());
      case '-':
      case '0':
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7':
      case '8':
      case '9':
        return number();
      default:
        return fail_at(p_, Fault::kExpectedValue);
    }
  }

  Value literal(std::string_view word, Value v) {
    if (static_cast<std::size_t>(end_ - p_) < word.size() ||
        std::memcmp(p_, word.data(), word.size()) != 0) {
      return fail_at(p_, Fault::kLiteral);
    }
    p_ += word.size();
    return v;
  }

  Value number() {
    const char* start = p_;
    const char* p = p_;
    if (*p == '-') {
      ++p;
      if (p == end_ || !is_digit(*p)) return fail_at(p, Fault::kMinusDigits);
    }
    if (*p == '0') {
      ++p;
      if (p != end_ && is_digit(*p)) return fail_at(start, Fault::kLeadingZero);
    } else {
      while (p != end_ && is_digit(*p)) ++p;
    }
    if (p != end_ && *p == '.') {
      ++p;
      if (p == end_ || !is_digit(*p)) {
        return fail_at(p, Fault::kFractionDigits);
      }
      while (p != end_ && is_digit(*p)) ++p;
    }
    if (p != end_ && (*p == 'e' || *p == 'E')) {
      ++p;
      if (p != end_ && (*p == '+' || *p == '-')) ++p;
      if (p == end_ || !is_digit(*p)) return fail_at(p, Fault::kExponentDigits);
      while (p != end_ && is_digit(*p)) ++p;
    }
    p_ = p;
    if constexpr (kBuild) {
      const auto n = static_cast<std::size_t>(p - start);
      Buffer& strings = s_->strings();
      char* dst = strings.reserve(n + 16);
#if defined(__SSE2__)
      // Most numbers are short: one 16-byte block, when that much can be read.
      if (n <= 16 && (padded_ || end_ - start >= 16)) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(start)));
      } else {
        std::memcpy(dst, start, n);
      }
#else
      std::memcpy(dst, start, n);
#endif
      const std::size_t off = strings.size();
      strings.commit(n);
      return Value::make_number({off_ptr(off), n});
    }
    return Value();
  }

  struct Str {
    std::size_t off;  // in the scratch strings
    std::size_t len;
  };

  // At the opening quote. The common string, plain up to its closing quote, is handled here;
  // escapes, non-ASCII bytes and faults go to `string_rest`. A failure sets `failed_`.
  [[gnu::always_inline]] Str string() {
    const char* p = p_ + 1;
    char* out = nullptr;
    if constexpr (kBuild) {
      // Decoded text is never longer than its source; the copy runs up to 16 bytes ahead.
      out = s_->strings().reserve(static_cast<std::size_t>(end_ - p) + 32);
    }
    char* const out_start = out;
    p = scan_plain<kBuild>(p, end_, padded_, out);
    if (p != end_ && *p == '"') [[likely]] {
      p_ = p + 1;
      return end_string(out_start, out);
    }
    return string_rest(p, out_start, out);
  }

  Str end_string(char* out_start, char* out) noexcept {
    if constexpr (kBuild) {
      const std::size_t off = s_->strings().size();
      const auto len = static_cast<std::size_t>(out - out_start);
      s_->strings().commit(len);
      return {off, len};
    }
    return {0, 0};
  }

  [[gnu::noinline]] Str string_rest(const char* p, char* out_start, char* out) {
    const char* open = p_;
    for (;;) {
      if (p == end_) {
        error(open, Fault::kUnterminated);
        return {0, 0};
      }
      const auto c = static_cast<unsigned char>(*p);
      if (c == '"') {
        p_ = p + 1;
        return end_string(out_start, out);
      }
      if (c == '\\') {
        if (!escape(p, p, out)) return {0, 0};
      } else if (c < 0x20) {
        error(p, Fault::kControl);
        return {0, 0};
      } else {
        const std::size_t n = utf8_sequence(p, end_);
        if (n == 0) {
          error(p, Fault::kUtf8);
          return {0, 0};
        }
        if constexpr (kBuild) {
          for (std::size_t i = 0; i < n; ++i) *out++ = p[i];
        }
        p += n;
      }
      p = scan_plain<kBuild>(p, end_, padded_, out);
    }
  }

  // At the backslash `q`; leaves `p` after the escape.
  bool escape(const char* q, const char*& p, char*& out) {
    if (end_ - q < 2) return error(q, Fault::kUnterminated);
    const char e = q[1];
    if (e == 'u') return unicode_escape(q, p, out);
    const char decoded = kEscapes.decoded[static_cast<unsigned char>(e)];
    if (decoded == 0) return error(q, Fault::kEscape);
    if constexpr (kBuild) *out++ = decoded;
    p = q + 2;
    return true;
  }

  bool unicode_escape(const char* q, const char*& p, char*& out) {
    if (end_ - q < 6) return error(q, Fault::kFewerHex);
    const long cp = hex4(q + 2);
    if (cp < 0) return error(q, Fault::kNotHex);
    std::uint32_t code = static_cast<std::uint32_t>(cp);
    const char* after = q + 6;
    if (code >= 0xDC00 && code <= 0xDFFF) {
      return error(q, Fault::kLowSurrogate, code);
    }
    if (code >= 0xD800 && code <= 0xDBFF) {
      long low = -1;
      if (end_ - after >= 6 && after[0] == '\\' && after[1] == 'u') low = hex4(after + 2);
      if (low < 0xDC00 || low > 0xDFFF) {
        return error(q, Fault::kHighSurrogate, code);
      }
      code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<std::uint32_t>(low) - 0xDC00);
      after += 6;
    }
    if constexpr (kBuild) out = put_utf8(out, code);
    p = after;
    return true;
  }

  Value array(int depth) {
    if (depth >= kMaxDepth) return fail_at(p_, Fault::kDepth);
    ++p_;
    std::size_t mark = 0;
    if constexpr (kBuild) mark = s_->item_mark();
    skip_ws();
    if (p_ != end_ && *p_ == ']') {
      ++p_;
    } else {
      for (;;) {
        const Value item = element(depth + 1);
        if (failed_) return Value();
        if constexpr (kBuild) s_->push_item(item);
        skip_ws();
        if (p_ != end_ && *p_ == ',') {
          ++p_;
          skip_ws();
          continue;
        }
        if (p_ != end_ && *p_ == ']') {
          ++p_;
          break;
        }
        return fail_at(p_, Fault::kInArray);
      }
    }
    if constexpr (kBuild) return s_->close_array(mark);
    return Value();
  }

  Value object(int depth) {
    if (depth >= kMaxDepth) return fail_at(p_, Fault::kDepth);
    ++p_;
    std::size_t mark = 0;
    if constexpr (kBuild) mark = s_->member_mark();
    std::uint64_t seen = 0;
    bool may_repeat = false;
    skip_ws();
    if (p_ != end_ && *p_ == '}') {
      ++p_;
    } else {
      for (;;) {
        if (p_ == end_ || *p_ != '"') {
          return fail_at(p_, Fault::kExpectedKey);
        }
        const char* key_open = p_;
        const auto [off, len] = string();
        if (failed_) return Value();
        if constexpr (kBuild) {
          // Every escape shrinks the text, so a key as long as its source is its source.
          const bool raw = len == static_cast<std::size_t>(p_ - key_open - 2);
          const std::string_view key(raw ? key_open + 1 : s_->strings().data() + off, len);
          const std::uint64_t bit = std::uint64_t{1} << key_bit(key);
          // Only a fingerprint collision needs a look at the keys so far.
          if ((seen & bit) != 0 && !may_repeat) {
            may_repeat = s_->has_key(mark, {s_->strings().data() + off, len});
          }
          seen |= bit;
        }
        skip_ws();
        if (p_ == end_ || *p_ != ':') {
          return fail_at(p_, Fault::kExpectedColon);
        }
        ++p_;
        skip_ws();
        const Value v = element(depth + 1);
        if (failed_) return Value();
        if constexpr (kBuild) s_->push_member({off_ptr(off), len}, v);
        skip_ws();
        if (p_ != end_ && *p_ == ',') {
          ++p_;
          skip_ws();
          continue;
        }
        if (p_ != end_ && *p_ == '}') {
          ++p_;
          break;
        }
        return fail_at(p_, Fault::kInObject);
      }
    }
    if constexpr (kBuild) return s_->close_object(mark, may_repeat);
    return Value();
  }

  const char* begin_;
  const char* p_;
  const char* end_;
  Scratch* s_;
  bool padded_;
  bool failed_ = false;
  Fault fault_ = Fault::kEmpty;
  std::uint32_t arg_ = 0;
  const char* error_at_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Writers.

void write_string(std::string_view s, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  const char* p = s.data();
  const char* end = p + s.size();
  const char* run = p;
  for (; p != end; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(run, static_cast<std::size_t>(p - run));
    run = p + 1;
    switch (c) {
      case '"':
        out.append("\\\"");
        break;
      case '\\':
        out.append("\\\\");
        break;
      case '\b':
        out.append("\\b");
        break;
      case '\t':
        out.append("\\t");
        break;
      case '\n':
        out.append("\\n");
        break;
      case '\f':
        out.append("\\f");
        break;
      case '\r':
        out.append("\\r");
        break;
      default: {
        const char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
        out.append(esc, 6);
      }
    }
  }
  out.append(run, static_cast<std::size_t>(end - run));
  out.push_back('"');
}

void write_compact_to(const Value& v, std::string& out) {
  switch (v.kind()) {
    case Kind::kNull:
      out.append("null");
      return;
    case Kind::kBool:
      out.append(v.as_bool() ? "true" : "false");
      return;
    case Kind::kNumber:
      out.append(v.number_text());
      return;
    case Kind::kString:
      write_string(v.as_string(), out);
      return;
    case Kind::kArray: {
      out.push_back('[');
      bool first = true;
      for (const Value& item : v.items()) {
        if (!first) out.push_back(',');
        first = false;
        write_compact_to(item, out);
      }
      out.push_back(']');
      return;
    }
    case Kind::kObject: {
      out.push_back('{');
      bool first = true;
      for (const Member& m : v.members()) {
        if (!first) out.push_back(',');
        first = false;
        write_string(m.key, out);
        out.push_back(':');
        write_compact_to(m.value, out);
      }
      out.push_back('}');
      return;
    }
  }
}

void write_pretty_to(const Value& v, std::string& out, std::size_t indent) {
  switch (v.kind()) {
    case Kind::kArray: {
      const auto items = v.items();
      if (items.empty()) {
        out.append("[]");
        return;
      }
      out.append("[\n");
      for (std::size_t i = 0; i < items.size(); ++i) {
        out.append(indent + 2, ' ');
        write_pretty_to(items[i], out, indent + 2);
        out.append(i + 1 < items.size() ? ",\n" : "\n");
      }
      out.append(indent, ' ');
      out.push_back(']');
      return;
    }
    case Kind::kObject: {
      const auto members = v.members();
      if (members.empty()) {
        out.append("{}");
        return;
      }
      out.append("{\n");
      for (std::size_t i = 0; i < members.size(); ++i) {
        out.append(indent + 2, ' ');
        write_string(members[i].key, out);
        out.append(": ");
        write_pretty_to(members[i].value, out, indent + 2);
        out.append(i + 1 < members.size() ? ",\n" : "\n");
      }
      out.append(indent, ' ');
      out.push_back('}');
      return;
    }
    default:
      write_compact_to(v, out);
  }
}

Value build_from_node(const Node& n, Scratch& s) {
  switch (n.kind()) {
    case Kind::kNull:
      return Value();
    case Kind::kBool:
      return Value::make_bool(n.as_bool());
    case Kind::kNumber:
      return s.copy_string(n.text(), Kind::kNumber);
    case Kind::kString:
      return s.copy_string(n.text(), Kind::kString);
    case Kind::kArray: {
      const std::size_t mark = s.item_mark();
      for (const Node& item : n.items()) {
        const Value v = build_from_node(item, s);
        s.push_item(v);
      }
      return s.close_array(mark);
    }
    case Kind::kObject: {
      const std::size_t mark = s.member_mark();
      for (const auto& [key, value] : n.members()) {
        const std::string_view k = s.copy_key(key);
        const Value v = build_from_node(value, s);
        s.push_member(k, v);
      }
      return s.close_object(mark);
    }
  }
  return Value();
}

}  // namespace

// ---------------------------------------------------------------------------------------------

namespace {

Result<Record> parse_text(std::string_view text, bool padded, RecordArena* arena = nullptr) {
  Scratch& s = scratch();
  s.start();
  Reader<true> reader(text, padded, &s);
  Value root;
  if (!reader.document(root)) return fail(reader.message());
  return s.finish(root, arena);
}

}  // namespace

Result<Record> parse(std::string_view text) { return parse_text(text, false); }

Result<Record> parse_padded(std::string_view text) { return parse_text(text, true); }

Result<Record> parse_padded(std::string_view text, RecordArena& arena) {
  return parse_text(text, true, &arena);
}

Result<void> validate(std::string_view text) {
  Reader<false> reader(text, false, nullptr);
  Value root;
  if (!reader.document(root)) return fail(reader.message());
  return {};
}

Record freeze(const Node& node) {
  Scratch& s = scratch();
  s.start();
  const Value root = build_from_node(node, s);
  return s.finish(root);
}

std::string write_compact(const Value& v) {
  std::string out;
  write_compact_to(v, out);
  return out;
}

void write_compact(const Value& v, std::string& out) { write_compact_to(v, out); }

std::string write_pretty(const Value& v) {
  std::string out;
  write_pretty_to(v, out, 0);
  return out;
}

// ---------------------------------------------------------------------------------------------
// Node

Node Node::number_text(std::string text) {
  Node n;
  n.kind_ = Kind::kNumber;
  n.text_ = std::move(text);
  return n;
}

Node Node::from_u64(std::uint64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return number_text(std::string(buf, r.ptr));
}

Node Node::from_i64(std::int64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return number_text(std::string(buf, r.ptr));
}

Node Node::from_double(double v) { return number_text(format_double(v)); }

Node Node::array(std::vector<Node> items) {
  Node n;
  n.kind_ = Kind::kArray;
  n.items_ = std::move(items);
  return n;
}

Node Node::object(Members members) {
  Node n;
  n.kind_ = Kind::kObject;
  n.members_ = std::move(members);
  return n;
}

Node Node::from_value(const Value& v) {
  switch (v.kind()) {
    case Kind::kNull:
      return Node();
    case Kind::kBool:
      return Node(v.as_bool());
    case Kind::kNumber:
      return number_text(std::string(v.number_text()));
    case Kind::kString:
      return Node(std::string(v.as_string()));
    case Kind::kArray: {
      std::vector<Node> items;
      items.reserve(v.items().size());
      for (const Value& item : v.items()) items.push_back(from_value(item));
      return array(std::move(items));
    }
    case Kind::kObject: {
      Members members;
      members.reserve(v.members().size());
      for (const Member& m : v.members()) {
        members.emplace_back(std::string(m.key), from_value(m.value));
      }
      return object(std::move(members));
    }
  }
  return Node();
}

Node& Node::set(std::string key, Node value) {
  // A null node becomes an object on its first member (`Node n; n.set(...)`).
  if (kind_ != Kind::kObject) *this = object();
  for (auto& [k, v] : members_) {
    if (k == key) {
      v = std::move(value);
      return *this;
    }
  }
  members_.emplace_back(std::move(key), std::move(value));
  return *this;
}

Node& Node::push(Node value) {
  if (kind_ != Kind::kArray) *this = array();
  items_.push_back(std::move(value));
  return *this;
}

const Node* Node::find(std::string_view key) const noexcept {
  for (const auto& [k, v] : members_) {
    if (k == key) return &v;
  }
  return nullptr;
}

Node* Node::find(std::string_view key) noexcept {
  for (auto& [k, v] : members_) {
    if (k == key) return &v;
  }
  return nullptr;
}

}  // namespace telmir::json
