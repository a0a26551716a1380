#include "support/installation.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <stdexcept>

namespace telmir::testing {
namespace {

constexpr std::string_view kGovernanceSeedHex =
    "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";

constexpr std::string_view kChainEventsSpec =
    "elements:\n"
    "  - event: opaque_artifact_approval\n"
    "    required: [event_id, timestamp_utc]\n"
    "  - event: opaque_artifact_revocation\n"
    "    required: [event_id, timestamp_utc]\n";

chaingen::GovernanceSigner make_signer() {
  auto s = chaingen::GovernanceSigner::from_seed_hex(kGovernanceSeedHex);
  if (!s) throw std::runtime_error("governance seed: " + s.error());
  return *s;
}

template <class T>
T must(Result<T> r, const char* what) {
  if (!r) throw std::runtime_error(std::string(what) + ": " + r.error());
  return std::move(*r);
}
void must(Result<void> r, const char* what) {
  if (!r) throw std::runtime_error(std::string(what) + ": " + r.error());
}

// The whole text in one write, as the proxy appends a record.
void append_in_one_write(const std::string& path, const std::string& text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  ssize_t n = ::write(fd, text.data(), text.size());
  ::close(fd);
  if (n != static_cast<ssize_t>(text.size())) throw std::runtime_error("short append " + path);
}

}  // namespace

Installation::Installation(const InstallationOptions& options)
    : dir_("telmir-install"), options_(options), chain_(make_signer()) {
  std::filesystem::create_directories(scratch());
  std::filesystem::create_directories(runtime_dir() + "/LOGS");
  proxy_ = must(chaingen::example_proxy_configuration(), "proxy configuration");
  must(chaingen::write_proxy_configuration(proxy_, policy_rules_path(), capability_registry_path()),
       "write proxy configuration");
  write_text(chain_events_spec_path(), std::string(kChainEventsSpec));
  write_text(repo_root() + "/scripts/classifier.py", "# classifier\n");
  write_text(governance_key_path(), chain_.signer().seed_hex() + "\n");

  if (!options.write_chain) return;
  chaingen::ChainOptions co;
  co.records = options.generated_records;
  co.rng_seed = options.rng_seed;
  co.policy_rules_hash = proxy_.policy_rules_hash;
  co.capability_registry_hash = proxy_.capability_registry_hash;
  must(chaingen::generate_chain(chain_, co), "generate chain");
  must(chain_.write_file(decision_chain_path()), "write chain");
}

Env Installation::env() const {
  Env e{{"ORVANTE_REPO_ROOT", repo_root()}};
  if (options_.configure_signing_key) e["ORVANTE_SIGNING_KEY_PATH"] = governance_key_path();
  return e;
}

std::string Installation::append_record(json::Node record, const chaingen::Seal& seal) {
  std::size_t first = chain_.lines().size();
  json::Node sealed = must(chain_.append(std::move(record), seal), "seal record");
  append_in_one_write(decision_chain_path(), chain_.text_from(first));
  const json::Node* h = nullptr;
  for (const auto& [k, v] : sealed.members()) {
    if (k == "record_hash") h = &v;
  }
  return h != nullptr && h->kind() == json::Kind::kString ? h->text() : std::string();
}

chaingen::DecisionSpec Installation::decision_spec() const {
  chaingen::DecisionSpec spec;
  spec.policy_rules_hash = proxy_.policy_rules_hash;
  spec.capability_registry_hash = proxy_.capability_registry_hash;
  return spec;
}

std::string Installation::append_decision(chaingen::DecisionSpec spec) {
  if (!spec.policy_rules_hash) spec.policy_rules_hash = proxy_.policy_rules_hash;
  if (!spec.capability_registry_hash)
    spec.capability_registry_hash = proxy_.capability_registry_hash;
  return append_record(chaingen::make_decision(spec));
}

}  // namespace telmir::testing
