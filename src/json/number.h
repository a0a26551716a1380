#pragma once

// JSON number texts: the grammar, reading as a double and the shortest round-trip layout used
// by the canonical form and by doubles the program writes itself.

#include <optional>
#include <string>
#include <string_view>

namespace telmir::json {

// -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?  and nothing else.
bool is_json_number(std::string_view text) noexcept;

// The nearest double to a text of the JSON number grammar; nothing when the text is outside the
// grammar. Out-of-range magnitudes give an infinite result (or zero for underflow): the caller
// checks finiteness.
std::optional<double> parse_double(std::string_view text) noexcept;

// Shortest round-trip digits d1..dL with the value 0.d1..dL x 10^K, laid out as
//   zero:                       "0.0" / "-0.0"
//   L <= K <= 16:               digits, K-L zeros, ".0"       (123.0, 1000000000000000.0)
//   0 < K <= 16:                first K digits "." the rest   (12.34)
//   -5 < K <= 0:                "0." -K zeros then digits     (0.00001)
//   otherwise:                  d1[.d2..dL]e(+|-)|K-1| with at least two exponent digits
//                               (1e+16, 1.5e-07, 5e-324)
// with "-" in front of negative values. Non-finite input gives "1e999" (never a valid double,
// so the canonical writer refuses it).
std::string format_double(double value);

}  // namespace telmir::json
