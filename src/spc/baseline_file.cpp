#include <fmt/format.h>
#include <simdjson.h>

#include <cmath>

#include "canonical/canonical.h"
#include "json/number.h"
#include "spc/spc.h"

namespace telmir::spc {
namespace {

std::string json_string(std::string_view s) {
  auto text = canonical::canonical_json(json::Node(s));
  return text ? *text : std::string("\"\"");
}

// The shortest round-trip layout, with the exponent written without leading zeros.
std::string number(double v) {
  if (!std::isfinite(v)) return "null";
  std::string s = json::format_double(v);
  const auto e = s.find('e');
  if (e == std::string::npos || e + 2 >= s.size()) return s;
  std::size_t first = e + 2;  // after "e+" / "e-"
  std::size_t end = first;
  while (end + 1 < s.size() && s[end] == '0') ++end;
  s.erase(first, end - first);
  return s;
}

using Dom = simdjson::dom::element;

Result<std::string> text_field(Dom v, std::string_view name) {
  std::string_view s;
  if (v.get_string().get(s) != simdjson::SUCCESS)
    return fail(fmt::format("{} is not a string", name));
  return std::string(s);
}

Result<double> double_field(Dom v, std::string_view name) {
  double d = 0;
  switch (v.type()) {
    case simdjson::dom::element_type::INT64:
      d = static_cast<double>(v.get_int64().value_unsafe());
      break;
    case simdjson::dom::element_type::UINT64:
      d = static_cast<double>(v.get_uint64().value_unsafe());
      break;
    case simdjson::dom::element_type::DOUBLE:
      d = v.get_double().value_unsafe();
      break;
    default:
      return fail(fmt::format("{} is not a number", name));
  }
  return d;
}

Result<std::uint64_t> count_field(Dom v) {
  switch (v.type()) {
    case simdjson::dom::element_type::UINT64:
      return v.get_uint64().value_unsafe();
    case simdjson::dom::element_type::INT64: {
      const std::int64_t i = v.get_int64().value_unsafe();
      if (i >= 0) return static_cast<std::uint64_t>(i);
      break;
    }
    default:
      break;
  }
  return fail("samples is not a non-negative 64-bit integer");
}

// Field values in table order: metric_id, metric_name, center_line, stddev, ucl, lcl, samples,
// window.
Result<SpcBaseline> baseline_from(const std::array<Dom, 8>& f) {
  SpcBaseline b;
  auto id = text_field(f[0], "metric_id");
  if (!id) return fail(id.error());
  auto name = text_field(f[1], "metric_name");
  if (!name) return fail(name.error());
  double* doubles[] = {&b.center_line, &b.stddev, &b.ucl, &b.lcl};
  constexpr std::string_view kDoubleNames[] = {"center_line", "stddev", "ucl", "lcl"};
  for (int i = 0; i < 4; ++i) {
    auto d = double_field(f[2 + i], kDoubleNames[i]);
    if (!d) return fail(d.error());
    *doubles[i] = *d;
  }
  auto samples = count_field(f[6]);
  if (!samples) return fail(samples.error());
  auto window = text_field(f[7], "window");
  if (!window) return fail(window.error());
  b.metric_id = std::move(*id);
  b.metric_name = std::move(*name);
  b.samples = *samples;
  b.window = std::move(*window);
  return b;
}

Result<SpcBaseline> parse_baseline(Dom v) {
  constexpr std::string_view kOrder[] = {"metric_id", "metric_name", "center_line", "stddev",
                                         "ucl",       "lcl",         "samples",     "window"};
  std::array<Dom, 8> fields;
  simdjson::dom::array arr;
  if (v.get_array().get(arr) == simdjson::SUCCESS) {
    if (arr.size() != 8) return fail("a baseline array holds eight values");
    std::size_t i = 0;
    for (Dom item : arr) fields[i++] = item;
    return baseline_from(fields);
  }
  simdjson::dom::object obj;
  if (v.get_object().get(obj) != simdjson::SUCCESS) return fail("a baseline is an object");
  std::array<bool, 8> seen{};
  for (auto [key, value] : obj) {
    for (std::size_t i = 0; i < 8; ++i) {
      if (key != kOrder[i]) continue;
      if (seen[i]) return fail(fmt::format("field {} given twice", key));
      seen[i] = true;
      fields[i] = value;
    }
  }
  for (std::size_t i = 0; i < 8; ++i) {
    if (!seen[i]) return fail(fmt::format("missing field {}", kOrder[i]));
  }
  return baseline_from(fields);
}

}  // namespace

std::string render_baselines(const SpcBaselines& baselines) {
  if (baselines.empty()) return "{}";
  std::string out = "{";
  bool first = true;
  for (const auto& [key, b] : baselines) {
    out += first ? "\n" : ",\n";
    first = false;
    out += "  " + json_string(key) + ": {\n";
    out += "    \"metric_id\": " + json_string(b.metric_id) + ",\n";
    out += "    \"metric_name\": " + json_string(b.metric_name) + ",\n";
    out += "    \"center_line\": " + number(b.center_line) + ",\n";
    out += "    \"stddev\": " + number(b.stddev) + ",\n";
    out += "    \"ucl\": " + number(b.ucl) + ",\n";
    out += "    \"lcl\": " + number(b.lcl) + ",\n";
    out += "    \"samples\": " + fmt::format("{}", b.samples) + ",\n";
    out += "    \"window\": " + json_string(b.window) + "\n  }";
  }
  out += "\n}";
  return out;
}

Result<SpcBaselines> parse_baselines(std::string_view text) {
  simdjson::dom::parser parser;
  Dom root;
  if (auto err = parser.parse(text.data(), text.size(), true).get(root); err) {
    return fail(simdjson::error_message(err));
  }
  simdjson::dom::object obj;
  if (root.get_object().get(obj) != simdjson::SUCCESS) return fail("baselines are an object");
  SpcBaselines out;
  for (auto [key, value] : obj) {
    auto b = parse_baseline(value);
    if (!b) return fail(fmt::format("{}: {}", key, b.error()));
    // A repeated metric key keeps its last baseline, as the JSON reader does.
    out.insert_or_assign(std::string(key), std::move(*b));
  }
  return out;
}

}  // namespace telmir::spc
