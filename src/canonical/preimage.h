#pragma once

// Record preimages (what a record's hash and signature cover) and the policy hash. All are pure
// functions of a JSON value; none changes its argument.

#include <string>

#include "json/value.h"
#include "platform/result.h"

namespace telmir::canonical {

// Canonical text of the record with `record_hash` set to null (added when missing) and
// `signature` / `signing_key_id` set to null where present.
// Errors: "record hash preimage requires an object", "unsupported JSON number".
Result<std::string> record_hash_preimage(const json::Value& record);
Result<std::string> record_hash_preimage(const json::Node& record);

// Digest string of the record hash preimage.
Result<std::string> record_hash(const json::Value& record);
Result<std::string> record_hash(const json::Node& record);

// The canonical text a governance record's signature covers: the record hash preimage for event
// records (any `event_type`), non-objects and records that are not decisions; for decision
// records (a string `record_type` or a `policy_decision` key) only their stable content.
Result<std::string> signature_preimage(const json::Value& record);
Result<std::string> signature_preimage(const json::Node& record);

// Digest string of the policy document without its top-level keys that begin with "_".
// Errors: "policy hash requires an object", "unsupported JSON number".
Result<std::string> policy_hash(const json::Value& document);
Result<std::string> policy_hash(const json::Node& document);

}  // namespace telmir::canonical
