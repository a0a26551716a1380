#include "qa_chain/qa_chain.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <utility>

#include "canonical/canonical.h"
#include "canonical/preimage.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/text.h"

namespace telmir::qa {
namespace {

constexpr std::string_view kEnvelopeKeys[] = {"event_type",       "sequence",    "timestamp_utc",
                                              "prev_record_hash", "record_hash", "signature",
                                              "signing_key_id"};

bool is_envelope_key(std::string_view key) {
  return std::find(std::begin(kEnvelopeKeys), std::end(kEnvelopeKeys), key) !=
         std::end(kEnvelopeKeys);
}

// Keeps the last non-blank line of a text fed to it in pieces (one carriage return removed).
class LastLine {
 public:
  void feed(std::string_view piece) {
    std::size_t last_lf = piece.rfind('\n');
    if (last_lf == std::string_view::npos) {
      partial_.append(piece);
      return;
    }
    std::size_t first_lf = piece.find('\n');
    // Only the newest non-blank line counts: walk the piece's complete lines backwards.
    bool found = false;
    for (std::size_t end = last_lf; end > first_lf;) {
      std::size_t prev = piece.rfind('\n', end - 1);
      if (take(piece.substr(prev + 1, end - prev - 1))) {
        found = true;
        break;
      }
      end = prev;
    }
    if (!found) {
      partial_.append(piece.substr(0, first_lf));
      take(partial_);
    }
    partial_.assign(piece.substr(last_lf + 1));
  }

  // The last line need not end with a line feed; no empty line follows a final one.
  std::optional<std::string> finish() {
    if (!partial_.empty()) take(partial_);
    return std::move(last_);
  }

 private:
  bool take(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (platform::is_blank_line(line)) return false;
    last_ = std::string(line);
    return true;
  }

  std::string partial_;
  std::optional<std::string> last_;
};

// Bytes at the end of a block that begin a UTF-8 sequence the block does not finish.
std::size_t unfinished_sequence(const char* p, std::size_t n) {
  for (std::size_t i = 1; i <= 3 && i <= n; ++i) {
    auto b = static_cast<unsigned char>(p[n - i]);
    if ((b & 0xC0) == 0x80) continue;
    if (b < 0xC0) return 0;
    std::size_t expected = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
    return expected > i ? i : 0;
  }
  return 0;
}

// The chain's last non-blank line, reading the file once in blocks: every byte must be UTF-8,
// but the file (which only grows) is never held in memory as a whole. Error: the system's text.
Result<std::optional<std::string>> read_last_line(const std::string& path) {
  constexpr std::size_t kBlock = 1 << 20;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(platform::os_error_text(errno));
  std::unique_ptr<char[]> buf(new char[kBlock + 4]);
  std::size_t carried = 0;
  LastLine last;
  while (true) {
    ssize_t n = ::read(fd, buf.get() + carried, kBlock);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      return fail(platform::os_error_text(err));
    }
    if (n == 0) break;
    std::size_t total = carried + static_cast<std::size_t>(n);
    std::size_t tail = unfinished_sequence(buf.get(), total);
    std::string_view piece(buf.get(), total - tail);
    if (!platform::is_valid_utf8(piece)) {
      ::close(fd);
      return fail("stream did not contain valid UTF-8");
    }
    last.feed(piece);
    std::memmove(buf.get(), buf.get() + total - tail, tail);
    carried = tail;
  }
  ::close(fd);
  if (carried != 0) return fail("stream did not contain valid UTF-8");
  return last.finish();
}

// The sequence after the one in the record, when the record has a usable one.
std::uint64_t sequence_after(const json::Value& record) {
  const json::Value* seq = record.find("sequence");
  if (seq == nullptr || !seq->is_number()) return 1;
  std::string_view text = seq->number_text();
  if (text.empty() ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return 1;
  }
  std::uint64_t value = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size()) return 1;
  return value + 1;
}

int open_for_append(const std::string& path) {
  // Opening an existing file without O_CREAT skips the creation path in the kernel (which locks
  // the directory); a missing file is then created as usual.
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd >= 0 || errno != ENOENT) return fd;
  return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
}

// Appends one finished line (text and line feed) to the file, opened for this record only.
Result<void> write_line(const std::string& path, std::string& line) {
  int fd = open_for_append(path);
  // The directory is made only after an open failed: an existing one needs no work on every
  // record, and a failure is still reported as the directory error or the open error, as when
  // the directory is made first.
  std::string parent = platform::parent_path(path);
  if (fd < 0 && !parent.empty()) {
    auto made = platform::create_directories(parent);
    if (!made) {
      return fail(fmt::format("failed to create QA chain directory {}: {}", parent, made.error()));
    }
    fd = open_for_append(path);
  }
  if (fd < 0) {
    return fail(
        fmt::format("failed to open QA chain {}: {}", path, platform::os_error_text(errno)));
  }
  // Text and line feed in one write, so no record can be left without its line feed for the
  // next one to be glued to.
  line.push_back('\n');
  auto written = platform::write_all(fd, line);
  line.pop_back();
  int closed = ::close(fd);
  int close_err = errno;
  if (!written) return fail(fmt::format("failed to append QA chain record: {}", written.error()));
  if (closed != 0) {
    return fail(
        fmt::format("failed to append QA chain record: {}", platform::os_error_text(close_err)));
  }
  return {};
}

// The position of the quote that ends the string whose text starts at `from`: the first quote
// not preceded by an odd number of backslashes.
std::size_t closing_quote(std::string_view text, std::size_t from) {
  while (true) {
    std::size_t q = text.find('"', from);
    if (q == std::string_view::npos) return q;
    std::size_t backslashes = 0;
    while (q - backslashes > from && text[q - backslashes - 1] == '\\') ++backslashes;
    if (backslashes % 2 == 0) return q;
    from = q + 1;
  }
}

// Positions of the null values of the top-level keys `record_hash`, `signature` and
// `signing_key_id` in a canonical text, in that (byte) order; npos where a key is missing.
std::array<std::size_t, 3> envelope_null_positions(std::string_view text) {
  static constexpr std::string_view kKeys[] = {"record_hash", "signature", "signing_key_id"};
  std::array<std::size_t, 3> found = {std::string_view::npos, std::string_view::npos,
                                      std::string_view::npos};
  int depth = 0;
  bool expect_key = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '"') {
      std::size_t start = i + 1;
      i = closing_quote(text, start);
      if (i == std::string_view::npos) break;
      if (depth == 1 && expect_key) {
        std::string_view key = text.substr(start, i - start);
        for (std::size_t k = 0; k < 3; ++k) {
          if (key == kKeys[k] && text.substr(i + 1, 5) == ":null") found[k] = i + 2;
        }
        if (found[2] != std::string_view::npos) break;  // the last of the three in key order
      }
      expect_key = false;
    } else if (c == '{') {
      ++depth;
      expect_key = depth == 1;
    } else if (c == '[') {
      ++depth;
    } else if (c == '}' || c == ']') {
      --depth;
    } else if (c == ',') {
      expect_key = depth == 1;
    }
  }
  return found;
}

// The canonical line of the finished record, made from its preimage: the preimage is the
// canonical text of the same record with these three values null, and the values put in need
// no escaping, so replacing the nulls gives the same bytes as rendering the record again.
// Nothing when the three nulls are not all found (which a preimage made by `complete` always has).
std::optional<std::string> line_from_preimage(std::string_view preimage, const std::string& hash,
                                              const std::string& signature,
                                              const std::string& key_id) {
  auto at = envelope_null_positions(preimage);
  if (std::find(at.begin(), at.end(), std::string_view::npos) != at.end()) return std::nullopt;
  const std::string* values[] = {&hash, &signature, &key_id};
  std::string line;
  line.reserve(preimage.size() + hash.size() + signature.size() + key_id.size());
  std::size_t from = 0;
  for (std::size_t k = 0; k < 3; ++k) {
    line.append(preimage.substr(from, at[k] - from));
    line.push_back('"');
    line.append(*values[k]);
    line.push_back('"');
    from = at[k] + 4;
  }
  line.append(preimage.substr(from));
  return line;
}

// Steps that make the record complete: link, hash, sign, identify. Returns the canonical line.
Result<std::string> complete(const QaChainWriter& writer, json::Node& record) {
  const auto& last = writer.last_record_hash();
  record.set("prev_record_hash", last ? json::Node(*last) : json::Node(nullptr));
  record.set("record_hash", nullptr);
  record.set("signature", nullptr);
  record.set("signing_key_id", nullptr);
  auto preimage = canonical::record_hash_preimage(record);
  if (!preimage) return fail(preimage.error());
  std::string hash = canonical::sha256_digest(*preimage);
  // The preimage nulls `record_hash`, so the text just hashed is also the text to sign.
  std::string signature = key::sign_qa_record(writer.key(), *preimage);
  auto line = line_from_preimage(*preimage, hash, signature, writer.key().key_id());
  record.set("record_hash", std::move(hash));
  record.set("signature", std::move(signature));
  record.set("signing_key_id", writer.key().key_id());
  if (line) return std::move(*line);
  return canonical::canonical_json(record);
}

void collect_strings(json::Node& node, std::vector<json::Node*>& out);

std::vector<json::Node::Members::value_type*> sorted_members(json::Node& object) {
  std::vector<json::Node::Members::value_type*> members;
  members.reserve(object.members().size());
  for (auto& m : object.members()) members.push_back(&m);
  // std::string compares as unsigned bytes: canonical key order.
  std::sort(members.begin(), members.end(),
            [](const auto* a, const auto* b) { return a->first < b->first; });
  return members;
}

void collect_strings(json::Node& node, std::vector<json::Node*>& out) {
  switch (node.kind()) {
    case json::Kind::kString:
      out.push_back(&node);
      break;
    case json::Kind::kArray:
      for (auto& item : node.items()) collect_strings(item, out);
      break;
    case json::Kind::kObject:
      for (auto* m : sorted_members(node)) collect_strings(m->second, out);
      break;
    default:
      break;
  }
}

// The longest string among the record's own field values (nested ones included), the first in
// canonical order among equals; nullptr when there is none.
json::Node* longest_own_string(json::Node& record) {
  std::vector<json::Node*> strings;
  for (auto* m : sorted_members(record)) {
    if (!is_envelope_key(m->first)) collect_strings(m->second, strings);
  }
  json::Node* best = nullptr;
  for (json::Node* s : strings) {
    if (best == nullptr || s->text().size() > best->text().size()) best = s;
  }
  return best;
}

constexpr std::size_t kShortestShortened = 64;

// Keeps the first half (on a character boundary) and says how many bytes went.
std::string shortened(const std::string& text) {
  std::size_t keep = text.size() / 2;
  while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80) --keep;
  return fmt::format("{}\u2026[+{} bytes]", std::string_view(text).substr(0, keep),
                     text.size() - keep);
}

// Shortens text from outside until the line fits. The envelope values in the record already
// have their final lengths, so each rendering measures the final line. Stops when the longest
// string is too short to shorten; `append` then refuses the record.
void shorten_to_fit(json::Node& record, std::size_t length) {
  while (length > kMaxLineBytes) {
    json::Node* longest = longest_own_string(record);
    if (longest == nullptr || longest->text().size() <= kShortestShortened) return;
    *longest = json::Node(shortened(longest->text()));
    auto line = canonical::canonical_json(record);
    if (!line) return;
    length = line->size();
  }
}

Result<json::Node> complete_and_write(QaChainWriter& writer, json::Node record, bool may_shorten) {
  if (record.kind() != json::Kind::kObject) return fail("QA chain record must be an object");
  auto line = complete(writer, record);
  if (!line) return fail(line.error());
  if (line->size() > kMaxLineBytes && may_shorten) {
    shorten_to_fit(record, line->size());
    line = complete(writer, record);
    if (!line) return fail(line.error());
  }
  if (line->size() > kMaxLineBytes) {
    return fail(
        fmt::format("QA chain record exceeds 4KB atomic append limit: {} bytes", line->size()));
  }
  auto written = write_line(writer.path(), *line);
  if (!written) return fail(written.error());
  writer.advance(record.find("record_hash")->text());
  return record;
}

// The findings that fit the budget, in order; a finding that cannot be rendered is dropped.
std::vector<json::Node> findings_within_budget(std::vector<json::Node>& findings) {
  std::vector<json::Node> kept;
  std::size_t running = 2;  // the brackets
  for (auto& finding : findings) {
    auto text = canonical::canonical_json(finding);
    if (!text) continue;
    std::size_t cost = text->size() + (kept.empty() ? 0 : 1);
    if (running + cost > kFindingsBudgetBytes) break;
    running += cost;
    kept.push_back(std::move(finding));
  }
  return kept;
}

void set_truncated_findings(json::Node& record, std::vector<json::Node> findings) {
  std::size_t offered = findings.size();
  std::vector<json::Node> kept = findings_within_budget(findings);
  record.set("findings_included_count", json::Node::from_u64(kept.size()));
  if (kept.size() < offered) record.set("findings_truncated", true);
  record.set("findings", json::Node::array(std::move(kept)));
}

json::Node text_node(std::string_view text) { return json::Node(std::string(text)); }

}  // namespace

QaChainWriter::QaChainWriter(std::string path, key::QaKey key,
                             std::optional<std::string> last_record_hash,
                             std::uint64_t next_sequence)
    : path_(std::move(path)),
      key_(std::move(key)),
      last_record_hash_(std::move(last_record_hash)),
      next_sequence_(next_sequence) {}

void QaChainWriter::set_build_info(std::string binary_sha256, std::string toolchain_version) {
  binary_sha256_ = std::move(binary_sha256);
  toolchain_version_ = std::move(toolchain_version);
}

void QaChainWriter::advance(std::string record_hash) {
  last_record_hash_ = std::move(record_hash);
  ++next_sequence_;
}

Result<QaChainWriter> open_qa_chain(const std::string& path, key::QaKey key) {
  if (!platform::file_status(path)) return QaChainWriter(path, std::move(key), std::nullopt, 1);
  auto line = read_last_line(path);
  if (!line) {
    return fail(fmt::format("failed to read existing QA chain {}: {}", path, line.error()));
  }
  if (!*line) return QaChainWriter(path, std::move(key), std::nullopt, 1);
  auto parsed = json::parse(**line);
  if (!parsed) {
    return fail(fmt::format("invalid last QA chain record in {}: {}", path, parsed.error()));
  }
  const json::Value& record = (*parsed)->root();
  std::uint64_t next = record.is_object() ? sequence_after(record) : 1;
  std::optional<std::string> last_hash;
  if (auto h = record.string_member("record_hash")) last_hash = std::string(*h);
  return QaChainWriter(path, std::move(key), std::move(last_hash), next);
}

json::Node new_qa_record(const QaChainWriter& writer, std::string_view event_type) {
  json::Node record = json::Node::object();
  // Room for the fields of the largest record type and the envelope, so that building and
  // completing the record never moves its members.
  record.members().reserve(20);
  record.set("event_type", text_node(event_type));
  record.set("sequence", json::Node::from_u64(writer.next_sequence()));
  record.set("timestamp_utc", platform::utc_now_rfc3339_ms());
  return record;
}

Result<json::Node> append(QaChainWriter& writer, json::Node record) {
  return complete_and_write(writer, std::move(record), false);
}

Result<json::Node> append_spc_finding(QaChainWriter& writer, std::string_view metric_id,
                                      std::string_view metric_name, double current_value,
                                      double ucl, double lcl, std::string_view window,
                                      std::string_view status) {
  for (double v : {current_value, ucl, lcl}) {
    if (!std::isfinite(v)) return fail("QA numeric fields must be finite");
  }
  json::Node record = new_qa_record(writer, "qa_spc_finding");
  record.set("metric_id", text_node(metric_id));
  record.set("metric_name", text_node(metric_name));
  record.set("current_value", json::Node::from_double(current_value));
  record.set("ucl", json::Node::from_double(ucl));
  record.set("lcl", json::Node::from_double(lcl));
  record.set("window", text_node(window));
  record.set("status", text_node(status));
  return append(writer, std::move(record));
}

Result<json::Node> append_behavioral_warm_up(QaChainWriter& writer,
                                             std::string_view analysis_window,
                                             std::uint64_t decisions_analyzed,
                                             std::uint64_t minimum_required) {
  json::Node record = new_qa_record(writer, "qa_behavioral_analysis");
  record.set("analysis_window", text_node(analysis_window));
  record.set("anomaly_count", json::Node::from_u64(0));
  record.set("findings", json::Node::array());
  record.set("warm_up", true);
  record.set("decisions_analyzed", json::Node::from_u64(decisions_analyzed));
  record.set("minimum_required", json::Node::from_u64(minimum_required));
  return append(writer, std::move(record));
}

Result<json::Node> append_behavioral_analysis(QaChainWriter& writer,
                                              std::string_view analysis_window,
                                              std::vector<json::Node> findings) {
  json::Node record = new_qa_record(writer, "qa_behavioral_analysis");
  record.set("analysis_window", text_node(analysis_window));
  record.set("anomaly_count", json::Node::from_u64(findings.size()));
  set_truncated_findings(record, std::move(findings));
  return append(writer, std::move(record));
}

Result<json::Node> append_condition_detected(
    QaChainWriter& writer, std::string_view condition_id, std::string_view condition_type,
    std::string_view severity, std::string_view detail,
    std::optional<std::string_view> governance_record_ref) {
  json::Node record = new_qa_record(writer, "qa_condition_detected");
  record.set("condition_id", text_node(condition_id));
  record.set("condition_type", text_node(condition_type));
  record.set("severity", text_node(severity));
  record.set("detail", text_node(detail));
  record.set("governance_record_ref",
             governance_record_ref ? text_node(*governance_record_ref) : json::Node(nullptr));
  return complete_and_write(writer, std::move(record), true);
}

Result<json::Node> append_element_verification(
    QaChainWriter& writer, std::string_view spec_id, std::uint64_t elements_checked,
    std::uint64_t elements_passed, std::uint64_t elements_flagged, std::uint64_t elements_skipped,
    std::vector<json::Node> findings, json::Node coverage) {
  json::Node record = new_qa_record(writer, "qa_element_verification");
  record.set("spec_id", text_node(spec_id));
  record.set("elements_checked", json::Node::from_u64(elements_checked));
  record.set("elements_passed", json::Node::from_u64(elements_passed));
  record.set("elements_flagged", json::Node::from_u64(elements_flagged));
  record.set("elements_skipped", json::Node::from_u64(elements_skipped));
  set_truncated_findings(record, std::move(findings));
  record.set("coverage", std::move(coverage));
  return append(writer, std::move(record));
}

Result<json::Node> append_decision_verification(QaChainWriter& writer,
                                                std::string_view governance_record_hash,
                                                std::string_view decision_type,
                                                std::string_view tool_name,
                                                json::Node checks_performed, bool all_clear,
                                                std::vector<json::Node> findings) {
  json::Node record = new_qa_record(writer, "qa_decision_verification");
  record.set("governance_record_hash", text_node(governance_record_hash));
  record.set("decision_type", text_node(decision_type));
  record.set("tool_name", text_node(tool_name));
  record.set("checks_performed", std::move(checks_performed));
  record.set("all_clear", all_clear);
  record.set("findings", json::Node::array(std::move(findings)));
  return complete_and_write(writer, std::move(record), true);
}

Result<json::Node> append_environmental_snapshot(QaChainWriter& writer,
                                                 std::string_view policy_rules_hash,
                                                 std::string_view capability_registry_hash,
                                                 json::Node checks,
                                                 std::vector<std::string> active_conditions,
                                                 std::string_view overall) {
  json::Node record = new_qa_record(writer, "qa_environmental_snapshot");
  record.set("policy_rules_hash", text_node(policy_rules_hash));
  record.set("capability_registry_hash", text_node(capability_registry_hash));
  record.set("checks", std::move(checks));
  std::vector<json::Node> codes;
  codes.reserve(active_conditions.size());
  for (auto& code : active_conditions) codes.emplace_back(std::move(code));
  record.set("active_conditions", json::Node::array(std::move(codes)));
  record.set("overall", text_node(overall));
  // Only the record that opens a new chain says which build wrote it.
  if (writer.next_sequence() == 1) {
    if (writer.binary_sha256()) record.set("binary_sha256", *writer.binary_sha256());
    if (writer.toolchain_version()) record.set("toolchain_version", *writer.toolchain_version());
  }
  return complete_and_write(writer, std::move(record), true);
}

Result<json::Node> append_backlog_warning(QaChainWriter& writer, std::uint64_t queue_depth,
                                          std::uint64_t queue_capacity) {
  json::Node record = new_qa_record(writer, "qa_verification_backlog_warning");
  record.set("queue_depth", json::Node::from_u64(queue_depth));
  record.set("queue_capacity", json::Node::from_u64(queue_capacity));
  return append(writer, std::move(record));
}

Result<json::Node> append_verification_skipped(QaChainWriter& writer,
                                               std::string_view governance_record_hash,
                                               std::string_view reason) {
  json::Node record = new_qa_record(writer, "qa_decision_verification_skipped");
  record.set("governance_record_hash", text_node(governance_record_hash));
  record.set("reason", text_node(reason));
  return complete_and_write(writer, std::move(record), true);
}

}  // namespace telmir::qa
