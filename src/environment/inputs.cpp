// The policy rules and capability registry digests, the proxy's recorded values and the checks
// built on them (ENV-001, ENV-010, ENV-011).

#include <fmt/format.h>

#include <utility>

#include "canonical/canonical.h"
#include "canonical/preimage.h"
#include "environment/snapshot_parts.h"
#include "platform/fs.h"
#include "platform/text.h"

namespace telmir::environment {

namespace {

constexpr std::string_view kNotUtf8 = "file is not valid UTF-8";
constexpr std::string_view kDeveloperPosture = "developer";
constexpr std::string_view kDefaultPosture = "production";
constexpr std::string_view kDeveloperDetail =
    "Proxy operating in developer mode \u2014 governance posture is relaxed for unrecognized "
    "formats";

// Decodes one UTF-8 sequence at `text[i]` (the text is not assumed valid); 0 when malformed.
char32_t decode_at(std::string_view text, std::size_t i, std::size_t& length) noexcept {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char b0 = byte(i);
  length = 1;
  if (b0 < 0x80) return b0;
  std::size_t n = (b0 & 0xE0) == 0xC0 ? 2 : (b0 & 0xF0) == 0xE0 ? 3 : (b0 & 0xF8) == 0xF0 ? 4 : 0;
  if (n == 0 || i + n > text.size()) return 0;
  char32_t cp = b0 & (0x7F >> n);
  for (std::size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  length = n;
  return cp;
}

bool is_white_space(char32_t c) noexcept {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// Length in bytes of the trailing character ending at `end` (exclusive).
std::size_t last_char_start(std::string_view text, std::size_t end) noexcept {
  std::size_t start = end - 1;
  while (start > 0 && end - start < 4 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80)
    --start;
  return start;
}

}  // namespace

std::string_view trim_white_space(std::string_view text) noexcept {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t length = 0;
    if (!is_white_space(decode_at(text, begin, length))) break;
    begin += length;
  }
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = last_char_start(text, end);
    if (start < begin) break;
    std::size_t length = 0;
    char32_t c = decode_at(text, start, length);
    if (start + length != end || !is_white_space(c)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

Result<std::string> compute_policy_rules_hash(const std::string& policy_rules_path) {
  Result<std::string> text = platform::read_file(policy_rules_path);
  if (!text) {
    return fail(fmt::format("failed to read policy rules {}: {}", policy_rules_path, text.error()));
  }
  if (!platform::is_valid_utf8(*text)) {
    return fail(fmt::format("failed to read policy rules {}: {}", policy_rules_path, kNotUtf8));
  }
  Result<json::Record> rules = json::parse(*text);
  if (!rules) {
    return fail(
        fmt::format("failed to parse policy rules {}: {}", policy_rules_path, rules.error()));
  }
  return canonical::policy_hash((*rules)->root());
}

Result<std::string> read_capability_registry(const std::string& path) {
  Result<std::string> bytes = platform::read_file(path);
  if (!bytes)
    return fail(fmt::format("failed to read capability registry {}: {}", path, bytes.error()));
  return bytes;
}

Result<std::string> registry_digest(const Result<std::string>& registry_bytes) {
  if (!registry_bytes) return fail(registry_bytes.error());
  return canonical::sha256_digest(*registry_bytes);
}

Result<std::string> compute_capability_registry_hash(const std::string& capability_registry_path) {
  return registry_digest(read_capability_registry(capability_registry_path));
}

Result<std::vector<json::Record>> read_chain_tail(const std::string& path,
                                                  std::optional<std::uint64_t> limit) {
  if (!limit) return ChainText::load(path).tail(limit);
  ChainBuffer buffer;
  return ChainText::load_tail(path, *limit, buffer).tail(limit);
}

Result<std::optional<std::string>> recorded_value(const ChainText& chain, std::string_view member) {
  if (!chain.exists()) return std::optional<std::string>();
  Result<std::vector<json::Record>> tail = chain.tail(kRecordedValueTail);
  if (!tail) return fail(tail.error());
  for (auto it = tail->rbegin(); it != tail->rend(); ++it) {
    if (std::optional<std::string_view> value = (*it)->root().string_member(member)) {
      return std::optional<std::string>(std::string(*value));
    }
  }
  return std::optional<std::string>();
}

Result<std::optional<std::string>> proxy_recorded_value(const std::string& decision_chain_path,
                                                        std::string_view member) {
  ChainBuffer buffer;
  return recorded_value(ChainText::load_tail(decision_chain_path, kRecordedValueTail, buffer),
                        member);
}

EnvCheck digest_check(const std::string& digest, const ChainText& chain, std::string_view member,
                      std::string_view severity) {
  if (digest.starts_with("error:")) return EnvCheck::failure(severity, digest);
  Result<std::optional<std::string>> recorded = recorded_value(chain, member);
  if (!recorded) return EnvCheck::failure(severity, recorded.error());
  if (!*recorded || **recorded == digest) return EnvCheck::pass();
  return EnvCheck::failure(
      severity, fmt::format("{} mismatch: current={}, proxy_chain={}", member, digest, **recorded));
}

EnvCheck check_policy_rules_digest(const std::string& policy_rules_hash,
                                   const std::string& decision_chain_path) {
  ChainBuffer buffer;
  return digest_check(policy_rules_hash,
                      ChainText::load_tail(decision_chain_path, kRecordedValueTail, buffer),
                      "policy_rules_hash", kSeverityCritical);
}

EnvCheck check_capability_registry_digest(const std::string& capability_registry_hash,
                                          const std::string& decision_chain_path) {
  ChainBuffer buffer;
  return digest_check(capability_registry_hash,
                      ChainText::load_tail(decision_chain_path, kRecordedValueTail, buffer),
                      "capability_registry_hash", kSeverityHigh);
}

std::string governance_posture(const json::Value& registry) {
  const json::Value* posture = registry.find("governance_posture");
  if (posture == nullptr) return std::string(kDefaultPosture);
  if (posture->is_string()) return std::string(posture->as_string());
  if (std::optional<std::string_view> mode = posture->string_member("mode")) {
    return std::string(*mode);
  }
  return std::string(kDefaultPosture);
}

EnvCheck posture_check(const std::string& path, const Result<std::string>& registry_bytes) {
  if (!registry_bytes) return EnvCheck::failure(kSeverityHigh, registry_bytes.error());
  if (!platform::is_valid_utf8(*registry_bytes)) {
    return EnvCheck::failure(
        kSeverityHigh, fmt::format("failed to read capability registry {}: {}", path, kNotUtf8));
  }
  Result<json::Record> registry = json::parse(*registry_bytes);
  if (!registry) {
    return EnvCheck::failure(
        kSeverityHigh,
        fmt::format("failed to parse capability registry {}: {}", path, registry.error()));
  }
  std::string mode(trim_white_space(governance_posture((*registry)->root())));
  for (char& c : mode) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  EnvCheck check = mode == kDeveloperPosture
                       ? EnvCheck::failure(kSeverityHigh, std::string(kDeveloperDetail))
                       : EnvCheck::pass();
  check.extra.emplace("mode", json::Node(std::move(mode)));
  return check;
}

EnvCheck check_governance_posture(const std::string& capability_registry_path) {
  return posture_check(capability_registry_path,
                       read_capability_registry(capability_registry_path));
}

}  // namespace telmir::environment
