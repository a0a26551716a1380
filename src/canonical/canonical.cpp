#include "canonical/canonical.h"

#include <openssl/evp.h>
#include <sodium.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "json/number.h"

namespace telmir::canonical {

namespace {

// Per byte: 0 copies it, otherwise the letter after the backslash ('u' for \u00XX).
constexpr std::array<char, 256> make_escape_table() {
  std::array<char, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = 'u';
  t['\b'] = 'b';
  t['\t'] = 't';
  t['\n'] = 'n';
  t['\f'] = 'f';
  t['\r'] = 'r';
  t['"'] = '"';
  t['\\'] = '\\';
  return t;
}
constexpr std::array<char, 256> kEscape = make_escape_table();
constexpr char kHex[] = "0123456789abcdef";

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// True when any of the eight bytes needs an escape (below 0x20, '"' or '\\').
bool word_needs_escape(std::uint64_t w) noexcept {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  const std::uint64_t below_space = (w - kOnes * 0x20) & ~w & kHigh;
  const std::uint64_t q = w ^ (kOnes * '"');
  const std::uint64_t b = w ^ (kOnes * '\\');
  const std::uint64_t quote = (q - kOnes) & ~q & kHigh;
  const std::uint64_t backslash = (b - kOnes) & ~b & kHigh;
  return (below_space | quote | backslash) != 0;
}

void write_string(std::string_view s, std::string& out) {
  out.push_back('"');
  const char* p = s.data();
  const char* end = p + s.size();
  const char* run = p;
  while (p != end) {
    // Most text needs no escape: skip it eight bytes at a time.
    while (end - p >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, sizeof w);
      if (word_needs_escape(w)) break;
      p += 8;
    }
    if (p == end) break;
    const char e = kEscape[static_cast<unsigned char>(*p)];
    if (e == 0) {
      ++p;
      continue;
    }
    out.append(run, static_cast<std::size_t>(p - run));
    if (e == 'u') {
      const auto c = static_cast<unsigned char>(*p);
      const char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
      out.append(esc, sizeof esc);
    } else {
      const char esc[2] = {'\\', e};
      out.append(esc, sizeof esc);
    }
    ++p;
    run = p;
  }
  out.append(run, static_cast<std::size_t>(end - run));
  out.push_back('"');
}

// True when the digit string (no sign, no leading zeros) is at most `limit` as a number.
bool digits_at_most(std::string_view digits, std::string_view limit) noexcept {
  if (digits.size() != limit.size()) return digits.size() < limit.size();
  return digits <= limit;
}

bool write_number(std::string_view text, std::string& out) {
  const bool negative = !text.empty() && text.front() == '-';
  std::string_view digits = text.substr(negative ? 1 : 0);
  const bool integer = !digits.empty() && std::all_of(digits.begin(), digits.end(), is_digit);
  if (integer) {
    const std::size_t first = digits.find_first_not_of('0');
    if (first == std::string_view::npos) {  // 0, -0
      out.push_back('0');
      return true;
    }
    digits.remove_prefix(first);
    const bool fits = negative ? digits_at_most(digits, "9223372036854775808")
                               : digits_at_most(digits, "18446744073709551615");
    if (!fits) {
      // Beyond both 64-bit ranges: the text as it stands.
      out.append(text);
      return true;
    }
    if (negative) out.push_back('-');
    out.append(digits);
    return true;
  }
  // Never write something that is not a JSON number.
  const std::optional<double> value = json::parse_double(text);
  if (!value || !std::isfinite(*value)) return false;
  out.append(json::format_double(*value));
  return true;
}

bool keys_sorted(std::span<const json::Member> members) noexcept {
  for (std::size_t i = 1; i < members.size(); ++i) {
    if (!(members[i - 1].key < members[i].key)) return false;
  }
  return true;
}

class Writer {
 public:
  Writer(std::string& out, std::vector<std::uint32_t>& order) : out_(out), order_(order) {}

  bool write(const json::Value& v) {
    switch (v.kind()) {
      case json::Kind::kNull:
        out_.append("null");
        return true;
      case json::Kind::kBool:
        out_.append(v.as_bool() ? "true" : "false");
        return true;
      case json::Kind::kNumber:
        return write_number(v.number_text(), out_);
      case json::Kind::kString:
        write_string(v.as_string(), out_);
        return true;
      case json::Kind::kArray:
        return write_array(v.items());
      case json::Kind::kObject:
        return write_object(v.members());
    }
    return true;
  }

 private:
  bool write_array(std::span<const json::Value> items) {
    out_.push_back('[');
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (i != 0) out_.push_back(',');
      if (!write(items[i])) return false;
    }
    out_.push_back(']');
    return true;
  }

  bool write_member(const json::Member& m, bool first) {
    if (!first) out_.push_back(',');
    write_string(m.key, out_);
    out_.push_back(':');
    return write(m.value);
  }

  bool write_object(std::span<const json::Member> members) {
    out_.push_back('{');
    if (keys_sorted(members)) {
      // Records written in canonical form come back sorted: no index needed.
      for (std::size_t i = 0; i < members.size(); ++i) {
        if (!write_member(members[i], i == 0)) return false;
      }
    } else {
      // Member indexes go on one scratch stack shared by all nesting levels; nested objects
      // push above this level's slice and pop back to it.
      const std::size_t base = order_.size();
      for (std::size_t i = 0; i < members.size(); ++i) {
        order_.push_back(static_cast<std::uint32_t>(i));
      }
      std::sort(order_.begin() + static_cast<std::ptrdiff_t>(base), order_.end(),
                [&](std::uint32_t a, std::uint32_t b) { return members[a].key < members[b].key; });
      for (std::size_t i = 0; i < members.size(); ++i) {
        if (!write_member(members[order_[base + i]], i == 0)) return false;
      }
      order_.resize(base);
    }
    out_.push_back('}');
    return true;
  }

  std::string& out_;
  std::vector<std::uint32_t>& order_;
};

}  // namespace

Result<void> append_canonical_json(const json::Value& value, std::string& out) {
  const std::size_t start = out.size();
  // The index stack is kept per thread so rendering a record allocates nothing but its text.
  thread_local std::vector<std::uint32_t> order;
  order.clear();
  Writer writer(out, order);
  if (!writer.write(value)) {
    out.resize(start);
    return fail(std::string(kUnsupportedNumber));
  }
  return {};
}

Result<std::string> canonical_json(const json::Value& value) {
  std::string out;
  out.reserve(256);
  Result<void> r = append_canonical_json(value, out);
  if (!r) return fail(std::move(r.error()));
  return out;
}

Result<std::string> canonical_json(const json::Node& node) {
  const json::Record doc = json::freeze(node);
  return canonical_json(doc->root());
}

namespace {

// OpenSSL's SHA-256 uses the processor's SHA instructions where it has them (several times
// faster than a portable implementation, and every record hash of every chain goes through
// here). The algorithm is fetched once; should that fail, libsodium computes the same digest.
const EVP_MD* fetched_sha256() {
  static EVP_MD* const md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  return md;
}

}  // namespace

std::string sha256_digest(std::string_view bytes) {
  unsigned char hash[crypto_hash_sha256_BYTES];
  unsigned int length = 0;
  const EVP_MD* md = fetched_sha256();
  if (md == nullptr ||
      EVP_Digest(bytes.data(), bytes.size(), hash, &length, md, nullptr) != 1 ||
      length != sizeof hash) {
    // SHA-256 needs no set-up, but libsodium asks to be initialised before any call.
    static const bool sodium_ready = sodium_init() >= 0;
    (void)sodium_ready;
    crypto_hash_sha256(hash, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  }
  std::string out = "sha256:";
  out.resize(7 + 2 * sizeof hash);
  for (std::size_t i = 0; i < sizeof hash; ++i) {
    out[7 + 2 * i] = kHex[hash[i] >> 4];
    out[8 + 2 * i] = kHex[hash[i] & 0xF];
  }
  return out;
}

}  // namespace telmir::canonical
