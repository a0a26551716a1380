#pragma once

// A temporary installation in the default layout: a repository root with the proxy's policy
// rules, capability registry, chain events specification and classifier source, and below it
// the runtime directory with the governance chain (LOGS/decision-chain.jsonl), where telmir
// puts its QA chain, key and baselines. The governance chain is signed with a key whose file
// the installation also writes.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "chain_generator.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace telmir::testing {

struct InstallationOptions {
  std::size_t generated_records = 30;  // records of the generator's realistic mix
  std::uint64_t rng_seed = 7;
  bool configure_signing_key = true;  // ORVANTE_SIGNING_KEY_PATH set
  bool write_chain = true;            // false: no governance chain file at all
};

class Installation {
 public:
  explicit Installation(const InstallationOptions& options = {});

  const std::string& root() const noexcept { return dir_.path(); }
  std::string repo_root() const { return dir_ / "repo"; }
  std::string runtime_dir() const { return repo_root() + "/gov_runtime"; }
  std::string policy_rules_path() const { return repo_root() + "/capabilities/policy-rules.json"; }
  std::string capability_registry_path() const {
    return repo_root() + "/capabilities/capability-registry.json";
  }
  std::string chain_events_spec_path() const { return repo_root() + "/specs/chain-events-v1.yaml"; }
  std::string decision_chain_path() const { return runtime_dir() + "/LOGS/decision-chain.jsonl"; }
  std::string qa_chain_path() const { return runtime_dir() + "/LOGS/qa-chain.jsonl"; }
  std::string qa_key_path() const { return runtime_dir() + "/.orvante-qa-signing-key.pem"; }
  std::string spc_baseline_path() const { return runtime_dir() + "/telmir/spc-baselines.json"; }
  std::string governance_key_path() const { return root() + "/governance-signing-key.hex"; }
  // A directory for the program's output files and anything else the test needs.
  std::string scratch() const { return dir_ / "scratch"; }

  const chaingen::ProxyConfiguration& proxy() const noexcept { return proxy_; }
  chaingen::ChainBuilder& chain() noexcept { return chain_; }

  // The variables that point telmir at this installation (the repository root and, when
  // configured, the governance signing key); tests add their own.
  Env env() const;

  // Appends a record to the governance chain as the proxy does (one write of the whole line)
  // and returns its record_hash.
  std::string append_record(json::Node record, const chaingen::Seal& seal = {});
  // A decision recording the proxy's current digests.
  std::string append_decision(chaingen::DecisionSpec spec = {});
  // The decision spec with this installation's digests filled in.
  chaingen::DecisionSpec decision_spec() const;

 private:
  TempDir dir_;
  InstallationOptions options_;
  chaingen::ProxyConfiguration proxy_;
  chaingen::ChainBuilder chain_;
};

}  // namespace telmir::testing
