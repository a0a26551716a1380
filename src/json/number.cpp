#include "json/number.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "fast_float/fast_float.h"

namespace telmir::json {

namespace {

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

}  // namespace

bool is_json_number(std::string_view text) noexcept {
  const char* p = text.data();
  const char* end = p + text.size();
  if (p != end && *p == '-') ++p;
  if (p == end) return false;
  if (*p == '0') {
    ++p;
  } else if (*p >= '1' && *p <= '9') {
    while (p != end && is_digit(*p)) ++p;
  } else {
    return false;
  }
  if (p != end && *p == '.') {
    ++p;
    if (p == end || !is_digit(*p)) return false;
    while (p != end && is_digit(*p)) ++p;
  }
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p != end && (*p == '+' || *p == '-')) ++p;
    if (p == end || !is_digit(*p)) return false;
    while (p != end && is_digit(*p)) ++p;
  }
  return p == end;
}

std::optional<double> parse_double(std::string_view text) noexcept {
  if (!is_json_number(text)) return std::nullopt;
  double value = 0;
  const char* end = text.data() + text.size();
  auto r = fast_float::from_chars(text.data(), end, value);
  if (r.ptr != end) return std::nullopt;
  if (r.ec == std::errc::result_out_of_range) {
    // Newer fast_float versions flag the range instead of returning the limit.
    const bool negative = text.front() == '-';
    std::size_t e = text.find_first_of("eE");
    const bool tiny = e != std::string_view::npos && text[e + 1] == '-';
    value = tiny ? 0.0 : HUGE_VAL;
    if (negative) value = -value;
  } else if (r.ec != std::errc()) {
    return std::nullopt;
  }
  return value;
}

std::string format_double(double value) {
  if (!std::isfinite(value)) return "1e999";
  if (value == 0) return std::signbit(value) ? "-0.0" : "0.0";

  // Scientific form gives the fewest digits: d1[.d2..dL]e(+|-)NN, value = d1.d2..dL x 10^E.
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(value), std::chars_format::scientific);
  const char* p = buf;
  const char* end = r.ptr;
  char digits[32];
  int n = 0;
  while (p != end && *p != 'e') {
    if (*p != '.') digits[n++] = *p;
    ++p;
  }
  int exp10 = 0;
  std::from_chars(p + 1 + (p[1] == '+' ? 1 : 0), end, exp10);
  const int len = n;
  const int k = exp10 + 1;

  std::string out;
  out.reserve(32);
  if (std::signbit(value)) out.push_back('-');
  if (len <= k && k <= 16) {
    out.append(digits, static_cast<std::size_t>(len));
    out.append(static_cast<std::size_t>(k - len), '0');
    out.append(".0");
  } else if (0 < k && k <= 16) {
    out.append(digits, static_cast<std::size_t>(k));
    out.push_back('.');
    out.append(digits + k, static_cast<std::size_t>(len - k));
  } else if (-5 < k && k <= 0) {
    out.append("0.");
    out.append(static_cast<std::size_t>(-k), '0');
    out.append(digits, static_cast<std::size_t>(len));
  } else {
    out.push_back(digits[0]);
    if (len > 1) {
      out.push_back('.');
      out.append(digits + 1, static_cast<std::size_t>(len - 1));
    }
    out.push_back('e');
    const int e = k - 1;
    out.push_back(e < 0 ? '-' : '+');
    const int a = e < 0 ? -e : e;
    if (a < 10) out.push_back('0');
    out.append(std::to_string(a));
  }
  return out;
}

}  // namespace telmir::json
