#pragma once

// The canonical byte form of a JSON value, over which every hash and signature is computed and
// in which every QA chain line is written: no white space, object keys in ascending order of
// their UTF-8 bytes, fixed string escapes and fixed number layouts.

#include <string>
#include <string_view>

#include "json/value.h"
#include "platform/result.h"

namespace telmir::canonical {

// The one error of the canonical form: a number with a fraction or exponent that is not a
// finite double (1e400), or a number text outside the JSON grammar.
inline constexpr std::string_view kUnsupportedNumber = "unsupported JSON number";

// The canonical text (no trailing newline). Fails only with kUnsupportedNumber.
Result<std::string> canonical_json(const json::Value& value);
Result<std::string> canonical_json(const json::Node& node);

// Appends the canonical text to `out` (for callers that build a line in one buffer). On failure
// `out` is left as it was.
Result<void> append_canonical_json(const json::Value& value, std::string& out);

// "sha256:" and 64 lower-case hexadecimal digits of SHA-256 over the bytes (71 characters).
std::string sha256_digest(std::string_view bytes);

}  // namespace telmir::canonical
