#include "platform/text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace telmir::platform {
namespace {

TEST(JsonLines, SplitsAtLineFeedsDropsOneCarriageReturnAndSkipsBlankLines) {
  // CRLF, an empty line, a line of ASCII blanks, lines of U+00A0 and U+3000, then an
  // unterminated last line.
  const std::string text = "a\r\nbb\n\n \t\r\n\xc2\xa0\n\xe3\x80\x80\ncc";
  const std::vector<JsonLine> lines = split_json_lines(text);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].text, "a");
  EXPECT_EQ(lines[0].offset, 0u);
  EXPECT_TRUE(lines[0].terminated);
  EXPECT_EQ(lines[1].text, "bb");
  EXPECT_EQ(lines[1].offset, 3u);
  EXPECT_TRUE(lines[1].terminated);
  EXPECT_EQ(lines[2].text, "cc");
  EXPECT_EQ(lines[2].offset, text.size() - 2);
  EXPECT_FALSE(lines[2].terminated);
}

TEST(JsonLines, RemovesOnlyOneCarriageReturn) {
  const std::vector<JsonLine> lines = split_json_lines("x\r\r\ny\r");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "x\r");
  EXPECT_EQ(lines[1].text, "y");
  EXPECT_FALSE(lines[1].terminated);
}

TEST(JsonLines, EmptyAndBlankTextsHaveNoLines) {
  EXPECT_TRUE(split_json_lines("").empty());
  EXPECT_TRUE(split_json_lines("\n\r\n \n").empty());
}

TEST(JsonLines, TerminatedLastLineIsMarkedTerminated) {
  const std::vector<JsonLine> lines = split_json_lines("{}\n");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].terminated);
}

TEST(JsonLines, StepwiseWalkGivesTheSameLinesAsTheSplit) {
  const std::string text = "\n{\"a\":1}\r\n \n{\"b\":2}\n\xe3\x80\x80\r\n{\"c\":3}";
  const std::vector<JsonLine> all = split_json_lines(text);
  std::size_t pos = 0;
  std::vector<JsonLine> walked;
  while (std::optional<JsonLine> line = next_json_line(text, pos)) walked.push_back(*line);
  EXPECT_EQ(pos, text.size());
  ASSERT_EQ(walked.size(), 3u);
  ASSERT_EQ(all.size(), walked.size());
  for (std::size_t i = 0; i < all.size(); ++i) {
    EXPECT_EQ(walked[i].text, all[i].text);
    EXPECT_EQ(walked[i].offset, all[i].offset);
    EXPECT_EQ(walked[i].terminated, all[i].terminated);
  }
  EXPECT_EQ(walked[1].text, "{\"b\":2}");
  EXPECT_EQ(walked[1].offset, 12u);
  EXPECT_FALSE(next_json_line(text, pos).has_value());
}

TEST(BlankLine, UnicodeWhiteSpaceIsBlankOtherCharactersAreNot) {
  struct Case {
    const char* text;
    bool blank;
  };
  const Case cases[] = {
      {"", true},
      {"\t\n\v\f\r ", true},
      {"\xc2\x85", true},                  // U+0085
      {"\xc2\xa0", true},                  // U+00A0
      {"\xe1\x9a\x80", true},              // U+1680
      {"\xe2\x80\x80\xe2\x80\x8a", true},  // U+2000, U+200A
      {"\xe2\x80\xa8\xe2\x80\xa9", true},  // U+2028, U+2029
      {"\xe2\x80\xaf\xe2\x81\x9f", true},  // U+202F, U+205F
      {"\xe3\x80\x80", true},              // U+3000
      {"\xe2\x80\x8b", false},             // U+200B is not White_Space
      {"\xef\xbb\xbf", false},             // U+FEFF
      {" x ", false},
      {"\xa0", false},  // a lone continuation byte is content
      {"\x1c", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
    EXPECT_EQ(is_blank_line(c.text), c.blank);
  }
}

TEST(Utf8, AcceptsWellFormedTextAndRefusesMalformedSequences) {
  struct Case {
    std::string text;
    bool valid;
  };
  const Case cases[] = {
      {"", true},
      {"plain ascii that is longer than eight bytes", true},
      {"caf\xc3\xa9 \xe2\x98\x83 \xf0\x9f\x98\x80", true},
      {"\xef\xbf\xbf\xf4\x8f\xbf\xbf", true},  // U+FFFF, U+10FFFF
      {std::string("a\0b", 3), true},
      {"\xc0\xaf", false},          // overlong "/"
      {"\xe0\x80\xaf", false},      // overlong, three bytes
      {"\xf0\x80\x80\xaf", false},  // overlong, four bytes
      {"\xed\xa0\x80", false},      // surrogate U+D800
      {"\xf4\x90\x80\x80", false},  // above U+10FFFF
      {"\xc3", false},              // truncated
      {"abcdefgh\xe2\x98", false},  // truncated after an ASCII run
      {"abcdefghi\xff", false},
      {"\x80", false},
      {"\xc3\x28", false},  // bad continuation
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.text));
    EXPECT_EQ(is_valid_utf8(c.text), c.valid);
  }
}

TEST(OptionalNotation, MissingValueIsNone) { EXPECT_EQ(optional_notation(std::nullopt), "None"); }

TEST(OptionalNotation, EscapesQuotingAndInvisibleCharacters) {
  struct Case {
    std::string text;
    std::string written;
  };
  const Case cases[] = {
      {"", R"(Some(""))"},
      {"plain text", R"(Some("plain text"))"},
      {"a\\b\"c", R"(Some("a\\b\"c"))"},
      {"\t\r\n", R"(Some("\t\r\n"))"},
      {std::string("\0", 1), R"(Some("\0"))"},
      {"\x1b\x7f", R"(Some("\u{1b}\u{7f}"))"},
      {"caf\xc3\xa9 \xe2\x98\x83", "Some(\"caf\xc3\xa9 \xe2\x98\x83\")"},  // printed as is
      {"e\xcc\x81", R"(Some("e\u{301}"))"},                                // combining acute
      {"a\xe2\x80\x8b"
       "b",
       R"(Some("a\u{200b}b"))"},                // U+200B, format
      {"\xc2\x85", R"(Some("\u{85}"))"},        // U+0085, control
      {"\xc2\xa0", R"(Some("\u{a0}"))"},        // U+00A0, space
      {"\xe2\x80\xa8", R"(Some("\u{2028}"))"},  // line separator
      {"\xee\x80\x80", R"(Some("\u{e000}"))"},  // private use
      {"\xcd\xb8", R"(Some("\u{378}"))"},       // unassigned
      {"\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbb",      // skin tone stays
       "Some(\"\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbb\")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.text));
    EXPECT_EQ(optional_notation(std::string_view(c.text)), c.written);
  }
}

}  // namespace
}  // namespace telmir::platform
