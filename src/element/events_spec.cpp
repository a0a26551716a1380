// The chain events specification: a YAML document whose top-level `elements` sequence names,
// per event type, the fields its records must contain. Anything that does not fit counts as no
// event types; the run goes on without them.

#include <yaml-cpp/yaml.h>

#include <cstddef>
#include <exception>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "element/element.h"
#include "platform/text.h"

namespace telmir::element {
namespace {

bool all_of(std::string_view s, std::string_view allowed) {
  return !s.empty() && s.find_first_not_of(allowed) == std::string_view::npos;
}

constexpr std::string_view kDigits = "0123456789";

// [-+]? ( \. [0-9]+ | [0-9]+ ( \. [0-9]* )? ) ( [eE] [-+]? [0-9]+ )?
bool is_core_float(std::string_view s) {
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) s.remove_prefix(1);
  std::size_t exponent = s.find_first_of("eE");
  std::string_view mantissa = s.substr(0, exponent);
  if (exponent != std::string_view::npos) {
    std::string_view e = s.substr(exponent + 1);
    if (!e.empty() && (e[0] == '-' || e[0] == '+')) e.remove_prefix(1);
    if (!all_of(e, kDigits)) return false;
  }
  std::size_t dot = mantissa.find('.');
  if (dot == std::string_view::npos) return all_of(mantissa, kDigits);
  std::string_view whole = mantissa.substr(0, dot);
  std::string_view fraction = mantissa.substr(dot + 1);
  if (whole.empty()) return all_of(fraction, kDigits);
  return all_of(whole, kDigits) && (fraction.empty() || all_of(fraction, kDigits));
}

// What the YAML 1.2 core schema makes of a plain scalar other than a string.
bool resolves_to_non_string(std::string_view s) {
  for (std::string_view word : {"", "~", "null", "Null", "NULL", "true", "True", "TRUE", "false",
                                "False", "FALSE", ".nan", ".NaN", ".NAN"}) {
    if (s == word) return true;
  }
  std::string_view unsigned_part = s;
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) unsigned_part.remove_prefix(1);
  for (std::string_view inf : {".inf", ".Inf", ".INF"}) {
    if (unsigned_part == inf) return true;
  }
  if (all_of(unsigned_part, kDigits)) return true;
  if (s.starts_with("0o") && all_of(s.substr(2), "01234567")) return true;
  if (s.starts_with("0x") && all_of(s.substr(2), "0123456789abcdefABCDEF")) return true;
  return is_core_float(s);
}

// For a scalar with an explicit tag the tag says nothing about quoting, so look at the source:
// past the node's anchor and tag, a quote opens a quoted scalar.
bool written_quoted(const YAML::Node& node, std::string_view source) {
  std::size_t pos = static_cast<std::size_t>(node.Mark().pos);
  if (node.Mark().pos < 0) return false;
  while (pos < source.size()) {
    char c = source[pos];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      ++pos;
    } else if (c == '!' || c == '&') {
      while (pos < source.size() && source[pos] != ' ' && source[pos] != '\t' &&
             source[pos] != '\r' && source[pos] != '\n') {
        ++pos;
      }
    } else {
      return c == '"' || c == '\'';
    }
  }
  return false;
}

// The node's text when it is a string: tags are ignored, a quoted (or block) scalar is always a
// string, a plain one only when the core schema does not resolve it to null, a boolean or a
// number.
std::optional<std::string> string_value(const YAML::Node& node, std::string_view source) {
  if (!node.IsScalar()) return std::nullopt;
  const std::string& tag = node.Tag();
  const std::string& text = node.Scalar();
  bool quoted = tag == "!" || (tag != "?" && written_quoted(node, source));
  if (!quoted && resolves_to_non_string(text)) return std::nullopt;
  return text;
}

// A mapping with two equal keys is not valid YAML.
bool has_repeated_key(const YAML::Node& map, std::string_view source) {
  std::set<std::pair<bool, std::string>> seen;  // (is a string, text)
  for (const auto& entry : map) {
    if (!entry.first.IsScalar()) continue;
    std::optional<std::string> s = string_value(entry.first, source);
    auto key = s ? std::make_pair(true, *s) : std::make_pair(false, entry.first.Scalar());
    if (!seen.insert(std::move(key)).second) return true;
  }
  return false;
}

// The value of the member whose key is the string `key`; an undefined node when there is none.
YAML::Node member(const YAML::Node& map, std::string_view key, std::string_view source) {
  for (const auto& entry : map) {
    std::optional<std::string> k = string_value(entry.first, source);
    if (k && *k == key) return entry.second;
  }
  return YAML::Node(YAML::NodeType::Undefined);
}

ChainEventsSpec read_spec(const YAML::Node& root, std::string_view source) {
  ChainEventsSpec spec;
  if (!root.IsMap() || has_repeated_key(root, source)) return {};
  YAML::Node elements = member(root, "elements", source);
  if (!elements.IsSequence()) return {};
  for (const auto& entry : elements) {
    if (!entry.IsMap()) continue;
    if (has_repeated_key(entry, source)) return {};
    std::optional<std::string> event = string_value(member(entry, "event", source), source);
    if (!event) continue;
    std::set<std::string> required;
    YAML::Node fields = member(entry, "required", source);
    if (fields.IsSequence()) {
      for (const auto& field : fields) {
        if (std::optional<std::string> name = string_value(field, source)) {
          required.insert(std::move(*name));
        }
      }
    }
    // A later entry for the same event replaces the earlier one.
    spec[std::move(*event)] = std::move(required);
  }
  return spec;
}

}  // namespace

ChainEventsSpec parse_chain_events_spec(std::string_view yaml_text) {
  if (!platform::is_valid_utf8(yaml_text)) return {};
  try {
    std::vector<YAML::Node> documents = YAML::LoadAll(std::string(yaml_text));
    if (documents.size() != 1) return {};
    return read_spec(documents.front(), yaml_text);
  } catch (const std::exception&) {
    return {};
  }
}

}  // namespace telmir::element
