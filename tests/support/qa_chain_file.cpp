#include "support/qa_chain_file.h"

#include <fmt/format.h>

#include <stdexcept>

#include "canonical/canonical.h"
#include "canonical/preimage.h"
#include "key/key.h"
#include "support/temp_dir.h"

namespace telmir::testing {
namespace {

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> out;
  while (!text.empty()) {
    auto lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    if (line.find_first_not_of(" \t\r") != std::string_view::npos) out.push_back(line);
    if (lf == std::string_view::npos) break;
    text.remove_prefix(lf + 1);
  }
  return out;
}

}  // namespace

std::vector<json::Record> read_qa_records(const std::string& path) {
  std::string text = read_text(path);
  // A line still being written by a running service is left for the next read.
  auto end = text.rfind('\n');
  text.resize(end == std::string::npos ? 0 : end + 1);
  std::vector<json::Record> out;
  for (std::string_view line : split_lines(text)) {
    auto r = json::parse(line);
    if (!r) throw std::runtime_error("QA chain line does not parse: " + r.error());
    out.push_back(*r);
  }
  return out;
}

std::vector<json::Record> of_type(const std::vector<json::Record>& records, std::string_view type) {
  std::vector<json::Record> out;
  for (const auto& r : records) {
    if (r->root().string_member("event_type") == type) out.push_back(r);
  }
  return out;
}

std::vector<std::string> event_types(const std::vector<json::Record>& records) {
  std::vector<std::string> out;
  for (const auto& r : records)
    out.emplace_back(r->root().string_member("event_type").value_or(""));
  return out;
}

std::vector<std::string> strings_of(const json::Record& record, std::string_view member) {
  std::vector<std::string> out;
  const json::Value* v = record->root().find(member);
  if (v == nullptr) return out;
  for (const json::Value& item : v->items()) out.emplace_back(item.as_string());
  return out;
}

Result<std::size_t> verify_qa_chain(const std::string& path, const std::string& key_path) {
  auto key = key::load_qa_signing_key(key_path);
  if (!key) return fail("QA key: " + key.error());
  std::string text = read_text(path);
  if (!text.empty() && text.back() != '\n') return fail("the last line has no line feed");

  std::optional<std::string> prev;
  std::size_t n = 0;
  std::string_view rest = text;
  while (!rest.empty()) {
    auto lf = rest.find('\n');
    std::string_view line = rest.substr(0, lf);
    rest.remove_prefix(lf + 1);
    ++n;
    auto where = [&](const std::string& what) { return fmt::format("line {}: {}", n, what); };
    auto rec = json::parse(line);
    if (!rec) return fail(where("not JSON: " + rec.error()));
    const json::Value& v = (*rec)->root();
    auto canon = canonical::canonical_json(v);
    if (!canon || *canon != line) return fail(where("not in canonical form"));
    auto seq = v.find("sequence");
    if (seq == nullptr || seq->number_text() != std::to_string(n)) {
      return fail(where("sequence is not " + std::to_string(n)));
    }
    const json::Value* p = v.find("prev_record_hash");
    if (p == nullptr) return fail(where("no prev_record_hash"));
    if (prev ? p->as_string() != *prev || !p->is_string() : !p->is_null()) {
      return fail(where("prev_record_hash does not link to the previous record"));
    }
    auto stored = v.string_member("record_hash");
    auto computed = canonical::record_hash(v);
    if (!stored || !computed || *stored != *computed) return fail(where("record_hash mismatch"));
    if (v.string_member("signing_key_id") != key->key_id()) return fail(where("foreign key id"));
    auto sig_text = v.string_member("signature");
    if (!sig_text) return fail(where("no signature"));
    auto bytes = key::decode_base64url(*sig_text);
    if (!bytes) return fail(where("signature encoding: " + bytes.error()));
    auto sig = key::signature_from_bytes(*bytes);
    if (!sig) return fail(where("signature bytes: " + sig.error()));
    auto preimage = canonical::record_hash_preimage(v);
    if (!preimage) return fail(where("preimage: " + preimage.error()));
    if (auto ok = key::verify_signature(key->public_key(), *preimage, *sig); !ok) {
      return fail(where("signature does not verify: " + ok.error()));
    }
    prev = std::string(*stored);
  }
  return n;
}

}  // namespace telmir::testing
