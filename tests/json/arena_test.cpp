#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "json/value.h"

namespace telmir::json {
namespace {

// Owns a text followed by the reader's padding, as the lines of a read file are.
struct PaddedText {
  explicit PaddedText(std::string text) : bytes(std::move(text)), size(bytes.size()) {
    bytes.append(kPadding, ' ');
  }
  std::string_view view() const { return std::string_view(bytes).substr(0, size); }
  std::string bytes;
  std::size_t size;
};

std::string record_text(std::size_t i) {
  return R"({"sequence":)" + std::to_string(i) + R"(,"record_hash":"h)" + std::to_string(i) +
         R"(","nested":{"list":[1,2.5,"three",null,true],"text":"caf\u00e9 \ud83d\ude00"}})";
}

Record parse_in(RecordArena& arena, const std::string& text) {
  const PaddedText padded(text);
  auto r = parse_padded(padded.view(), arena);
  EXPECT_TRUE(r.has_value()) << (r ? "" : r.error());
  return r ? *r : freeze(Node());
}

TEST(RecordArena, RecordsReadTheSameAsRecordsOnTheHeap) {
  const std::vector<std::string> texts = {
      "{}",
      "[]",
      R"("")",
      record_text(7),
      R"({"a":1,"a":2,"b":[{"c":[]}]})",
      // Larger than a record the arena places in its pieces.
      R"({"big":")" + std::string(300000, 'x') + R"("})",
  };
  RecordArena arena;
  for (const std::string& text : texts) {
    SCOPED_TRACE(text.substr(0, 40));
    const Record in_arena = parse_in(arena, text);
    auto on_heap = parse(text);
    ASSERT_TRUE(on_heap.has_value());
    EXPECT_EQ(write_compact(in_arena->root()), write_compact((*on_heap)->root()));
    EXPECT_EQ(in_arena->memory_bytes(), (*on_heap)->memory_bytes());
  }
}

TEST(RecordArena, RefusedTextGivesTheReadersMessage) {
  RecordArena arena;
  const PaddedText text(R"({"a":})");
  auto in_arena = parse_padded(text.view(), arena);
  auto on_heap = parse(text.view());
  ASSERT_FALSE(in_arena.has_value());
  ASSERT_FALSE(on_heap.has_value());
  EXPECT_EQ(in_arena.error(), on_heap.error());
}

// Enough records to fill several pieces; each keeps its content after the arena moved on or
// went away.
TEST(RecordArena, RecordsOutliveTheArenaAndItsRestarts) {
  constexpr std::size_t kCount = 40000;
  std::vector<Record> records;
  {
    RecordArena arena;
    for (std::size_t i = 0; i < kCount; ++i) {
      records.push_back(parse_in(arena, record_text(i)));
      if (i == kCount / 2) arena.restart();
    }
    RecordArena moved = std::move(arena);
    records.push_back(parse_in(moved, record_text(kCount)));
  }
  ASSERT_EQ(records.size(), kCount + 1);
  for (std::size_t i = 0; i < records.size(); ++i) {
    auto on_heap = parse(record_text(i));
    ASSERT_TRUE(on_heap.has_value());
    ASSERT_EQ(write_compact(records[i]->root()), write_compact((*on_heap)->root())) << i;
  }
}

TEST(RecordArena, RecordsMayBeReleasedOnAnotherThreadWhileMoreAreParsed) {
  RecordArena arena;
  std::vector<Record> first;
  for (std::size_t i = 0; i < 20000; ++i) first.push_back(parse_in(arena, record_text(i)));
  std::thread releaser([batch = std::move(first)]() mutable { batch.clear(); });
  std::vector<Record> second;
  for (std::size_t i = 0; i < 20000; ++i) second.push_back(parse_in(arena, record_text(i)));
  releaser.join();
  for (std::size_t i = 0; i < second.size(); i += 997) {
    EXPECT_EQ(second[i]->root().find("sequence")->number_text(), std::to_string(i));
  }
}

}  // namespace
}  // namespace telmir::json
