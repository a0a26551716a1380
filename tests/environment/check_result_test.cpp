// Check statuses, the JSON form of a check result and the checks object.

#include <gtest/gtest.h>

#include <limits>

#include "canonical/canonical.h"
#include "environment/environment.h"

namespace telmir::environment {
namespace {

std::string canonical(const json::Node& node) {
  Result<std::string> text = canonical::canonical_json(node);
  EXPECT_TRUE(text.has_value());
  return text.value_or("");
}

TEST(CheckStatusTexts, JsonAndTitleForms) {
  struct Case {
    CheckStatus status;
    const char* json;
    const char* title;
  };
  const Case cases[] = {{CheckStatus::kPass, "pass", "Pass"},
                        {CheckStatus::kFail, "fail", "Fail"},
                        {CheckStatus::kWarning, "warning", "Warning"},
                        {CheckStatus::kNotApplicable, "notapplicable", "NotApplicable"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    EXPECT_EQ(status_json_text(c.status), c.json);
    EXPECT_EQ(status_title_text(c.status), c.title);
  }
}

TEST(EnvCheckJson, BarePassIsStatusOnly) {
  Result<json::Node> node = env_check_to_json(EnvCheck::pass());
  ASSERT_TRUE(node.has_value());
  EXPECT_EQ(canonical(*node), R"({"status":"pass"})");
}

TEST(EnvCheckJson, FailCarriesDetailSeverityAndExtrasInOrder) {
  EnvCheck check = EnvCheck::failure("high", "disk_available_mb below threshold: 99");
  check.extra.emplace("disk_available_mb", json::Node::from_u64(99));
  Result<json::Node> node = env_check_to_json(check);
  ASSERT_TRUE(node.has_value());
  const auto& members = node->members();
  ASSERT_EQ(members.size(), 4u);
  EXPECT_EQ(members[0].first, "status");
  EXPECT_EQ(members[1].first, "detail");
  EXPECT_EQ(members[2].first, "severity");
  EXPECT_EQ(members[3].first, "disk_available_mb");
  EXPECT_EQ(canonical(*node),
            R"({"detail":"disk_available_mb below threshold: 99","disk_available_mb":99,)"
            R"("severity":"high","status":"fail"})");
}

TEST(EnvCheckJson, ExtrasFollowInNameOrder) {
  EnvCheck check = EnvCheck::pass();
  check.extra.emplace("zeta", json::Node("z"));
  check.extra.emplace("alpha", json::Node::from_u64(1));
  Result<json::Node> node = env_check_to_json(check);
  ASSERT_TRUE(node.has_value());
  ASSERT_EQ(node->members().size(), 3u);
  EXPECT_EQ(node->members()[1].first, "alpha");
  EXPECT_EQ(node->members()[2].first, "zeta");
}

TEST(EnvCheckJson, NotApplicableHasDetailAndNoSeverity) {
  Result<json::Node> node =
      env_check_to_json(EnvCheck::not_applicable("GOV_SIGNING_KEY_PATH is not configured"));
  ASSERT_TRUE(node.has_value());
  EXPECT_EQ(canonical(*node),
            R"({"detail":"GOV_SIGNING_KEY_PATH is not configured","status":"notapplicable"})");
}

TEST(ChecksObject, UnrenderableCheckBecomesSerializationError) {
  Checks checks;
  checks["ENV-002"] = EnvCheck::failure("high", "bad byte \xff");
  EnvCheck odd = EnvCheck::pass();
  odd.extra.emplace("value", json::Node::from_double(std::numeric_limits<double>::infinity()));
  checks["ENV-010"] = odd;
  checks["ENV-001"] = EnvCheck::pass();
  json::Node object = checks_object(checks);
  EXPECT_EQ(canonical(object), R"({"ENV-001":{"status":"pass"},"ENV-002":"serialization_error",)"
                               R"("ENV-010":"serialization_error"})");
  EXPECT_FALSE(env_check_to_json(checks["ENV-002"]).has_value());
}

TEST(ChecksObject, EmptySetIsEmptyObject) { EXPECT_EQ(canonical(checks_object({})), "{}"); }

}  // namespace
}  // namespace telmir::environment
