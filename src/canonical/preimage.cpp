#include "canonical/preimage.h"

#include <initializer_list>
#include <string_view>
#include <vector>

#include "canonical/canonical.h"

namespace telmir::canonical {

namespace {

// The rules are applied to shallow views: a changed level gets a member array of its own whose
// values still point into the original record, so nothing below it is copied.

constexpr std::string_view kPreimageNeedsObject = "record hash preimage requires an object";
constexpr std::string_view kPolicyNeedsObject = "policy hash requires an object";
constexpr std::string_view kPathRedacted = "<path-redacted>";

bool is_one_of(std::string_view key, std::initializer_list<std::string_view> keys) {
  for (std::string_view k : keys) {
    if (key == k) return true;
  }
  return false;
}

json::Value object_of(const std::vector<json::Member>& members) {
  return json::Value::make_object(members.data(), members.size());
}

// `value` without the members named in `keys`, its storage in `out`.
json::Value without_keys(const json::Value& value, std::initializer_list<std::string_view> keys,
                         std::vector<json::Member>& out) {
  out.reserve(value.members().size());
  for (const json::Member& m : value.members()) {
    if (!is_one_of(m.key, keys)) out.push_back(m);
  }
  return object_of(out);
}

Result<std::string> render(const json::Value& value) { return canonical_json(value); }

Result<std::string> digest_of(const json::Value& value) {
  Result<std::string> text = canonical_json(value);
  if (!text) return fail(std::move(text.error()));
  return sha256_digest(*text);
}

Result<std::string> decision_signature_preimage(const json::Value& record) {
  std::vector<json::Member> top;
  top.reserve(record.members().size());

  // policy_reasons: each object element keeps only its code.
  std::vector<json::Value> reasons;
  std::vector<json::Member> reason_codes;
  // Filtered second-level objects.
  std::vector<json::Member> tool_args;
  std::vector<json::Member> policy_inputs;
  std::vector<json::Member> normalized_args;
  // intent.expected_outputs with path values redacted.
  std::vector<json::Member> intent;
  std::vector<json::Value> outputs;
  std::vector<std::vector<json::Member>> redacted_outputs;

  for (const json::Member& m : record.members()) {
    if (is_one_of(m.key, {"timestamp_utc", "session_id", "request_id", "process_id", "record_hash",
                          "signature", "signing_key_id", "request_bytes_b64", "evidence_refs",
                          "untrusted_inputs"})) {
      continue;
    }
    json::Member kept = m;
    if (m.key == "policy_reasons" && m.value.is_array()) {
      const auto items = m.value.items();
      reasons.reserve(items.size());
      reason_codes.reserve(items.size());  // pointers into it must stay valid
      for (const json::Value& item : items) {
        if (!item.is_object()) {
          reasons.push_back(item);
          continue;
        }
        const json::Value* code = item.find("code");
        reason_codes.push_back({"code", code != nullptr ? *code : json::Value()});
        reasons.push_back(json::Value::make_object(&reason_codes.back(), 1));
      }
      kept.value = json::Value::make_array(reasons.data(), reasons.size());
    } else if (m.key == "tool_args_redacted" && m.value.is_object()) {
      kept.value = without_keys(m.value, {"path", "canonical_path"}, tool_args);
    } else if (m.key == "policy_inputs" && m.value.is_object()) {
      kept.value = without_keys(m.value, {"canonical_path", "allow_base_dirs"}, policy_inputs);
    } else if (m.key == "normalized_args" && m.value.is_object()) {
      kept.value = without_keys(
          m.value, {"canonical_path", "canonical_src_path", "canonical_dst_path"}, normalized_args);
    } else if (m.key == "intent" && m.value.is_object()) {
      const json::Value* expected = m.value.find("expected_outputs");
      if (expected != nullptr && expected->is_array()) {
        const auto items = expected->items();
        outputs.reserve(items.size());
        redacted_outputs.reserve(items.size());  // inner vectors are referenced by pointer
        for (const json::Value& item : items) {
          const std::optional<std::string_view> ref = item.string_member("ref");
          const bool path_ref = ref && ref->size() >= 5 && ref->ends_with(":path");
          if (!item.is_object() || !path_ref || item.find("value") == nullptr) {
            outputs.push_back(item);
            continue;
          }
          std::vector<json::Member>& members =
              redacted_outputs.emplace_back(item.members().begin(), item.members().end());
          for (json::Member& om : members) {
            if (om.key == "value") om.value = json::Value::make_string(kPathRedacted);
          }
          outputs.push_back(object_of(members));
        }
        intent.assign(m.value.members().begin(), m.value.members().end());
        for (json::Member& im : intent) {
          if (im.key == "expected_outputs") {
            im.value = json::Value::make_array(outputs.data(), outputs.size());
          }
        }
        kept.value = object_of(intent);
      }
    }
    top.push_back(kept);
  }
  return render(object_of(top));
}

template <class F>
auto with_frozen(const json::Node& node, F f) {
  const json::Record doc = json::freeze(node);
  return f(doc->root());
}

}  // namespace

Result<std::string> record_hash_preimage(const json::Value& record) {
  if (!record.is_object()) return fail(std::string(kPreimageNeedsObject));
  std::vector<json::Member> members;
  members.reserve(record.members().size() + 1);
  bool has_record_hash = false;
  for (json::Member m : record.members()) {
    if (m.key == "record_hash") {
      has_record_hash = true;
      m.value = json::Value();
    } else if (m.key == "signature" || m.key == "signing_key_id") {
      m.value = json::Value();
    }
    members.push_back(m);
  }
  // A record without record_hash gets one, null, so the preimage is the same before and after
  // the hash is filled in.
  if (!has_record_hash) members.push_back({"record_hash", json::Value()});
  return render(object_of(members));
}

Result<std::string> record_hash(const json::Value& record) {
  Result<std::string> preimage = record_hash_preimage(record);
  if (!preimage) return fail(std::move(preimage.error()));
  return sha256_digest(*preimage);
}

Result<std::string> signature_preimage(const json::Value& record) {
  if (!record.is_object() || record.find("event_type") != nullptr) {
    return record_hash_preimage(record);
  }
  const json::Value* record_type = record.find("record_type");
  const bool decision = (record_type != nullptr && record_type->is_string()) ||
                        record.find("policy_decision") != nullptr;
  if (!decision) return record_hash_preimage(record);
  return decision_signature_preimage(record);
}

Result<std::string> policy_hash(const json::Value& document) {
  if (!document.is_object()) return fail(std::string(kPolicyNeedsObject));
  std::vector<json::Member> members;
  members.reserve(document.members().size());
  for (const json::Member& m : document.members()) {
    if (!m.key.starts_with('_')) members.push_back(m);
  }
  return digest_of(object_of(members));
}

Result<std::string> record_hash_preimage(const json::Node& record) {
  return with_frozen(record, [](const json::Value& v) { return record_hash_preimage(v); });
}
Result<std::string> record_hash(const json::Node& record) {
  return with_frozen(record, [](const json::Value& v) { return record_hash(v); });
}
Result<std::string> signature_preimage(const json::Node& record) {
  return with_frozen(record, [](const json::Value& v) { return signature_preimage(v); });
}
Result<std::string> policy_hash(const json::Node& document) {
  return with_frozen(document, [](const json::Value& v) { return policy_hash(v); });
}

}  // namespace telmir::canonical
