// The snapshot as a whole: evaluation, conditions, verdict, startup gate, merging, union and
// fingerprint, and the host checks (keys, disk space, classifier, proxy process).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "environment/environment.h"
#include "environment_fixture.h"

namespace telmir::environment {
namespace {

using ::testing::ElementsAre;
using testing::Installation;
using ::testing::IsEmpty;
using testing::write_text;

class Snapshot : public Installation {};

TEST_F(Snapshot, HealthyWithoutKeyPathOrSupervisorStatus) {
  EnvironmentSnapshot s = snapshot();
  ASSERT_EQ(s.checks.size(), 11u);
  std::vector<std::string> names;
  for (const auto& [name, check] : s.checks) {
    names.push_back(name);
    SCOPED_TRACE(name);
    if (name == "ENV-002" || name == "ENV-009") {
      EXPECT_EQ(check.status, CheckStatus::kNotApplicable);
      EXPECT_FALSE(check.severity.has_value());
    } else {
      EXPECT_EQ(check.status, CheckStatus::kPass) << check.detail.value_or("");
    }
  }
  EXPECT_EQ(names.front(), "ENV-001");
  EXPECT_EQ(names.back(), "ENV-011");
  EXPECT_EQ(s.checks["ENV-002"].detail, "GOV_SIGNING_KEY_PATH is not configured");
  EXPECT_EQ(s.checks["ENV-009"].detail,
            "proxy process check deferred until supervisor status exists");
  EXPECT_EQ(s.policy_rules_hash, policy_hash_);
  EXPECT_EQ(s.capability_registry_hash, registry_hash_);
  EXPECT_THAT(s.active_conditions, IsEmpty());
  EXPECT_EQ(s.overall, "healthy");
  EXPECT_THAT(startup_gate_reasons(s), IsEmpty());
  EXPECT_EQ(s.checks["ENV-006"].extra.at("active_approval_events").text(), "1");
  EXPECT_EQ(s.checks["ENV-011"].extra.at("mode").text(), "production");
}

TEST_F(Snapshot, RequiredProxyWithoutStatusBlocksStartup) {
  config_.require_proxy_running = true;
  EnvironmentSnapshot s = snapshot();
  const EnvCheck& proxy = s.checks["ENV-009"];
  EXPECT_EQ(proxy.status, CheckStatus::kFail);
  EXPECT_EQ(proxy.severity, "critical");
  EXPECT_THAT(s.active_conditions, ElementsAre("CR-CRIT-005:ENV-009"));
  EXPECT_EQ(s.overall, "unhealthy");
  EXPECT_THAT(startup_gate_reasons(s), ElementsAre("ENV-009: proxy process status unavailable and "
                                                   "ORVANTE_TELMIR_REQUIRE_PROXY_RUNNING=true"));
}

TEST_F(Snapshot, ProxyRunningOnlyForTheLiteralTrue) {
  struct Case {
    const char* text;
    CheckStatus status;
    const char* detail;
  };
  const Case cases[] = {
      {R"({"proxy":{"running":true}})", CheckStatus::kPass, nullptr},
      {R"({"proxy":{"running":"true"}})", CheckStatus::kFail,
       "supervisor reports proxy is not running"},
      {R"({"proxy":{"running":1}})", CheckStatus::kFail, "supervisor reports proxy is not running"},
      {R"({"proxy":{"running":false}})", CheckStatus::kFail,
       "supervisor reports proxy is not running"},
      {R"({"proxy":{"running":null}})", CheckStatus::kFail,
       "supervisor reports proxy is not running"},
      {R"({"proxy":{}})", CheckStatus::kFail, "supervisor reports proxy is not running"},
      {R"({"proxy":true})", CheckStatus::kFail, "supervisor reports proxy is not running"},
      {R"([{"proxy":{"running":true}}])", CheckStatus::kFail,
       "supervisor reports proxy is not running"},
  };
  std::string path = config_.runtime_dir + "/supervisor/services.json";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    write_text(path, c.text);
    EnvCheck check = check_proxy_process(config_.runtime_dir, false);
    EXPECT_EQ(check.status, c.status);
    if (c.detail == nullptr) {
      EXPECT_FALSE(check.detail.has_value());
    } else {
      EXPECT_EQ(check.detail, c.detail);
      EXPECT_EQ(check.severity, "critical");
    }
  }
}

TEST_F(Snapshot, UnparsableSupervisorStatusFailsCritically) {
  write_text(config_.runtime_dir + "/supervisor/services.json", "{\"proxy\":");
  EnvCheck check = check_proxy_process(config_.runtime_dir, false);
  EXPECT_EQ(check.status, CheckStatus::kFail);
  EXPECT_EQ(check.severity, "critical");
  EXPECT_TRUE(check.detail->starts_with("invalid supervisor services.json: ")) << *check.detail;
}

TEST_F(Snapshot, SupervisorStatusNotUtf8IsTreatedAsUnavailable) {
  write_text(config_.runtime_dir + "/supervisor/services.json", "{\"proxy\":\"\xff\"}");
  EXPECT_EQ(check_proxy_process(config_.runtime_dir, false).status, CheckStatus::kNotApplicable);
  EXPECT_EQ(check_proxy_process(config_.runtime_dir, true).severity, "critical");
}

TEST_F(Snapshot, PolicyDigestMismatchRaisesBothCodesFirst) {
  // The proxy recorded another digest, and the registry check fails too.
  json::Node record = testing::decision(9);
  record.set("policy_rules_hash", "sha256:" + std::string(64, '0'));
  record.set("capability_registry_hash", "sha256:" + std::string(64, '1'));
  governance_.add(std::move(record));
  write_governance();
  config_.require_proxy_running = true;
  EnvironmentSnapshot s = snapshot();
  EXPECT_THAT(s.active_conditions, ElementsAre("CR-CRIT-001", "CR-CRIT-004", "CR-CRIT-005:ENV-001",
                                               "CR-CRIT-005:ENV-009"));
  EXPECT_EQ(s.checks["ENV-001"].detail, "policy_rules_hash mismatch: current=" + policy_hash_ +
                                            ", proxy_chain=sha256:" + std::string(64, '0'));
  EXPECT_EQ(s.checks["ENV-010"].severity, "high");
  // Two critical failures, in name order.
  std::vector<std::string> reasons = startup_gate_reasons(s);
  ASSERT_EQ(reasons.size(), 2u);
  EXPECT_TRUE(reasons[0].starts_with("ENV-001: policy_rules_hash mismatch: current="));
  EXPECT_TRUE(reasons[1].starts_with("ENV-009: "));
}

TEST_F(Snapshot, DeveloperPostureIsHighAndDoesNotGate) {
  write_text(config_.capability_registry_path, R"({"governance_posture":"developer"})");
  governance_ = {};
  write_governance();
  std::filesystem::remove(config_.decision_chain_path);
  EnvironmentSnapshot s = snapshot();
  EXPECT_EQ(s.checks["ENV-011"].status, CheckStatus::kFail);
  EXPECT_EQ(s.checks["ENV-011"].severity, "high");
  EXPECT_THAT(s.active_conditions, ElementsAre("CR-HIGH-003"));
  EXPECT_EQ(s.overall, "unhealthy");
  EXPECT_THAT(startup_gate_reasons(s), IsEmpty());
}

TEST_F(Snapshot, DiskThresholdIsOneHundredMegabytes) {
  EnvCheck low = check_disk_space(config_.runtime_dir, testing::space_of_mb(99));
  EXPECT_EQ(low.status, CheckStatus::kFail);
  EXPECT_EQ(low.severity, "high");
  EXPECT_EQ(low.detail, "disk_available_mb below threshold: 99");
  EXPECT_EQ(low.extra.at("disk_available_mb").text(), "99");
  EXPECT_EQ(low.extra.at("disk_available_mb").kind(), json::Kind::kNumber);

  EnvCheck enough = check_disk_space(config_.runtime_dir, testing::space_of_mb(100));
  EXPECT_EQ(enough.status, CheckStatus::kPass);
  EXPECT_FALSE(enough.detail.has_value());
  EXPECT_EQ(enough.extra.at("disk_available_mb").text(), "100");

  // Just under 100 MB in bytes still rounds down to 99.
  auto almost = [](const std::string&) -> Result<FileSystemSpace> {
    return FileSystemSpace{100 * 1048576 - 1, 1};
  };
  EXPECT_EQ(check_disk_space(config_.runtime_dir, almost).detail,
            "disk_available_mb below threshold: 99");
}

TEST_F(Snapshot, DiskProductDoesNotOverflow) {
  auto huge = [](const std::string&) -> Result<FileSystemSpace> {
    return FileSystemSpace{std::uint64_t{1} << 40, std::uint64_t{1} << 30};  // 2^70 bytes
  };
  EnvCheck check = check_disk_space(config_.runtime_dir, huge);
  EXPECT_EQ(check.status, CheckStatus::kPass);
  EXPECT_EQ(check.extra.at("disk_available_mb").text(), std::to_string(std::uint64_t{1} << 50));
}

TEST_F(Snapshot, DiskSpaceMeasuredAtNearestExistingAncestor) {
  std::string queried;
  auto record = [&](const std::string& path) -> Result<FileSystemSpace> {
    queried = path;
    return FileSystemSpace{1 << 20, 4096};
  };
  EnvCheck check = check_disk_space(root_ + "/not/yet/there", record);
  EXPECT_EQ(check.status, CheckStatus::kPass);
  EXPECT_EQ(queried, root_);
  EXPECT_EQ(nearest_existing_ancestor(root_ + "/run/LOGS/none/"), root_ + "/run/LOGS");
  EXPECT_EQ(nearest_existing_ancestor("/"), "/");
}

TEST_F(Snapshot, RelativeRuntimeDirWithoutAnyExistingPartIsEmpty) {
  const std::string relative = "telmir-no-such-dir-7f3a/sub/dir";
  EXPECT_EQ(nearest_existing_ancestor(relative), "");
  // With the real query the empty path fails.
  EnvCheck check = check_disk_space(relative, statvfs_space);
  EXPECT_EQ(check.status, CheckStatus::kFail);
  EXPECT_EQ(check.severity, "high");
  EXPECT_EQ(check.detail, "statvfs failed for ");
  EXPECT_TRUE(check.extra.empty());
}

TEST_F(Snapshot, ClassifierMustBeARegularFile) {
  EXPECT_EQ(check_classifier_source(config_.repo_root).status, CheckStatus::kPass);
  std::string path = config_.repo_root + "/scripts/classifier.py";
  std::filesystem::remove(path);
  std::filesystem::create_directories(path);
  EnvCheck check = check_classifier_source(config_.repo_root);
  EXPECT_EQ(check.status, CheckStatus::kFail);
  EXPECT_EQ(check.severity, "high");
  EXPECT_EQ(check.detail, "classifier source not found: " + path);
  std::filesystem::remove(path);
  EXPECT_EQ(check_classifier_source(config_.repo_root).detail,
            "classifier source not found: " + path);
}

TEST_F(Snapshot, GovernanceKeyIdentifierOrHighFailure) {
  std::string path = root_ + "/gov.key";
  write_text(path, std::string(64, 'a') + "\n");
  EnvCheck check = check_governance_signing_key(path);
  EXPECT_EQ(check.status, CheckStatus::kPass);
  EXPECT_EQ(check.extra.at("fingerprint").text(), *key::governance_key_id(path));
  EXPECT_TRUE(check.extra.at("fingerprint").text().starts_with("ed25519:"));

  write_text(path, "not a key");
  EnvCheck broken = check_governance_signing_key(path);
  EXPECT_EQ(broken.status, CheckStatus::kFail);
  EXPECT_EQ(broken.severity, "high");
  EXPECT_EQ(broken.detail,
            "unsupported signing key format; expected PKCS#8 PEM or 32 byte seed hex");
  EXPECT_TRUE(broken.extra.empty());
}

TEST_F(Snapshot, QaKeyIsLoadedNeverCreated) {
  std::filesystem::remove(config_.qa_signing_key_path);
  EnvironmentSnapshot s = snapshot();
  const EnvCheck& check = s.checks["ENV-003"];
  EXPECT_EQ(check.status, CheckStatus::kFail);
  EXPECT_EQ(check.severity, "critical");
  EXPECT_TRUE(check.detail->starts_with("failed to read QA signing key " +
                                        config_.qa_signing_key_path + ": "));
  EXPECT_FALSE(std::filesystem::exists(config_.qa_signing_key_path));
  EXPECT_THAT(startup_gate_reasons(s), ElementsAre("ENV-003: " + *check.detail));
}

TEST_F(Snapshot, MergeAddsCodesOnceAndMakesUnhealthy) {
  EnvironmentSnapshot s = snapshot();
  ASSERT_EQ(s.overall, "healthy");
  EnvironmentSnapshot merged = merge_conditions(s, {"CR-CRIT-005"});
  EXPECT_THAT(merged.active_conditions, ElementsAre("CR-CRIT-005"));
  EXPECT_EQ(merged.overall, "unhealthy");
  EnvironmentSnapshot again = merge_conditions(merged, {"CR-CRIT-005"});
  EXPECT_THAT(again.active_conditions, ElementsAre("CR-CRIT-005"));
  EXPECT_EQ(again.overall, "unhealthy");
  EXPECT_EQ(snapshot_fingerprint(again), snapshot_fingerprint(merged));
  // Check results are untouched, and an empty list changes nothing.
  EXPECT_EQ(checks_object(merged.checks).members().size(), 11u);
  EXPECT_EQ(merge_conditions(s, {}).overall, "healthy");
}

TEST(Conditions, UnionKeepsFirstAppearance) {
  EXPECT_THAT(union_conditions({"A", "B"}, {"B", "C"}), ElementsAre("A", "B", "C"));
  EXPECT_THAT(union_conditions({"B", "B"}, {}), ElementsAre("B"));
  EXPECT_THAT(union_conditions({}, {"C", "A", "C"}), ElementsAre("C", "A"));
}

TEST_F(Snapshot, FingerprintIgnoresFreeSpaceAndExtras) {
  EnvironmentSnapshot roomy = snapshot(5000);
  EnvironmentSnapshot tighter = snapshot(700);
  EXPECT_EQ(snapshot_fingerprint(roomy), snapshot_fingerprint(tighter));

  // A new approval changes only an extra value.
  governance_.add(testing::event("opaque_artifact_approval", 10));
  write_governance();
  EXPECT_EQ(snapshot_fingerprint(snapshot()), snapshot_fingerprint(roomy));

  // Crossing the threshold changes status and detail.
  EXPECT_NE(snapshot_fingerprint(snapshot(99)), snapshot_fingerprint(roomy));
  EXPECT_NE(snapshot_fingerprint(merge_conditions(roomy, {"X"})), snapshot_fingerprint(roomy));
}

TEST(Fingerprint, JoinsDigestsVerdictConditionsAndChecks) {
  EnvironmentSnapshot s;
  s.policy_rules_hash = "sha256:p";
  s.capability_registry_hash = "error:gone";
  s.overall = "unhealthy";
  s.active_conditions = {"CR-CRIT-001", "CR-HIGH-003"};
  s.checks["ENV-001"] = EnvCheck::failure("critical", "say \"hi\"\n");
  s.checks["ENV-002"] = EnvCheck::not_applicable("n/a");
  EnvCheck pass = EnvCheck::pass();
  pass.extra.emplace("disk_available_mb", json::Node::from_u64(7));
  s.checks["ENV-010"] = pass;
  EXPECT_EQ(snapshot_fingerprint(s),
            "sha256:p|error:gone|unhealthy|CR-CRIT-001,CR-HIGH-003"
            "|ENV-001:Fail:Some(\"say \\\"hi\\\"\\n\")|ENV-002:NotApplicable:Some(\"n/a\")"
            "|ENV-010:Pass:None");
  s.active_conditions.clear();
  s.checks.clear();
  EXPECT_EQ(snapshot_fingerprint(s), "sha256:p|error:gone|unhealthy|");
}

TEST(StartupGate, CriticalFailureWithoutDetailReadsFailed) {
  EnvironmentSnapshot s;
  EnvCheck bare;
  bare.status = CheckStatus::kFail;
  bare.severity = "critical";
  s.checks["ENV-004"] = bare;
  s.checks["ENV-006"] = EnvCheck::failure("high", "ignored");
  s.checks["ENV-005"] = EnvCheck::failure("Critical", "not exactly critical");
  EXPECT_THAT(startup_gate_reasons(s), ElementsAre("ENV-004: failed"));
}

}  // namespace
}  // namespace telmir::environment
