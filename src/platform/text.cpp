#include "platform/text.h"

#include <fmt/format.h>
#include <utf8proc.h>

#include <cstdint>
#include <cstring>
#include <iterator>

namespace telmir::platform {

namespace {

// Decodes one well-formed UTF-8 sequence at `p`; returns its length, or 0 when the bytes there
// are not a well-formed sequence.
std::size_t decode(const unsigned char* p, const unsigned char* end, char32_t& cp) noexcept {
  const unsigned char b0 = p[0];
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  const auto avail = static_cast<std::size_t>(end - p);
  auto cont = [&](std::size_t i) { return i < avail && (p[i] & 0xC0) == 0x80; };
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    if (!cont(1)) return 0;
    cp = (char32_t(b0 & 0x1F) << 6) | (p[1] & 0x3F);
    return 2;
  }
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    if (!cont(1) || !cont(2)) return 0;
    cp = (char32_t(b0 & 0x0F) << 12) | (char32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
    // Overlong forms and surrogates.
    if (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return 3;
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    if (!cont(1) || !cont(2) || !cont(3)) return 0;
    cp = (char32_t(b0 & 0x07) << 18) | (char32_t(p[1] & 0x3F) << 12) |
         (char32_t(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
    if (cp < 0x10000 || cp > 0x10FFFF) return 0;
    return 4;
  }
  return 0;
}

bool is_white_space(char32_t cp) noexcept {
  if (cp <= 0x20) return cp == 0x20 || (cp >= 0x09 && cp <= 0x0D);
  switch (cp) {
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return cp >= 0x2000 && cp <= 0x200A;
  }
}

// Characters written as \u{...}: controls, format characters, surrogates, private use,
// unassigned, line and paragraph separators, spaces other than U+0020, and combining marks.
bool needs_hex_escape(char32_t cp) noexcept {
  if (cp >= 0x20 && cp < 0x7F) return false;
  if (cp < 0x20 || cp == 0x7F) return true;
  const utf8proc_property_t* prop = utf8proc_get_property(static_cast<utf8proc_int32_t>(cp));
  switch (prop->category) {
    case UTF8PROC_CATEGORY_CC:
    case UTF8PROC_CATEGORY_CF:
    case UTF8PROC_CATEGORY_CS:
    case UTF8PROC_CATEGORY_CO:
    case UTF8PROC_CATEGORY_CN:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP:
    case UTF8PROC_CATEGORY_ZS:
      return true;
    default:
      break;
  }
  // The grapheme Extend class also holds the skin-tone modifiers, which are not combining marks.
  return prop->boundclass == UTF8PROC_BOUNDCLASS_EXTEND && !(cp >= 0x1F3FB && cp <= 0x1F3FF);
}

}  // namespace

bool is_valid_utf8(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p != end) {
    // ASCII runs eight bytes at a time.
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, sizeof word);
      if (word & 0x8080808080808080ULL) break;
      p += 8;
    }
    if (p == end) break;
    if (*p < 0x80) {
      ++p;
      continue;
    }
    char32_t cp;
    const std::size_t n = decode(p, end, cp);
    if (n == 0) return false;
    p += n;
  }
  return true;
}

bool is_blank_line(std::string_view line) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(line.data());
  const auto* end = p + line.size();
  while (p != end) {
    char32_t cp;
    const std::size_t n = decode(p, end, cp);
    if (n == 0 || !is_white_space(cp)) return false;
    p += n;
  }
  return true;
}

std::optional<JsonLine> next_json_line(std::string_view text, std::size_t& pos) {
  while (pos < text.size()) {
    const std::size_t start = pos;
    const void* hit = std::memchr(text.data() + start, '\n', text.size() - start);
    const bool terminated = hit != nullptr;
    const std::size_t stop =
        terminated ? static_cast<std::size_t>(static_cast<const char*>(hit) - text.data())
                   : text.size();
    pos = terminated ? stop + 1 : stop;
    std::string_view line = text.substr(start, stop - start);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (!is_blank_line(line)) return JsonLine{line, start, terminated};
  }
  return std::nullopt;
}

std::vector<JsonLine> split_json_lines(std::string_view text) {
  std::vector<JsonLine> lines;
  std::size_t pos = 0;
  while (std::optional<JsonLine> line = next_json_line(text, pos)) lines.push_back(*line);
  return lines;
}

std::string optional_notation(std::optional<std::string_view> value) {
  if (!value) return "None";
  std::string out = "Some(\"";
  out.reserve(value->size() + 8);
  const auto* p = reinterpret_cast<const unsigned char*>(value->data());
  const auto* end = p + value->size();
  while (p != end) {
    char32_t cp;
    std::size_t n = decode(p, end, cp);
    if (n == 0) {
      // Not reachable for valid input; keep going with the byte's value rather than stop.
      cp = *p;
      n = 1;
    }
    switch (cp) {
      case '\\':
        out.append("\\\\");
        break;
      case '"':
        out.append("\\\"");
        break;
      case '\t':
        out.append("\\t");
        break;
      case '\r':
        out.append("\\r");
        break;
      case '\n':
        out.append("\\n");
        break;
      case 0:
        out.append("\\0");
        break;
      default:
        if (needs_hex_escape(cp)) {
          fmt::format_to(std::back_inserter(out), "\\u{{{:x}}}", static_cast<std::uint32_t>(cp));
        } else {
          out.append(reinterpret_cast<const char*>(p), n);
        }
    }
    p += n;
  }
  out.append("\")");
  return out;
}

}  // namespace telmir::platform
