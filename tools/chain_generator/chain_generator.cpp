#include "chain_generator/chain_generator.h"

#include <fmt/format.h>
#include <sodium.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <deque>

#include "canonical/canonical.h"
#include "canonical/preimage.h"
#include "platform/fs.h"
#include "platform/rfc3339.h"

namespace telmir::chaingen {
namespace {

std::string hex_of(std::span<const std::uint8_t> bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 15]);
  }
  return out;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Small deterministic generator (splitmix64), so a chain is the same for the same seed.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
  bool chance(unsigned percent) { return below(100) < percent; }

 private:
  std::uint64_t state_;
};

Result<void> write_bytes(const std::string& path, std::string_view bytes, const char* mode) {
  std::FILE* f = std::fopen(path.c_str(), mode);
  if (f == nullptr)
    return fail(fmt::format("cannot open {}: {}", path, platform::os_error_text(errno)));
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  const int err = errno;
  if (std::fclose(f) != 0 || !ok) {
    return fail(
        fmt::format("cannot write {}: {}", path, platform::os_error_text(ok ? errno : err)));
  }
  return {};
}

}  // namespace

GovernanceSigner::GovernanceSigner(std::span<const std::uint8_t, 32> seed) {
  if (sodium_init() < 0) std::abort();
  std::copy(seed.begin(), seed.end(), seed_.begin());
  std::array<std::uint8_t, 32> pk{};
  crypto_sign_seed_keypair(pk.data(), secret_.data(), seed_.data());
  std::array<std::uint8_t, 32> digest{};
  crypto_hash_sha256(digest.data(), pk.data(), pk.size());
  key_id_ = "ed25519:" + hex_of(digest);
}

Result<GovernanceSigner> GovernanceSigner::from_seed_hex(std::string_view hex) {
  std::array<std::uint8_t, 32> seed{};
  if (hex.size() != 64) return fail("a seed is 64 hexadecimal digits");
  for (std::size_t i = 0; i < 32; ++i) {
    const int hi = hex_digit(hex[2 * i]);
    const int lo = hex_digit(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return fail("a seed is 64 hexadecimal digits");
    seed[i] = static_cast<std::uint8_t>(hi * 16 + lo);
  }
  return GovernanceSigner(seed);
}

std::string GovernanceSigner::seed_hex() const { return hex_of(seed_); }

std::string GovernanceSigner::sign(std::string_view message) const {
  std::array<std::uint8_t, 64> sig{};
  crypto_sign_detached(sig.data(), nullptr, reinterpret_cast<const unsigned char*>(message.data()),
                       message.size(), secret_.data());
  char out[sodium_base64_ENCODED_LEN(64, sodium_base64_VARIANT_URLSAFE_NO_PADDING)];
  sodium_bin2base64(out, sizeof out, sig.data(), sig.size(),
                    sodium_base64_VARIANT_URLSAFE_NO_PADDING);
  return out;
}

ChainBuilder::ChainBuilder(GovernanceSigner signer) : signer_(std::move(signer)) {}

Result<json::Node> ChainBuilder::append(json::Node record, const Seal& seal) {
  if (record.kind() != json::Kind::kObject) return fail("a governance record is an object");
  if (seal.prev_record_hash) {
    record.set("prev_record_hash", *seal.prev_record_hash);
  } else if (!seal.omit_prev_record_hash && last_hash_) {
    record.set("prev_record_hash", *last_hash_);
  }
  if (!seal.omit_record_hash) record.set("record_hash", nullptr);
  const bool signed_record = seal.signature != SignatureForm::kNone;
  if (signed_record) {
    record.set("signature", nullptr);
    record.set("signing_key_id", nullptr);
  }
  auto hash = canonical::record_hash(record);
  if (!hash) return fail(hash.error());
  if (!seal.omit_record_hash) record.set("record_hash", *hash);
  if (signed_record) {
    auto preimage = canonical::signature_preimage(record);
    if (!preimage) return fail(preimage.error());
    std::string signature;
    switch (seal.signature) {
      case SignatureForm::kValid:
        signature = signer_.sign(*preimage);
        break;
      case SignatureForm::kEmpty:
        break;
      case SignatureForm::kCorrupt:
        signature = signer_.sign(*preimage + " ");
        break;
      case SignatureForm::kPadded:
        signature = signer_.sign(*preimage) + "==";
        break;
      case SignatureForm::kNone:
        break;
    }
    record.set("signature", signature);
    record.set("signing_key_id", signer_.key_id());
  }
  for (const auto& [key, value] : seal.tamper) record.set(key, value);
  lines_.push_back(json::write_compact(json::freeze(record)->root()));
  if (seal.omit_record_hash) {
    last_hash_.reset();
  } else {
    last_hash_ = *hash;
  }
  return record;
}

void ChainBuilder::append_raw_line(std::string line) { lines_.push_back(std::move(line)); }

std::string ChainBuilder::text() const { return text_from(0); }

std::string ChainBuilder::text_from(std::size_t first) const {
  std::string out;
  std::size_t total = 0;
  for (std::size_t i = first; i < lines_.size(); ++i) total += lines_[i].size() + 1;
  out.reserve(total);
  for (std::size_t i = first; i < lines_.size(); ++i) {
    out += lines_[i];
    out.push_back('\n');
  }
  return out;
}

Result<void> ChainBuilder::write_file(const std::string& path) const {
  return write_bytes(path, text(), "wb");
}

Result<void> ChainBuilder::append_to_file(const std::string& path, std::size_t first) const {
  return write_bytes(path, text_from(first), "ab");
}

json::Node make_decision(const DecisionSpec& spec) {
  json::Node r = json::Node::object();
  r.set("record_type", spec.record_type);
  r.set("timestamp_utc", spec.timestamp_utc);
  r.set("session_id", spec.session_id);
  r.set("request_id", spec.request_id);
  r.set("process_id", json::Node::from_u64(spec.process_id));
  r.set("policy_decision", spec.policy_decision);
  r.set("original_tool", spec.tool);
  json::Node classification = json::Node::object();
  classification.set("category", spec.category);
  classification.set("action_type", spec.action_type);
  classification.set("confidence_tier", spec.confidence_tier);
  classification.set("negative_constraint_match", spec.negative_constraint_match);
  r.set("classification", std::move(classification));
  if (spec.matched_rule) r.set("matched_rule", *spec.matched_rule);
  if (spec.matched_negative_constraint) {
    r.set("matched_negative_constraint", *spec.matched_negative_constraint);
  }
  if (spec.approval_event_id) r.set("approval_event_id", *spec.approval_event_id);
  if (spec.latency_ms) r.set("decision_latency_ms", json::Node::number_text(*spec.latency_ms));
  json::Node reasons = json::Node::array();
  json::Node reason = json::Node::object();
  reason.set("code", spec.matched_rule ? *spec.matched_rule : std::string("default"));
  reason.set("message", spec.policy_decision == "ALLOW" ? "rule matched" : "request refused");
  reasons.push(std::move(reason));
  r.set("policy_reasons", std::move(reasons));
  json::Node args = json::Node::object();
  args.set("path", "/srv/workspace/" + spec.request_id);
  args.set("canonical_path", "/srv/workspace/" + spec.request_id);
  r.set("tool_args_redacted", std::move(args));
  if (spec.policy_rules_hash) r.set("policy_rules_hash", *spec.policy_rules_hash);
  if (spec.capability_registry_hash) {
    r.set("capability_registry_hash", *spec.capability_registry_hash);
  }
  return r;
}

json::Node make_approval(std::string event_id, std::string operator_name, std::string timestamp_utc,
                         std::optional<std::string> approval_id) {
  json::Node r = json::Node::object();
  r.set("event_type", "opaque_artifact_approval");
  r.set("event_id", std::move(event_id));
  if (approval_id) r.set("approval_id", *approval_id);
  r.set("timestamp_utc", std::move(timestamp_utc));
  r.set("operator", std::move(operator_name));
  r.set("artifact_sha256", canonical::sha256_digest(r.find("event_id")->text()));
  return r;
}

json::Node make_revocation(std::string event_id, std::string approval_event_id,
                           std::string operator_name, std::string timestamp_utc) {
  json::Node r = json::Node::object();
  r.set("event_type", "opaque_artifact_revocation");
  r.set("event_id", std::move(event_id));
  r.set("approval_event_id", std::move(approval_event_id));
  r.set("timestamp_utc", std::move(timestamp_utc));
  r.set("operator", std::move(operator_name));
  return r;
}

json::Node make_config_change(std::string event_type, std::string timestamp_utc,
                              std::optional<std::string> policy_rules_hash,
                              std::optional<std::string> capability_registry_hash) {
  json::Node r = json::Node::object();
  r.set("event_type", std::move(event_type));
  r.set("timestamp_utc", std::move(timestamp_utc));
  if (policy_rules_hash) r.set("policy_rules_hash", *policy_rules_hash);
  if (capability_registry_hash) r.set("capability_registry_hash", *capability_registry_hash);
  return r;
}

Result<ProxyConfiguration> example_proxy_configuration() {
  ProxyConfiguration c;
  c.policy_rules_text = R"({
  "_comment": "policy rules of the example installation",
  "version": 3,
  "default_decision": "DENY",
  "rules": [
    {"id": "allow_read_workspace", "tools": ["read_file", "list_dir", "search_code"], "decision": "ALLOW"},
    {"id": "allow_write_workspace", "tools": ["write_file"], "decision": "ALLOW"},
    {"id": "approved_lookup", "tools": ["http_get", "send_email"], "decision": "ALLOW", "requires_approval": true},
    {"id": "deny_destructive", "tools": ["delete_file", "run_shell"], "decision": "DENY"}
  ],
  "negative_constraints": [
    {"id": "no_secret_exfiltration", "description": "never send credentials off the host"}
  ]
}
)";
  c.capability_registry_text = R"({
  "version": 2,
  "governance_posture": "production",
  "capabilities": {
    "read_file": {"category": "read"},
    "list_dir": {"category": "read"},
    "search_code": {"category": "read"},
    "write_file": {"category": "write"},
    "http_get": {"category": "network"},
    "send_email": {"category": "communication"},
    "delete_file": {"category": "destructive"},
    "run_shell": {"category": "execute"}
  }
}
)";
  auto rules = json::parse(c.policy_rules_text);
  if (!rules) return fail(rules.error());
  auto hash = canonical::policy_hash((*rules)->root());
  if (!hash) return fail(hash.error());
  c.policy_rules_hash = *hash;
  c.capability_registry_hash = canonical::sha256_digest(c.capability_registry_text);
  return c;
}

Result<void> write_proxy_configuration(const ProxyConfiguration& config,
                                       const std::string& policy_rules_path,
                                       const std::string& capability_registry_path) {
  for (const auto& [path, text] :
       {std::pair{&policy_rules_path, &config.policy_rules_text},
        std::pair{&capability_registry_path, &config.capability_registry_text}}) {
    const std::string dir = platform::parent_path(*path);
    if (!dir.empty()) {
      auto made = platform::create_directories(dir);
      if (!made) return fail(fmt::format("cannot create {}: {}", dir, made.error()));
    }
    auto written = write_bytes(*path, *text, "wb");
    if (!written) return written;
  }
  return {};
}

namespace {

struct ToolProfile {
  std::string_view tool;
  std::string_view category;
  std::string_view action_type;
  std::string_view allow_rule;
  std::string_view deny_rule;
  unsigned weight;
  bool needs_approval;
};

constexpr ToolProfile kTools[] = {
    {"read_file", "read", "read", "allow_read_workspace", "deny_outside_workspace", 30, false},
    {"list_dir", "read", "list", "allow_read_workspace", "deny_outside_workspace", 12, false},
    {"search_code", "read", "search", "allow_read_workspace", "deny_outside_workspace", 10, false},
    {"write_file", "write", "write", "allow_write_workspace", "deny_outside_workspace", 16, false},
    {"http_get", "network", "fetch", "approved_lookup", "deny_network_egress", 12, true},
    {"send_email", "communication", "send", "approved_lookup", "deny_network_egress", 5, true},
    {"delete_file", "destructive", "delete", "allow_write_workspace", "deny_destructive", 8, false},
    {"run_shell", "execute", "execute", "allow_write_workspace", "deny_destructive", 7, false},
};

constexpr std::string_view kOperators[] = {"alice", "bob", "carol", "dmitri"};

const ToolProfile& pick_tool(Rng& rng) {
  unsigned total = 0;
  for (const auto& t : kTools) total += t.weight;
  auto r = static_cast<unsigned>(rng.below(total));
  for (const auto& t : kTools) {
    if (r < t.weight) return t;
    r -= t.weight;
  }
  return kTools[0];
}

std::string latency_text(Rng& rng) {
  const std::size_t base = 2 + rng.below(60) + (rng.chance(5) ? rng.below(900) : 0);
  if (rng.chance(30)) return fmt::format("{}.{}", base, rng.below(10));
  return fmt::format("{}", base);
}

}  // namespace

Result<void> generate_chain(ChainBuilder& builder, const ChainOptions& options) {
  Rng rng(options.rng_seed);
  // Approvals that decisions rely on are never revoked; revoked approvals are never relied on,
  // so that an undamaged chain verifies cleanly.
  std::optional<std::string> usable_approval;
  std::int64_t usable_since = 0;
  std::deque<std::string> revocable;
  std::size_t approval_number = 0;
  std::size_t revocation_number = 0;

  for (std::size_t i = 0; i < options.records; ++i) {
    const std::int64_t now = options.start_epoch_seconds +
                             options.seconds_between_records * static_cast<std::int64_t>(i);
    const std::string stamp = platform::format_rfc3339_utc_seconds(now);
    Seal seal;
    bool tamper = false;
    for (const Damage& d : options.damage) {
      if (d.index != i) continue;
      switch (d.kind) {
        case DamageKind::kTamper:
          tamper = true;
          break;
        case DamageKind::kBreakLink:
          seal.prev_record_hash = json::Node(canonical::sha256_digest(fmt::format("broken {}", i)));
          break;
        case DamageKind::kStripSignature:
          seal.signature = SignatureForm::kNone;
          break;
        case DamageKind::kCorruptSignature:
          seal.signature = SignatureForm::kCorrupt;
          break;
        case DamageKind::kBadLine:
          builder.append_raw_line(R"({"record_type": "mediated_decision", "policy_decision": )");
          break;
      }
    }

    json::Node record;
    bool is_decision = false;
    const bool approval_stale =
        !usable_approval || now - usable_since > 6 * 3600;  // well inside a day's permitted age
    if (i == 0) {
      record = make_config_change("proxy_started", stamp, options.policy_rules_hash,
                                  options.capability_registry_hash);
    } else if (approval_stale && rng.chance(50)) {
      const std::string id = fmt::format("appr-{:06}", ++approval_number);
      record =
          make_approval(id, std::string(kOperators[rng.below(std::size(kOperators))]), stamp,
                        rng.chance(50) ? std::optional<std::string>("ticket-" + id) : std::nullopt);
      usable_approval = id;
      usable_since = now;
    } else if (rng.chance(1)) {
      const std::string id = fmt::format("appr-{:06}", ++approval_number);
      record = make_approval(id, std::string(kOperators[rng.below(std::size(kOperators))]), stamp);
      revocable.push_back(id);
    } else if (!revocable.empty() && rng.chance(1)) {
      record = make_revocation(fmt::format("revk-{:06}", ++revocation_number), revocable.front(),
                               std::string(kOperators[rng.below(std::size(kOperators))]), stamp);
      revocable.pop_front();
    } else if (rng.below(1000) < 3) {
      record =
          make_config_change(rng.chance(50) ? "classifier_reload" : "capability_registry_reload",
                             stamp, options.policy_rules_hash, options.capability_registry_hash);
    } else {
      const ToolProfile& tool = pick_tool(rng);
      DecisionSpec spec;
      const bool deny = rng.chance(tool.needs_approval ? 35 : 15);
      spec.policy_decision = deny ? "DENY" : "ALLOW";
      spec.tool = tool.tool;
      spec.category = tool.category;
      spec.action_type = tool.action_type;
      spec.confidence_tier = rng.chance(85) ? "high" : "medium";
      spec.matched_rule = std::string(deny ? tool.deny_rule : tool.allow_rule);
      if (!deny && tool.needs_approval) {
        if (usable_approval) {
          spec.approval_event_id = *usable_approval;
        } else {
          spec.policy_decision = "DENY";
          spec.matched_rule = std::string(tool.deny_rule);
        }
      }
      if (deny && rng.chance(20)) spec.matched_negative_constraint = "no_secret_exfiltration";
      spec.latency_ms = latency_text(rng);
      spec.timestamp_utc = stamp;
      spec.session_id = fmt::format("sess-{}", 1 + i / 40);
      spec.request_id = fmt::format("req-{}", i);
      spec.process_id = 4000 + i / 40;
      spec.policy_rules_hash = options.policy_rules_hash;
      spec.capability_registry_hash = options.capability_registry_hash;
      record = make_decision(spec);
      is_decision = true;
    }
    if (tamper) {
      if (is_decision) {
        seal.tamper.emplace_back("matched_rule", json::Node("tampered_rule"));
      } else {
        seal.tamper.emplace_back("note", json::Node("tampered after hashing"));
      }
    }
    auto sealed = builder.append(std::move(record), seal);
    if (!sealed) return fail(sealed.error());
  }
  return {};
}

}  // namespace telmir::chaingen
