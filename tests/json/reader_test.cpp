#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "json/value.h"

namespace telmir::json {
namespace {

Record parse_ok(std::string_view text) {
  auto r = parse(text);
  EXPECT_TRUE(r.has_value()) << (r ? "" : r.error());
  return r ? *r : freeze(Node());
}

std::string nested(int depth) {
  return std::string(static_cast<std::size_t>(depth), '[') +
         std::string(static_cast<std::size_t>(depth), ']');
}

struct Malformed {
  std::string text;
  std::string message;  // the full message: what is wrong and where
};

// Each input is refused with a message naming the fault and its position; the validator
// agrees with the reader on every one.
TEST(JsonReader, RefusesMalformedInputWithPosition) {
  const Malformed cases[] = {
      {"", "no JSON value (empty input) at line 1 column 1 (byte 0)"},
      {"  \n ", "no JSON value (empty input) at line 2 column 2 (byte 4)"},
      {"01", "invalid number: leading zero at line 1 column 1 (byte 0)"},
      {"[-01]", "invalid number: leading zero at line 1 column 2 (byte 1)"},
      {"+1", "unexpected '+', expected a value at line 1 column 1 (byte 0)"},
      {".5", "unexpected '.', expected a value at line 1 column 1 (byte 0)"},
      {"1.", "invalid number: no digits after the decimal point at line 1 column 3 (byte 2)"},
      {"1.e3", "invalid number: no digits after the decimal point at line 1 column 3 (byte 2)"},
      {"1e", "invalid number: no digits in the exponent at line 1 column 3 (byte 2)"},
      {"1e+", "invalid number: no digits in the exponent at line 1 column 4 (byte 3)"},
      {"-", "invalid number: no digits after '-' at line 1 column 2 (byte 1)"},
      {"-Infinity", "invalid number: no digits after '-' at line 1 column 2 (byte 1)"},
      {"NaN", "unexpected 'N', expected a value at line 1 column 1 (byte 0)"},
      {"Infinity", "unexpected 'I', expected a value at line 1 column 1 (byte 0)"},
      {"[1 2]", "unexpected '2' in array, expected ',' or ']' at line 1 column 4 (byte 3)"},
      {"[1,]", "unexpected ']', expected a value at line 1 column 4 (byte 3)"},
      {"[1", "unexpected end of input in array, expected ',' or ']' at line 1 column 3 (byte 2)"},
      {"{\"a\":1,}", "unexpected '}' in object, expected a string key at line 1 column 8 (byte 7)"},
      {"{a:1}", "unexpected 'a' in object, expected a string key at line 1 column 2 (byte 1)"},
      {"{\"a\" 1}", "unexpected '1' after an object key, expected ':' at line 1 column 6 (byte 5)"},
      {"{\"a\":1 \"b\":2}",
       "unexpected '\"' in object, expected ',' or '}' at line 1 column 8 (byte 7)"},
      {"tru", "invalid literal, expected 'true' at line 1 column 1 (byte 0)"},
      {"nul", "invalid literal, expected 'null' at line 1 column 1 (byte 0)"},
      {"True", "unexpected 'T', expected a value at line 1 column 1 (byte 0)"},
      {"truex", "unexpected 'x' after the value at line 1 column 5 (byte 4)"},
      {"{} {}", "unexpected '{' after the value at line 1 column 4 (byte 3)"},
      {"1\n2", "unexpected '2' after the value at line 2 column 1 (byte 2)"},
      {"\xEF\xBB\xBF{}", "unexpected byte 0xef, expected a value at line 1 column 1 (byte 0)"},
      {"\"abc", "unterminated string at line 1 column 1 (byte 0)"},
      {"\"abc\\", "unterminated string at line 1 column 5 (byte 4)"},
      {"\"a\tb\"", "raw control character U+0009 in string at line 1 column 3 (byte 2)"},
      {"\"a\nb\"", "raw control character U+000A in string at line 1 column 3 (byte 2)"},
      {std::string("\"a\0b\"", 5),
       "raw control character U+0000 in string at line 1 column 3 (byte 2)"},
      {"\"\\x\"", "invalid escape '\\x' in string at line 1 column 2 (byte 1)"},
      {"\"\\\x01\"",
       "invalid escape: backslash followed by byte 0x01 in string at line 1 column 2 (byte 1)"},
      {"\"\\u12G4\"", "invalid \\u escape: not four hex digits at line 1 column 2 (byte 1)"},
      {"\"\\u12\"", "invalid \\u escape: fewer than four hex digits at line 1 column 2 (byte 1)"},
      {"\"\\uD800\"",
       "high surrogate escape \\uD800 not followed by a low surrogate escape at line 1 column 2 "
       "(byte 1)"},
      {"\"\\uD800\\u0041\"",
       "high surrogate escape \\uD800 not followed by a low surrogate escape at line 1 column 2 "
       "(byte 1)"},
      {"\"\\uD800\\uD800\"",
       "high surrogate escape \\uD800 not followed by a low surrogate escape at line 1 column 2 "
       "(byte 1)"},
      {"\"\\uDC00\"", "unpaired low surrogate escape \\uDC00 at line 1 column 2 (byte 1)"},
      {"\"\\ude00\\uD83D\"", "unpaired low surrogate escape \\uDE00 at line 1 column 2 (byte 1)"},
      {"\"\xC3\x28\"", "invalid UTF-8 (byte 0xc3) in string at line 1 column 2 (byte 1)"},
      {"\"\x80\"", "invalid UTF-8 (byte 0x80) in string at line 1 column 2 (byte 1)"},
      {"\"\xC0\xAF\"", "invalid UTF-8 (byte 0xc0) in string at line 1 column 2 (byte 1)"},
      {"\"\xE0\x80\xAF\"", "invalid UTF-8 (byte 0xe0) in string at line 1 column 2 (byte 1)"},
      {"\"\xED\xA0\x80\"", "invalid UTF-8 (byte 0xed) in string at line 1 column 2 (byte 1)"},
      {"\"\xF4\x90\x80\x80\"", "invalid UTF-8 (byte 0xf4) in string at line 1 column 2 (byte 1)"},
      {"\"\xF5\x80\x80\x80\"", "invalid UTF-8 (byte 0xf5) in string at line 1 column 2 (byte 1)"},
      {"\"\xE2\x82\"", "invalid UTF-8 (byte 0xe2) in string at line 1 column 2 (byte 1)"},
      {"[\"\xE2\x82", "invalid UTF-8 (byte 0xe2) in string at line 1 column 3 (byte 2)"},
      {"{\"k\xFF\":1}", "invalid UTF-8 (byte 0xff) in string at line 1 column 4 (byte 3)"},
      {"[\xC3\xA9]", "unexpected byte 0xc3, expected a value at line 1 column 2 (byte 1)"},
      {"{\"a\":\n  [1,\n   x]}", "unexpected 'x', expected a value at line 3 column 4 (byte 15)"},
      {nested(129), "nesting deeper than 128 arrays/objects at line 1 column 129 (byte 128)"},
  };
  for (const Malformed& c : cases) {
    SCOPED_TRACE(c.text);
    const auto parsed = parse(c.text);
    ASSERT_FALSE(parsed.has_value());
    EXPECT_EQ(parsed.error(), c.message);
    const auto checked = validate(c.text);
    ASSERT_FALSE(checked.has_value());
    EXPECT_EQ(checked.error(), c.message);
  }
}

TEST(JsonReader, AcceptsValidInputAndValidatorAgrees) {
  const std::string cases[] = {
      "0",
      "-0",
      " \t\r\n{} \t\r\n",
      "[]",
      "\"\"",
      "true",
      "false",
      "null",
      "[1,-2.5e+3,0.0,1E-2]",
      "{\"a\":{\"b\":[{},[],\"\"]}}",
      "\"\\\"\\\\\\/\\b\\f\\n\\r\\t\\u0000\\uFFFF\\uD83D\\uDE00\"",
      "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBF\x7F\"",
      "\"a long string that crosses several sixteen-byte blocks \xC3\xA9 and ends here\"",
      nested(128),
      "{\"a\":1,\"a\":2}",
  };
  for (const std::string& text : cases) {
    SCOPED_TRACE(text);
    const auto parsed = parse(text);
    EXPECT_TRUE(parsed.has_value()) << (parsed ? "" : parsed.error());
    const auto checked = validate(text);
    EXPECT_TRUE(checked.has_value()) << (checked ? "" : checked.error());
  }
}

TEST(JsonReader, NestingOf128IsAcceptedAnd129Refused) {
  std::string objects;
  for (int i = 0; i < 127; ++i) objects += "{\"k\":";
  objects += "[]";
  for (int i = 0; i < 127; ++i) objects += "}";
  EXPECT_TRUE(parse(objects).has_value());
  EXPECT_TRUE(parse(nested(128)).has_value());

  const std::string deeper = "{\"k\":" + objects + "}";
  const auto refused = parse(deeper);
  ASSERT_FALSE(refused.has_value());
  EXPECT_NE(refused.error().find("nesting deeper than 128"), std::string::npos);
  EXPECT_FALSE(validate(deeper).has_value());
  EXPECT_FALSE(parse(nested(129)).has_value());
  // Far deeper input is refused, not a stack overflow.
  EXPECT_FALSE(parse(std::string(100000, '[')).has_value());
}

TEST(JsonReader, RepeatedKeyKeepsFirstPositionLastValue) {
  const Record doc = parse_ok(R"({"a":1,"b":2,"a":{"x":3},"c":4,"b":5})");
  EXPECT_EQ(write_compact(doc->root()), R"({"a":{"x":3},"b":5,"c":4})");

  // Large objects take another path for the same rule.
  std::string big = "{";
  for (int i = 0; i < 40; ++i) big += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
  big += "\"k3\":\"last\",\"k39\":true}";
  const Record large = parse_ok(big);
  const auto members = large->root().members();
  ASSERT_EQ(members.size(), 40u);
  EXPECT_EQ(members[3].key, "k3");
  EXPECT_EQ(members[3].value.as_string(), "last");
  EXPECT_TRUE(members[39].value.as_bool());
  EXPECT_EQ(members[4].value.number_text(), "4");
}

TEST(JsonReader, NumbersKeepTheirExactText) {
  const Record doc =
      parse_ok("[1.50, -0, 1E2, 123456789012345678901234567890, -0.0, 1e-7, 0, 2.5E+10]");
  const auto items = doc->root().items();
  const char* texts[] = {"1.50", "-0",   "1E2", "123456789012345678901234567890",
                         "-0.0", "1e-7", "0",   "2.5E+10"};
  ASSERT_EQ(items.size(), std::size(texts));
  for (std::size_t i = 0; i < items.size(); ++i) {
    SCOPED_TRACE(texts[i]);
    EXPECT_TRUE(items[i].is_number());
    EXPECT_EQ(items[i].number_text(), texts[i]);
  }
}

TEST(JsonReader, EscapesAreDecoded) {
  struct Case {
    const char* text;
    std::string decoded;
  };
  const Case cases[] = {
      {R"("caf\u00e9")", "caf\xC3\xA9"},
      {R"("\u00E9")", "\xC3\xA9"},
      {R"("\uD83D\ude00")", "\xF0\x9F\x98\x80"},
      {R"("\udbff\udfff")", "\xF4\x8F\xBF\xBF"},
      {R"("\/tmp\/p")", "/tmp/p"},
      {R"("a\"b\\c")", "a\"b\\c"},
      {R"("\b\f\n\r\t")", "\b\f\n\r\t"},
      {R"("nul\u0000x")", std::string("nul\0x", 5)},
      {R"("\u2603\u007f")", "\xE2\x98\x83\x7F"},
      {"\"raw \xE2\x98\x83 stays\"", "raw \xE2\x98\x83 stays"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const Record doc = parse_ok(c.text);
    EXPECT_EQ(doc->root().as_string(), c.decoded);
  }
}

TEST(JsonReader, KeysAreDecodedAndFoundByValue) {
  const Record doc = parse_ok(R"({"b\tc": 8, "\u00e8": "x", "plain": null})");
  const Value& root = doc->root();
  ASSERT_NE(root.find("b\tc"), nullptr);
  EXPECT_EQ(root.find("b\tc")->number_text(), "8");
  EXPECT_EQ(root.string_member("\xC3\xA8"), "x");
  ASSERT_NE(root.find("plain"), nullptr);
  EXPECT_TRUE(root.find("plain")->is_null());
  EXPECT_EQ(root.find("missing"), nullptr);
  EXPECT_FALSE(root.string_member("plain").has_value());
}

TEST(JsonReader, PaddedViewsIntoOneBufferReadEachLine) {
  // Lines of one buffer; the bytes after each view belong to the next line.
  const std::string buffer = "{\"a\":\"x\"}\n[\"y\"\n{\"b\":2}\n" + std::string(64, '\0');
  const std::string_view all(buffer);
  const auto first = parse_padded(all.substr(0, 9));
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ((*first)->root().string_member("a"), "x");
  const auto second = parse_padded(all.substr(10, 4));
  ASSERT_FALSE(second.has_value());
  const auto third = parse_padded(all.substr(15, 7));
  ASSERT_TRUE(third.has_value());
  EXPECT_EQ(write_compact((*third)->root()), "{\"b\":2}");

  // A quote in the bytes after the view does not end a string inside it.
  const std::string cut = "{\"a\":\"x\"}" + std::string(64, '"');
  for (std::size_t n = 0; n < 9; ++n) {
    SCOPED_TRACE(n);
    EXPECT_FALSE(parse_padded(std::string_view(cut).substr(0, n)).has_value());
  }
  const std::string long_value = "[\"" + std::string(40, 'v') + "\"]" + std::string(64, '"');
  const auto truncated = parse_padded(std::string_view(long_value).substr(0, 30));
  ASSERT_FALSE(truncated.has_value());
  EXPECT_EQ(truncated.error(), "unterminated string at line 1 column 2 (byte 1)");
  const auto whole = parse_padded(std::string_view(long_value).substr(0, 44));
  ASSERT_TRUE(whole.has_value());
  EXPECT_EQ(whole.value()->root().items()[0].as_string(), std::string(40, 'v'));
}

TEST(JsonReader, RecordsOutliveTheirText) {
  Record doc;
  {
    std::string text = R"({"s":"some text","n":[1.5,"\u00e9"],"o":{"k":"v"}})";
    doc = parse_ok(text);
    text.assign(text.size(), 'X');
  }
  EXPECT_EQ(write_compact(doc->root()),
            "{\"s\":\"some text\",\"n\":[1.5,\"\xC3\xA9\"],\"o\":{\"k\":\"v\"}}");
}

// A governance-like record of about 1 KB.
std::string typical_record() {
  return R"({"record_type": "mediated_decision", "timestamp_utc": "2026-03-01T08:15:07Z", )"
         R"("session_id": "sess-7f3a9c", "request_id": "req-000123", "process_id": 4001, )"
         R"("policy_decision": "ALLOW", "original_tool": "read_file", )"
         R"("classification": {"category": "read", "confidence_tier": "high", )"
         R"("negative_constraint_match": false}, "matched_rule": "r-read", )"
         R"("decision_latency_ms": 12.5, "policy_reasons": [{"code": "N4", "message": )"
         R"("egress to \"dmz\" allowed\n"}], "tool_args_redacted": {"path": "\/tmp\/report.txt", )"
         R"("url": "https:\/\/example.org\/a?b=c"}, "policy_inputs": {"canonical_path": )"
         R"("\/tmp\/report.txt", "allow_base_dirs": ["\/tmp", "\/var\/data"], "zone": "dmz"}, )"
         R"("note": "caf\u00e9 \u2603", )"
         R"("prev_record_hash": "sha256:10e068f2a0f71d04c46bda27fbb5620a853680c95da3f2665671b78e54cbe59b", )"
         R"("record_hash": "sha256:f1c0bda93557b0bfab57598dd4a8739dec78712932248d8da16ac279a4d20873", )"
         R"("signature": "L7fACvaazSKsXrNV4EpoiGYreaPUgU9GtNji4eHI3Zkmn0-_AftwjbaoU1HQVtym-vtfOvdKdVSi1GqIy2EaDg", )"
         R"("signing_key_id": "ed25519:5540ee3de4e095226605c3e8a8cf2697a01a140d8f1e45f5914fc8c4fed57b74"})";
}

TEST(JsonReader, RecordMemoryStaysWithinTwiceItsText) {
  const std::string text = typical_record();
  ASSERT_GT(text.size(), 900u);
  const Record doc = parse_ok(text);
  // The arena plus the shared control block and Document in the same allocation.
  const std::size_t held = doc->memory_bytes() + sizeof(Document) + 32;
  EXPECT_LE(held, 2 * text.size()) << "arena " << doc->memory_bytes() << " for " << text.size();
}

}  // namespace
}  // namespace telmir::json
