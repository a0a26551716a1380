// telmir-chaingen: writes a governance chain as the proxy would, for benchmarks and the example
// installation.

#include <fmt/format.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "chain_generator/chain_generator.h"
#include "platform/fs.h"
#include "platform/text.h"

namespace {

using telmir::chaingen::ChainBuilder;
using telmir::chaingen::ChainOptions;
using telmir::chaingen::Damage;
using telmir::chaingen::DamageKind;
using telmir::chaingen::GovernanceSigner;

constexpr std::string_view kUsage =
    "usage: telmir-chaingen --out PATH (--seed-hex HEX | --key-file PATH) [options]\n"
    "  --records N                 number of records (default 100)\n"
    "  --rng-seed N                seed of the record mix (default 1)\n"
    "  --start-epoch S             time of the first record, seconds since 1970 (default "
    "2026-03-01T08:00:00Z)\n"
    "  --interval S                seconds between records (default 7)\n"
    "  --append                    continue the chain at PATH instead of replacing it\n"
    "  --write-key PATH            also write the seed as a hexadecimal key file\n"
    "  --policy-rules PATH         also write the policy rules and record their digest\n"
    "  --capability-registry PATH  also write the capability registry and record its digest\n"
    "  --tamper I | --break-link I | --strip-signature I | --corrupt-signature I | --bad-line I\n"
    "                              damage record I (0-based); may be repeated\n";

int usage_error(std::string_view message) {
  std::fprintf(stderr, "telmir-chaingen: %.*s\n%.*s", static_cast<int>(message.size()),
               message.data(), static_cast<int>(kUsage.size()), kUsage.data());
  return 2;
}

bool parse_u64(std::string_view text, std::uint64_t& out) {
  if (text.empty()) return false;
  std::uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
  }
  out = v;
  return true;
}

std::string strip_blanks(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c != ' ' && c != '\n' && c != '\r' && c != '\t') out.push_back(c);
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::string out_path, seed_hex, key_file, write_key, policy_path, registry_path;
  bool append = false;
  ChainOptions options;
  std::vector<std::string_view> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view a = args[i];
    auto value = [&](std::string_view& v) {
      if (i + 1 >= args.size()) return false;
      v = args[++i];
      return true;
    };
    std::string_view v;
    std::uint64_t n = 0;
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage.data(), stdout);
      return 0;
    } else if (a == "--append") {
      append = true;
    } else if (!value(v)) {
      return usage_error(fmt::format("unknown or incomplete option {}", a));
    } else if (a == "--out") {
      out_path = v;
    } else if (a == "--seed-hex") {
      seed_hex = v;
    } else if (a == "--key-file") {
      key_file = v;
    } else if (a == "--write-key") {
      write_key = v;
    } else if (a == "--policy-rules") {
      policy_path = v;
    } else if (a == "--capability-registry") {
      registry_path = v;
    } else if (!parse_u64(v, n)) {
      return usage_error(fmt::format("{} needs a whole number", a));
    } else if (a == "--records") {
      options.records = n;
    } else if (a == "--rng-seed") {
      options.rng_seed = n;
    } else if (a == "--start-epoch") {
      options.start_epoch_seconds = static_cast<std::int64_t>(n);
    } else if (a == "--interval") {
      options.seconds_between_records = static_cast<std::int64_t>(n);
    } else if (a == "--tamper") {
      options.damage.push_back({DamageKind::kTamper, n});
    } else if (a == "--break-link") {
      options.damage.push_back({DamageKind::kBreakLink, n});
    } else if (a == "--strip-signature") {
      options.damage.push_back({DamageKind::kStripSignature, n});
    } else if (a == "--corrupt-signature") {
      options.damage.push_back({DamageKind::kCorruptSignature, n});
    } else if (a == "--bad-line") {
      options.damage.push_back({DamageKind::kBadLine, n});
    } else {
      return usage_error(fmt::format("unknown option {}", a));
    }
  }
  if (out_path.empty()) return usage_error("--out is required");
  if (seed_hex.empty() == key_file.empty()) {
    return usage_error("give exactly one of --seed-hex and --key-file");
  }
  if (!key_file.empty()) {
    auto text = telmir::platform::read_file(key_file);
    if (!text) return usage_error(fmt::format("cannot read {}: {}", key_file, text.error()));
    seed_hex = strip_blanks(*text);
  }
  auto signer = GovernanceSigner::from_seed_hex(seed_hex);
  if (!signer) return usage_error(signer.error());

  if (!policy_path.empty() || !registry_path.empty()) {
    auto config = telmir::chaingen::example_proxy_configuration();
    if (!config) return usage_error(config.error());
    if (policy_path.empty() || registry_path.empty()) {
      return usage_error("--policy-rules and --capability-registry go together");
    }
    auto written = telmir::chaingen::write_proxy_configuration(*config, policy_path, registry_path);
    if (!written) return usage_error(written.error());
    options.policy_rules_hash = config->policy_rules_hash;
    options.capability_registry_hash = config->capability_registry_hash;
  }
  if (!write_key.empty()) {
    std::FILE* f = std::fopen(write_key.c_str(), "wb");
    if (f == nullptr) return usage_error(fmt::format("cannot write {}", write_key));
    std::fprintf(f, "%s\n", signer->seed_hex().c_str());
    std::fclose(f);
  }

  ChainBuilder builder(*signer);
  if (append) {
    auto existing = telmir::platform::read_file(out_path);
    if (existing) {
      auto lines = telmir::platform::split_json_lines(*existing);
      if (!lines.empty()) {
        auto last = telmir::json::parse(lines.back().text);
        if (!last) return usage_error(fmt::format("last line of {}: {}", out_path, last.error()));
        if (auto hash = (*last)->root().string_member("record_hash")) {
          builder.set_last_record_hash(std::string(*hash));
        }
      }
    }
  }
  auto generated = telmir::chaingen::generate_chain(builder, options);
  if (!generated) return usage_error(generated.error());
  const std::string dir = telmir::platform::parent_path(out_path);
  if (!dir.empty()) (void)telmir::platform::create_directories(dir);
  auto written = append ? builder.append_to_file(out_path, 0) : builder.write_file(out_path);
  if (!written) return usage_error(written.error());
  return 0;
}
