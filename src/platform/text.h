#pragma once

// Text helpers shared by several modules: UTF-8 validation, JSON Lines splitting and the
// optional-value notation used in detail messages.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace telmir::platform {

// Well-formed UTF-8: shortest forms only, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view text) noexcept;

// True when the line holds nothing but Unicode White_Space (or nothing at all). Invalid UTF-8
// counts as content.
bool is_blank_line(std::string_view line) noexcept;

// One non-blank line of a JSON Lines text.
struct JsonLine {
  std::string_view text;  // without the line feed and without one carriage return before it
  std::size_t offset;     // byte offset of the line's first byte in the whole text
  bool terminated;        // false only for a last line without a line feed
};

// Splits at line feeds, removes one carriage return at the end of each line and skips blank
// lines. The last line need not end with a line feed.
std::vector<JsonLine> split_json_lines(std::string_view text);

// The same walk one line at a time, for texts too large to index at once: the next non-blank
// line at or after byte `pos`, which is moved past it; nothing at the end of the text.
std::optional<JsonLine> next_json_line(std::string_view text, std::size_t& pos);

// None, or Some("...") with \\ \" \t \r \n \0 escaped, and any other control or non-printable
// character and any combining mark written as \u{hex}. The text must be valid UTF-8.
std::string optional_notation(std::optional<std::string_view> value);

}  // namespace telmir::platform
