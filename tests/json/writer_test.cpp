#include <gtest/gtest.h>

#include <string>

#include "json/value.h"

namespace telmir::json {
namespace {

Record parse_ok(std::string_view text) {
  auto r = parse(text);
  EXPECT_TRUE(r.has_value()) << (r ? "" : r.error());
  return r ? *r : freeze(Node());
}

TEST(JsonWriter, CompactKeepsOrderTextAndEscapesLikeTheCanonicalForm) {
  struct Case {
    std::string input;
    std::string compact;
  };
  const Case cases[] = {
      {" { \"b\" : 1 , \"a\" : [ true , null , false ] } ", R"({"b":1,"a":[true,null,false]})"},
      {"[1.50, -0, 1E2, 1e400]", "[1.50,-0,1E2,1e400]"},
      {R"("\"\\\b\t\n\f\r")", R"("\"\\\b\t\n\f\r")"},
      {R"("\u0000\u0001\u001f\u001F\u000b")", R"("\u0000\u0001\u001f\u001f\u000b")"},
      {R"("\u007f\/\u00e9\u2028")", "\"\x7F/\xC3\xA9\xE2\x80\xA8\""},
      {R"({"key\nwith\"quote":{}})", R"({"key\nwith\"quote":{}})"},
      {"[[],{},[[]],{\"a\":[]}]", "[[],{},[[]],{\"a\":[]}]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(write_compact(parse_ok(c.input)->root()), c.compact);
  }
}

TEST(JsonWriter, CompactOutputReadsBackToTheSameValue) {
  const std::string text =
      R"({"a":"x\u0001\"\\y","b":[1,{"c":null}],"\u00e9":"\ud83d\ude00","d":-1.5e-3})";
  const std::string once = write_compact(parse_ok(text)->root());
  EXPECT_EQ(write_compact(parse_ok(once)->root()), once);
}

TEST(JsonWriter, PrettyIndentsByTwoSpaces) {
  const Record doc = parse_ok(R"({"a":1,"b":[1,{"c":"x\n"}],"e":{},"f":[]})");
  EXPECT_EQ(write_pretty(doc->root()),
            "{\n"
            "  \"a\": 1,\n"
            "  \"b\": [\n"
            "    1,\n"
            "    {\n"
            "      \"c\": \"x\\n\"\n"
            "    }\n"
            "  ],\n"
            "  \"e\": {},\n"
            "  \"f\": []\n"
            "}");
  EXPECT_EQ(write_pretty(parse_ok("[]")->root()), "[]");
  EXPECT_EQ(write_pretty(parse_ok("\"s\"")->root()), "\"s\"");
}

TEST(JsonNode, SetReplacesInPlaceAndAppendsNewKeys) {
  Node n = Node::object();
  n.set("a", Node::from_u64(1)).set("b", "text").set("a", Node::array());
  n.find("a")->push(true).push(nullptr);
  EXPECT_EQ(write_compact(freeze(n)->root()), R"({"a":[true,null],"b":"text"})");
  EXPECT_EQ(n.find("missing"), nullptr);
}

TEST(JsonNode, NullNodeBecomesContainerOnFirstUse) {
  Node object;
  object.set("k", false);
  Node array;
  array.push(std::string("x"));
  EXPECT_EQ(write_compact(freeze(object)->root()), R"({"k":false})");
  EXPECT_EQ(write_compact(freeze(array)->root()), R"(["x"])");
}

TEST(JsonNode, NumbersRenderFromTheirConstructors) {
  Node n = Node::array({Node::from_u64(18446744073709551615ull),
                        Node::from_i64(-9223372036854775807ll - 1), Node::from_double(3.0),
                        Node::from_double(1e16), Node::from_double(1.5e-7), Node::from_double(-0.0),
                        Node::number_text("1.50")});
  EXPECT_EQ(write_compact(freeze(n)->root()),
            "[18446744073709551615,-9223372036854775808,3.0,1e+16,1.5e-07,-0.0,1.50]");
}

TEST(JsonNode, FreezeKeepsFirstPositionLastValueForRepeatedMembers) {
  // Members edited directly can repeat a key; the frozen record still has unique keys.
  Node n = Node::object({{"a", Node("first")}, {"b", Node(true)}, {"a", Node("last")}});
  const Record doc = freeze(n);
  EXPECT_EQ(write_compact(doc->root()), R"({"a":"last","b":true})");
}

TEST(JsonNode, FromValueCopiesDeeplyAndFreezesToTheSameText) {
  const std::string text = R"({"x":[1.50,"\u00e9",{"y":null}],"z":false,"w":{}})";
  Node copy;
  {
    const Record doc = parse_ok(text);
    copy = Node::from_value(doc->root());
  }
  copy.set("added", Node::from_u64(7));
  EXPECT_EQ(write_compact(freeze(copy)->root()),
            "{\"x\":[1.50,\"\xC3\xA9\",{\"y\":null}],\"z\":false,\"w\":{},\"added\":7}");
}

TEST(JsonNode, FrozenStringsMayHoldAnyBytesAndEscapeOnOutput) {
  Node n;
  n.set("s", std::string("a\0b\x1f\x7f", 5));
  EXPECT_EQ(write_compact(freeze(n)->root()), "{\"s\":\"a\\u0000b\\u001f\x7f\"}");
}

}  // namespace
}  // namespace telmir::json
