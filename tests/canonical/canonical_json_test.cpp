#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "canonical/canonical.h"

namespace telmir::canonical {
namespace {

// Canonical text of a value read from `text`; the error message on failure.
std::string render(std::string_view text) {
  Result<json::Record> doc = json::parse(text);
  if (!doc) return "parse error: " + doc.error();
  Result<std::string> out = canonical_json((*doc)->root());
  return out ? *out : "error: " + out.error();
}

TEST(CanonicalJson, SortsKeysEscapesStringsAndRewritesNumbers) {
  const std::string input =
      R"({"b":1,"a":[true,null,"x\ny","\u001f\u007f/"],"c":{"é":1.50,"Z":-0,"aa":1E2,"a":{}}})";
  const std::string expected =
      "{\"a\":[true,null,\"x\\ny\",\"\\u001f\x7f/\"],\"b\":1,"
      "\"c\":{\"Z\":0,\"a\":{},\"aa\":100.0,\"\xc3\xa9\":1.5}}";
  EXPECT_EQ(render(input), expected);
  EXPECT_EQ(sha256_digest(expected),
            "sha256:2e9d361bcfdcbb307da91a390657f62449bccff1344cad5084c97538a5da854a");
}

TEST(CanonicalJson, NumbersFollowTheirIntegerOrFloatLayout) {
  struct Case {
    const char* text;
    const char* canonical;
  };
  const Case cases[] = {
      {"0", "0"},
      {"-0", "0"},
      {"9223372036854775808", "9223372036854775808"},
      {"18446744073709551616", "18446744073709551616"},
      {"1.0", "1.0"},
      {"-0.0", "-0.0"},
      {"0.1", "0.1"},
      {"1e15", "1000000000000000.0"},
      {"1e16", "1e+16"},
      {"1e-5", "0.00001"},
      {"0.000001", "1e-06"},
      {"1.5e-7", "1.5e-07"},
      {"123456.789e3", "123456789.0"},
      // The 64-bit boundaries and one beyond each.
      {"-9223372036854775808", "-9223372036854775808"},
      {"18446744073709551615", "18446744073709551615"},
      {"-9223372036854775809", "-9223372036854775809"},
      {"123456789012345678901234567890", "123456789012345678901234567890"},
      {"-18446744073709551615", "-18446744073709551615"},
      // Floats stay floats, however they were written.
      {"3.0", "3.0"},
      {"1.50", "1.5"},
      {"1E2", "100.0"},
      {"1E+2", "100.0"},
      {"-1.5", "-1.5"},
      {"12.34", "12.34"},
      {"0.001234", "0.001234"},
      {"5e-324", "5e-324"},
      {"1.7976931348623157e308", "1.7976931348623157e+308"},
      {"1e100", "1e+100"},
      {"1.8446744073709552e19", "1.8446744073709552e+19"},
      {"1e-400", "0.0"},  // underflow is zero, not an error
      {"-1e-400", "-0.0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(render(c.text), c.canonical);
  }
}

TEST(CanonicalJson, NumberBeyondDoubleRangeFailsTheWholeRendering) {
  for (const char* text : {"1e400", "-1e400", R"({"a":[1,{"b":[1.5,1e400]}],"z":2})"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(render(text), "error: unsupported JSON number");
  }
}

TEST(CanonicalJson, FailedAppendLeavesTheBufferAsItWas) {
  Result<json::Record> doc = json::parse(R"({"a":"long enough text","b":1e999})");
  ASSERT_TRUE(doc.has_value()) << doc.error();
  std::string out = "prefix";
  const Result<void> r = append_canonical_json((*doc)->root(), out);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), "unsupported JSON number");
  EXPECT_EQ(out, "prefix");
}

TEST(CanonicalJson, AppendAddsAfterExistingBytes) {
  Result<json::Record> doc = json::parse(R"({"b":[],"a":{}})");
  ASSERT_TRUE(doc.has_value()) << doc.error();
  std::string out = "x";
  ASSERT_TRUE(append_canonical_json((*doc)->root(), out).has_value());
  EXPECT_EQ(out, R"(x{"a":{},"b":[]})");
}

TEST(CanonicalJson, KeysSortByUnsignedUtf8Bytes) {
  EXPECT_EQ(render(R"({"b":0,"B":0,"é":0,"a":0})"), "{\"B\":0,\"a\":0,\"b\":0,\"\xc3\xa9\":0}");
  // Code point order, not UTF-16 order: U+FFFF before U+10000; a prefix comes first.
  EXPECT_EQ(render(R"({"\ud800\udc00":0,"\uffff":0,"é":0,"b":0,"aa":0,"a":0,"_x":0,"Z":0,"A":0})"),
            "{\"A\":0,\"Z\":0,\"_x\":0,\"a\":0,\"aa\":0,\"b\":0,\"\xc3\xa9\":0,"
            "\"\xef\xbf\xbf\":0,\"\xf0\x90\x80\x80\":0}");
}

TEST(CanonicalJson, NestedObjectsSortIndependentlyOfTheirParents) {
  EXPECT_EQ(render(R"({"z":{"y":1,"x":{"b":2,"a":1}},"m":[{"d":1,"c":2}],"a":0})"),
            R"({"a":0,"m":[{"c":2,"d":1}],"z":{"x":{"a":1,"b":2},"y":1}})");
}

TEST(CanonicalJson, StringsAndKeysShareTheEscapes) {
  EXPECT_EQ(render(R"({"k\ney":"\"\\\b\t\n\f\r\u0000\u0001\u001F\u007f/é€😀"})"),
            "{\"k\\ney\":\"\\\"\\\\\\b\\t\\n\\f\\r\\u0000\\u0001\\u001f\x7f/"
            "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"}");
}

// Byte-at-a-time reference for the string escapes.
std::string escaped_reference(std::string_view s) {
  std::string out = "\"";
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (c < 0x20) {
          constexpr char hex[] = "0123456789abcdef";
          out += "\\u00";
          out += hex[c >> 4];
          out += hex[c & 0xF];
        } else {
          out += ch;
        }
    }
  }
  return out + "\"";
}

TEST(CanonicalJson, EveryAsciiByteIsEscapedCorrectlyAtEveryAlignment) {
  std::string all;
  for (int c = 0; c < 0x80; ++c) all += static_cast<char>(c);
  all += "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80 tail without escapes";
  for (std::size_t shift = 0; shift < 16; ++shift) {
    SCOPED_TRACE(shift);
    const std::string text = std::string(shift, 'a') + all + std::string(shift, '"');
    const Result<std::string> out = canonical_json(json::Node(text));
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(*out, escaped_reference(text));
  }
}

TEST(CanonicalJson, EmptyContainersKeepTheirPlaces) {
  EXPECT_EQ(render("{}"), "{}");
  EXPECT_EQ(render("[]"), "[]");
  EXPECT_EQ(render(R"({"b":[[],{}],"a":{"c":{}}})"), R"({"a":{"c":{}},"b":[[],{}]})");
}

TEST(CanonicalJson, WhiteSpaceAndKeyOrderOfTheInputDoNotMatter) {
  const std::string canonical = R"({"a":[1,2.5,"s"],"b":{"c":null,"d":true}})";
  const std::string loose =
      "{ \"b\" : {\n  \"d\" : true ,\"c\":null } ,\r\n\t\"a\":[ 1 , 2.50, \"s\" ] }";
  EXPECT_EQ(render(loose), canonical);
  EXPECT_EQ(render(canonical), canonical);
}

TEST(CanonicalJson, BuiltNodesRenderLikeReadValues) {
  json::Node node = json::Node::object();
  node.set("sequence", json::Node::from_u64(std::numeric_limits<std::uint64_t>::max()));
  node.set("score", json::Node::from_double(3.0));
  node.set("ratio", json::Node::from_double(1e16));
  node.set("offset", json::Node::from_i64(-5));
  node.set("tag", "a\tb");
  node.set("list", json::Node::array({json::Node(true), json::Node(nullptr)}));
  const Result<std::string> out = canonical_json(node);
  ASSERT_TRUE(out.has_value()) << out.error();
  EXPECT_EQ(*out, R"({"list":[true,null],"offset":-5,"ratio":1e+16,"score":3.0,)"
                  R"("sequence":18446744073709551615,"tag":"a\tb"})");
}

TEST(CanonicalJson, BuiltNonFiniteDoubleIsRefused) {
  json::Node node = json::Node::object();
  node.set("x", json::Node::from_double(std::numeric_limits<double>::infinity()));
  const Result<std::string> out = canonical_json(node);
  ASSERT_FALSE(out.has_value());
  EXPECT_EQ(out.error(), "unsupported JSON number");
}

TEST(Sha256Digest, IsPrefixedLowerCaseHexOfSeventyOneCharacters) {
  const std::string d = sha256_digest("{}");
  EXPECT_EQ(d, "sha256:44136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a");
  EXPECT_EQ(sha256_digest(""),
            "sha256:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  for (const std::string& s : {d, sha256_digest(std::string(1000, '\xff'))}) {
    ASSERT_EQ(s.size(), 71u);
    for (char c : s.substr(7)) EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) << s;
  }
}

}  // namespace
}  // namespace telmir::canonical
