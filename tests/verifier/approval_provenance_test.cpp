#include <functional>
#include <string>

#include "verifier_fixture.h"

namespace telmir::verifier_test {
namespace {

using chaingen::DecisionSpec;

constexpr const char* kOverrideDetail =
    "decision used approval override but did not reference an approval event";

DecisionSpec approved(std::optional<std::string> reference,
                      std::string at = "2026-03-01T11:00:00Z") {
  DecisionSpec spec;
  spec.matched_rule = "approved_lookup";
  spec.approval_event_id = std::move(reference);
  spec.timestamp_utc = std::move(at);
  return spec;
}

json::Node approval(std::string id, std::string at = "2026-03-01T10:00:00Z") {
  return chaingen::make_approval(std::move(id), "op-1", std::move(at));
}

struct ApprovalCase {
  const char* behaviour;
  std::uint64_t max_age;
  // Builds the chain; the last decision record is the one examined.
  std::function<void(Installation&)> build;
  Expect expect;
};

const ApprovalCase kApprovalCases[] = {
    {"override without reference fails", 86400,
     [](Installation& in) { in.add_decision(approved(std::nullopt)); },
     Expect::fails(kOverrideDetail, "CR-CRIT-003")},
    {"another rule without reference passes", 86400,
     [](Installation& in) {
       DecisionSpec spec = approved(std::nullopt);
       spec.matched_rule = "allow_read_workspace";
       in.add_decision(spec);
     },
     Expect::passes()},
    {"a non-text approval_event_id ends the lookup even with an approval_id", 86400,
     [](Installation& in) {
       in.add(approval("A1"));
       json::Node record = chaingen::make_decision(approved(std::nullopt));
       record.set("approval_event_id", json::Node::from_u64(5));
       record.set("approval_id", json::Node("A1"));
       in.add(std::move(record));
     },
     Expect::fails(kOverrideDetail, "CR-CRIT-003")},
    {"approval_id is read when approval_event_id is absent", 86400,
     [](Installation& in) {
       in.add(approval("A1"));
       json::Node record = chaingen::make_decision(approved(std::nullopt));
       record.set("approval_id", json::Node("A1"));
       in.add(std::move(record));
     },
     Expect::passes()},
    {"approval found by its event_id", 86400,
     [](Installation& in) {
       in.add(approval("A1"));
       in.add_decision(approved("A1"));
     },
     Expect::passes()},
    {"approval found by its approval_id", 86400,
     [](Installation& in) {
       in.add(chaingen::make_approval("E7", "op-1", "2026-03-01T10:00:00Z", "A1"));
       in.add_decision(approved("A1"));
     },
     Expect::passes()},
    {"approval found only by its record_hash", 86400,
     [](Installation& in) {
       json::Node event = in.add(approval("E7"));
       in.add_decision(approved(event.find("record_hash")->text()));
     },
     Expect::passes()},
    {"approval written after the decision is found", 86400,
     [](Installation& in) {
       in.add_decision(approved("A1"));
       in.add(approval("A1", "2026-03-01T11:30:00Z"));
     },
     Expect::passes()},
    {"reference without approval fails", 86400,
     [](Installation& in) {
       in.add(approval("A1"));
       in.add_decision(approved("A9"));
     },
     Expect::fails("approval A9 not found in chain history", "CR-CRIT-003")},
    {"an event that is not an approval does not count", 86400,
     [](Installation& in) {
       in.add(chaingen::make_revocation("A1", "A0", "op-1", "2026-03-01T10:00:00Z"));
       in.add_decision(approved("A1"));
     },
     Expect::fails("approval A1 not found in chain history", "CR-CRIT-003")},
    {"an approval named only by record_type does not count", 86400,
     [](Installation& in) {
       json::Node event = json::Node::object();
       event.set("record_type", json::Node("opaque_artifact_approval"));
       event.set("event_id", json::Node("A1"));
       in.add(std::move(event));
       in.add_decision(approved("A1"));
     },
     Expect::fails("approval A1 not found in chain history", "CR-CRIT-003")},
    {"revocation written after the decision still fails it", 86400,
     [](Installation& in) {
       in.add(approval("A1"));
       in.add_decision(approved("A1"));
       in.add(chaingen::make_revocation("R1", "A1", "op-1", "2026-03-01T12:00:00Z"));
     },
     Expect::fails("approval A1 was revoked before decision verification", "CR-CRIT-003")},
    {"revocation naming the reference as its event_id counts", 86400,
     [](Installation& in) {
       in.add(approval("A1"));
       in.add(chaingen::make_revocation("A1", "other", "op-1", "2026-03-01T10:30:00Z"));
       in.add_decision(approved("A1"));
     },
     Expect::fails("approval A1 was revoked before decision verification", "CR-CRIT-003")},
    {"revocation before the approval does not count", 86400,
     [](Installation& in) {
       in.add(chaingen::make_revocation("R1", "A1", "op-1", "2026-03-01T09:00:00Z"));
       in.add(approval("A1"));
       in.add_decision(approved("A1"));
     },
     Expect::passes()},
    {"age equal to the maximum passes", 3600,
     [](Installation& in) {
       in.add(approval("A1"));
       in.add_decision(approved("A1", "2026-03-01T11:00:00Z"));
     },
     Expect::passes()},
    {"age one second over the maximum fails", 3600,
     [](Installation& in) {
       in.add(approval("A1"));
       in.add_decision(approved("A1", "2026-03-01T11:00:01Z"));
     },
     Expect::fails("approval A1 exceeded maximum age: 3601s", "CR-CRIT-007")},
    {"maximum age 0 switches the age test off", 0,
     [](Installation& in) {
       in.add(approval("A1"));
       in.add_decision(approved("A1", "2026-03-01T11:00:01Z"));
     },
     Expect::passes()},
    {"the first approval with the reference gives the age", 3600,
     [](Installation& in) {
       in.add(approval("A1", "2026-03-01T08:00:00Z"));
       in.add(approval("A1", "2026-03-01T10:30:00Z"));
       in.add_decision(approved("A1", "2026-03-01T11:00:01Z"));
     },
     Expect::fails("approval A1 exceeded maximum age: 10801s", "CR-CRIT-007")},
    {"ages are compared in UTC", 3600,
     [](Installation& in) {
       in.add(approval("A1", "2026-03-01T12:00:00+02:00"));
       in.add_decision(approved("A1", "2026-03-01T11:00:01Z"));
     },
     Expect::fails("approval A1 exceeded maximum age: 3601s", "CR-CRIT-007")},
    {"a decision before its approval has age 0", 1,
     [](Installation& in) {
       in.add(approval("A1", "2026-03-01T12:00:00Z"));
       in.add_decision(approved("A1", "2026-03-01T11:00:00Z"));
     },
     Expect::passes()},
    {"an approval without a readable timestamp passes the age test", 1,
     [](Installation& in) {
       in.add(approval("A1", "yesterday"));
       in.add_decision(approved("A1", "2026-03-01T11:00:00Z"));
     },
     Expect::passes()},
};

TEST(ApprovalProvenance, ReferenceApprovalRevocationAndAge) {
  for (const ApprovalCase& c : kApprovalCases) {
    SCOPED_TRACE(c.behaviour);
    Installation in;
    in.config.approval_max_age_seconds = c.max_age;
    c.build(in);
    RunOutcome out = in.run();
    ASSERT_TRUE(out.verified) << out.verified.error();
    std::vector<json::Record> verifications = out.verifications();
    ASSERT_FALSE(verifications.empty());
    expect_check(verifications.back(), "approval_provenance", c.expect);
  }
}

}  // namespace
}  // namespace telmir::verifier_test
