#pragma once

// The JSON value of the whole program.
//
// `Value` is a small immutable handle (16 bytes) into memory owned by a `Document`. Records read
// from a chain are parsed once into a Document and shared by pointer (`Record`): the chain
// history, the SPC decision list and the verification queue all hold the same Document.
// Numbers keep the exact text they were read with; strings are UTF-8 with escapes decoded;
// objects keep insertion order with unique keys (a repeated key keeps its first position and
// its last value).
//
// `Node` is the mutable builder for records the program makes itself (QA records, baselines);
// `freeze` turns one into a Document so the same writers render both.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/result.h"

namespace telmir::json {

enum class Kind : std::uint8_t { kNull, kBool, kNumber, kString, kArray, kObject };

struct Member;

class Value {
 public:
  constexpr Value() noexcept = default;  // null

  Kind kind() const noexcept { return kind_; }
  bool is_null() const noexcept { return kind_ == Kind::kNull; }
  bool is_bool() const noexcept { return kind_ == Kind::kBool; }
  bool is_number() const noexcept { return kind_ == Kind::kNumber; }
  bool is_string() const noexcept { return kind_ == Kind::kString; }
  bool is_array() const noexcept { return kind_ == Kind::kArray; }
  bool is_object() const noexcept { return kind_ == Kind::kObject; }

  // Accessors return an empty/false result when the kind does not match.
  bool as_bool() const noexcept { return kind_ == Kind::kBool && flag_; }
  std::string_view number_text() const noexcept {
    return kind_ == Kind::kNumber ? std::string_view(static_cast<const char*>(ptr_), size_)
                                  : std::string_view();
  }
  std::string_view as_string() const noexcept {
    return kind_ == Kind::kString ? std::string_view(static_cast<const char*>(ptr_), size_)
                                  : std::string_view();
  }
  std::span<const Value> items() const noexcept;
  std::span<const Member> members() const noexcept;

  // Member lookup by exact key (linear scan); nullptr when not an object or no such key.
  const Value* find(std::string_view key) const noexcept;
  // The member's string value, or nothing when it is missing or not a string.
  std::optional<std::string_view> string_member(std::string_view key) const noexcept;

  // Raw constructors for the reader and `freeze`: the pointed-to memory must outlive the value.
  static Value make_bool(bool b) noexcept {
    Value v;
    v.kind_ = Kind::kBool;
    v.flag_ = b;
    return v;
  }
  static Value make_number(std::string_view text) noexcept {
    return Value(Kind::kNumber, text.data(), text.size());
  }
  static Value make_string(std::string_view text) noexcept {
    return Value(Kind::kString, text.data(), text.size());
  }
  static Value make_array(const Value* items, std::size_t n) noexcept {
    return Value(Kind::kArray, items, n);
  }
  static Value make_object(const Member* members, std::size_t n) noexcept {
    return Value(Kind::kObject, members, n);
  }

 private:
  friend struct ValueAccess;  // the reader's relocation of offsets into pointers

  Value(Kind k, const void* p, std::size_t n) noexcept
      : ptr_(p), size_(static_cast<std::uint32_t>(n)), kind_(k) {}

  const void* ptr_ = nullptr;
  std::uint32_t size_ = 0;
  Kind kind_ = Kind::kNull;
  bool flag_ = false;
  // Named padding: with no hole in the layout a copy is two plain 8-byte moves.
  std::uint16_t reserved_ = 0;
};
static_assert(sizeof(Value) == 16);

struct Member {
  std::string_view key;
  Value value;
};

inline std::span<const Value> Value::items() const noexcept {
  if (kind_ != Kind::kArray) return {};
  return {static_cast<const Value*>(ptr_), size_};
}
inline std::span<const Member> Value::members() const noexcept {
  if (kind_ != Kind::kObject) return {};
  return {static_cast<const Member*>(ptr_), size_};
}
inline const Value* Value::find(std::string_view key) const noexcept {
  for (const Member& m : members()) {
    if (m.key == key) return &m.value;
  }
  return nullptr;
}
inline std::optional<std::string_view> Value::string_member(std::string_view key) const noexcept {
  const Value* v = find(key);
  if (v == nullptr || !v->is_string()) return std::nullopt;
  return v->as_string();
}

// Owns the memory behind a root Value. Immutable once built.
class Document {
 public:
  Document() = default;
  Document(const Document&) = delete;
  Document& operator=(const Document&) = delete;
  Document(Document&&) noexcept = default;
  Document& operator=(Document&&) noexcept = default;

  const Value& root() const noexcept { return root_; }
  // Bytes held for this document (arena and nodes), for memory accounting.
  std::size_t memory_bytes() const noexcept { return arena_size_; }

  // For the reader and `freeze`: adopt an arena and the root value pointing into it.
  Document(std::unique_ptr<std::byte[]> arena, std::size_t arena_size, Value root) noexcept
      : arena_(std::move(arena)), arena_size_(arena_size), root_(root) {}

 private:
  std::unique_ptr<std::byte[]> arena_;
  std::size_t arena_size_ = 0;
  Value root_;
};

// A parsed record, shared between the history, queues and lists that refer to it.
using Record = std::shared_ptr<const Document>;

// Mutable builder value. Objects keep insertion order; `set` on an existing key replaces the
// value in place.
class Node {
 public:
  using Members = std::vector<std::pair<std::string, Node>>;

  Node() = default;  // null
  Node(std::nullptr_t) {}
  Node(bool b) : kind_(Kind::kBool), flag_(b) {}
  // Numbers and pointers would otherwise silently become booleans: use from_u64, from_i64,
  // from_double or number_text.
  template <class T, std::enable_if_t<std::is_arithmetic_v<T> && !std::is_same_v<T, bool>, int> = 0>
  Node(T) = delete;
  template <class T, std::enable_if_t<!std::is_same_v<T, char>, int> = 0>
  Node(const T*) = delete;
  Node(const char* s) : kind_(Kind::kString), text_(s) {}
  Node(std::string s) : kind_(Kind::kString), text_(std::move(s)) {}
  Node(std::string_view s) : kind_(Kind::kString), text_(s) {}

  // A number given as JSON number text (must follow the JSON number grammar).
  static Node number_text(std::string text);
  static Node from_u64(std::uint64_t v);
  static Node from_i64(std::int64_t v);
  // A double, always written as a float (3.0, 1e+16). The caller checks finiteness first; a
  // non-finite double is kept as the text "1e999", which the canonical writer refuses.
  static Node from_double(double v);
  static Node array(std::vector<Node> items = {});
  static Node object(Members members = {});
  // Deep copy of a read value.
  static Node from_value(const Value& v);

  Kind kind() const noexcept { return kind_; }
  bool as_bool() const noexcept { return kind_ == Kind::kBool && flag_; }
  // String content or number text.
  const std::string& text() const noexcept { return text_; }
  const std::vector<Node>& items() const noexcept { return items_; }
  std::vector<Node>& items() noexcept { return items_; }
  const Members& members() const noexcept { return members_; }
  Members& members() noexcept { return members_; }

  // Object: replace the value of `key` in place, or append the member. A node that is not an
  // object becomes an empty object first. Returns *this.
  Node& set(std::string key, Node value);
  // Array: append (a node that is not an array becomes an empty array first). Returns *this.
  Node& push(Node value);
  const Node* find(std::string_view key) const noexcept;
  Node* find(std::string_view key) noexcept;

 private:
  Kind kind_ = Kind::kNull;
  bool flag_ = false;
  std::string text_;
  std::vector<Node> items_;
  Members members_;
};

// An immutable Document holding a copy of the node.
Record freeze(const Node& node);

// Strict JSON over UTF-8: invalid UTF-8, raw control characters in strings, lone or mis-paired
// surrogate escapes, content after the value, numbers outside the JSON grammar and nesting deeper
// than 128 arrays/objects are refused. The message says what is wrong and where.
Result<Record> parse(std::string_view text);

// As `parse`, for text that has at least kPadding readable bytes after its end (views into one
// padded buffer of a whole file): the reader then reads whole blocks past the end (ignoring
// those bytes) instead of finishing byte by byte.
inline constexpr std::size_t kPadding = 64;
Result<Record> parse_padded(std::string_view text);

// Memory for records that stay together for a long time, such as the records of a chain
// history: they are placed one after another in large pieces (backed by large pages where the
// system allows), so that a walk over millions of records touches few pages. A record may
// outlive the arena it was parsed into: a piece is given back once the arena has moved past it
// (or is gone) and its last record is gone. For use by one thread at a time; its records may be
// released anywhere.
class RecordArena {
 public:
  RecordArena() noexcept = default;
  RecordArena(const RecordArena&) = delete;
  RecordArena& operator=(const RecordArena&) = delete;
  RecordArena(RecordArena&& other) noexcept : piece_(std::exchange(other.piece_, nullptr)) {}
  RecordArena& operator=(RecordArena&& other) noexcept {
    if (this != &other) {
      restart();
      piece_ = std::exchange(other.piece_, nullptr);
    }
    return *this;
  }
  ~RecordArena();

  // Later records start in a fresh piece, so the pieces that hold only released records can be
  // returned (after the records kept so far were dropped, as when a history is emptied).
  void restart() noexcept;

 private:
  friend struct ArenaAccess;
  void* piece_ = nullptr;
};

// As `parse_padded`, with the record placed in `arena`.
Result<Record> parse_padded(std::string_view text, RecordArena& arena);

// Accepts and refuses exactly what `parse` does, with the same message, but builds nothing.
Result<void> validate(std::string_view text);

// Compact: members in stored order, no white space, numbers as their text, strings escaped as in
// the canonical form.
std::string write_compact(const Value& v);
// The same, appended to `out`.
void write_compact(const Value& v, std::string& out);
// Two-space indentation, members in stored order, "{}"/"[]" for empty containers, no trailing
// newline:
//   {
//     "a": 1,
//     "b": [
//       1
//     ]
//   }
std::string write_pretty(const Value& v);

}  // namespace telmir::json
