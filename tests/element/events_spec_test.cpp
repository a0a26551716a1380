// Reading the chain events specification: only `elements`, `event` and `required` count; tags
// are ignored; plain scalars follow the YAML 1.2 core schema; malformed text means no events.

#include <gtest/gtest.h>

#include <string>

#include "element/element.h"

namespace telmir::element {
namespace {

TEST(ChainEventsSpec, StringsFollowTheCoreSchemaAndQuotingAlwaysMakesAString) {
  struct Case {
    const char* name;
    const char* yaml;
    ChainEventsSpec expected;
  } cases[] = {
      {"required fields are kept in byte order",
       "elements:\n  - event: x\n    required: [b, a, B]\n",
       {{"x", {"B", "a", "b"}}}},
      {"plain null, booleans and numbers are not strings",
       "elements:\n  - event: e\n    required: [~, null, '', true, False, 12, -3, 0x1F, 0o7, 1.5, "
       ".5,"
       " 1e3, .inf, -.Inf, .NaN, \"7\", 'true', yes, 1.2.3, 0x, +, ok]\n",
       {{"e", {"", "1.2.3", "+", "0x", "7", "ok", "true", "yes"}}}},
      {"an event that is not a string is ignored",
       "elements:\n  - event: 5\n    required: [a]\n  - event: \"5\"\n    required: [b]\n"
       "  - event: null\n  - event: [x]\n  - required: [c]\n  - just text\n",
       {{"5", {"b"}}}},
      {"tags are ignored and the tagged value is used",
       "elements:\n  - event: !!str 123\n  - event: !custom \"abc\"\n    required: [!x 'q', !!str "
       "4, !t r]\n",
       {{"abc", {"q", "r"}}}},
      {"block scalars are strings",
       "elements:\n  - event: |-\n      12\n    required:\n      - >-\n        true\n",
       {{"12", {"true"}}}},
      {"required that is not a sequence means no fields",
       "elements:\n  - event: x\n    required: a\n  - event: y\n    required: {a: 1}\n",
       {{"x", {}}, {"y", {}}}},
      {"a later entry for the same event replaces the earlier",
       "elements:\n  - event: x\n    required: [a, b]\n  - event: x\n    required: [c]\n",
       {{"x", {"c"}}}},
      {"other keys are ignored",
       "version: 1\nelements:\n  - event: x\n    required: [a]\n    optional: [z]\nnotes: {a: b}\n",
       {{"x", {"a"}}}},
      {"anchors and aliases are followed",
       "common: &req [a, b]\nelements:\n  - event: x\n    required: *req\n",
       {{"x", {"a", "b"}}}},
      {"elements that is not a sequence", "elements: {event: x}\n", {}},
      {"a document that is not a mapping", "- event: x\n", {}},
      {"no document at all", "# nothing here\n", {}},
      {"two documents", "elements:\n  - event: x\n---\nelements:\n  - event: y\n", {}},
      {"text that is not YAML", "elements: [ {event: x\n", {}},
      {"a repeated key", "elements:\n  - event: x\nelements:\n  - event: y\n", {}},
      {"a repeated key in an entry", "elements:\n  - event: x\n    event: y\n", {}},
      {"invalid UTF-8", "elements:\n  - event: \xff\n", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(parse_chain_events_spec(c.yaml), c.expected);
  }
}

}  // namespace
}  // namespace telmir::element
