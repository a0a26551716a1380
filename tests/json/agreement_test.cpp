#include <gtest/gtest.h>
#include <simdjson.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "json/value.h"

namespace telmir::json {
namespace {

// Random edits of small valid documents, judged by the reader, the validator and simdjson's
// strict DOM parser. Only numbers simdjson cannot hold as a binary value (1e400, 2^70) may
// differ: this reader keeps number texts.
TEST(JsonReaderAgreement, MutatedInputsAreJudgedAlikeByReaderValidatorAndReference) {
  const std::vector<std::string> seeds = {
      R"({"a":[1,2.5e-3,-0,true,false,null,"x\"\\\/\b\f\n\r\t\u00e9\uD83D\uDE00"],"b":{"c":{}},"d":[]})",
      R"([0.1e+10, -12, "caf\u00e9 \u2603", {"k": "v", "k2": [[], {}]}, 1E5])",
      "{\"\xC3\xA9\": \"\xE2\x82\xAC\xF0\x9F\x98\x80\", \"n\": 12345, \"s\": \"a long string "
      "crossing blocks\"}",
  };
  const std::string alphabet = std::string(
      "{}[]:,\"\\/ubfnrt0123456789eE+-.aAdDfF \t\n\r\x01\x7f\x80\xC3\xA9\xED\xF0\xF4\xFF");
  std::mt19937_64 rng(42);
  simdjson::dom::parser reference;
  int accepted = 0;
  for (int iter = 0; iter < 20000; ++iter) {
    std::string text = seeds[rng() % seeds.size()];
    const int edits = 1 + static_cast<int>(rng() % 3);
    for (int e = 0; e < edits; ++e) {
      const std::size_t pos = rng() % (text.size() + 1);
      const char c = alphabet[rng() % alphabet.size()];
      switch (rng() % 3) {
        case 0:
          if (pos < text.size()) text[pos] = c;
          break;
        case 1:
          text.insert(text.begin() + static_cast<std::ptrdiff_t>(pos), c);
          break;
        default:
          if (pos < text.size()) text.erase(pos, 1);
      }
    }
    SCOPED_TRACE(text);
    const auto parsed = parse(text);
    const auto checked = validate(text);
    ASSERT_EQ(parsed.has_value(), checked.has_value());
    if (!parsed) {
      ASSERT_EQ(parsed.error(), checked.error());
    } else {
      ++accepted;
    }
    const auto theirs = reference.parse(text);
    if (parsed.has_value() && theirs.error() == simdjson::NUMBER_ERROR) continue;
    ASSERT_EQ(parsed.has_value(), !theirs.error())
        << (parsed ? simdjson::error_message(theirs.error()) : parsed.error());
  }
  // The edits leave a fair share of valid documents, so both sides are exercised.
  EXPECT_GT(accepted, 1000);
}

}  // namespace
}  // namespace telmir::json
