// The checks on keys, disk space, the classifier and the proxy process (ENV-002, ENV-003,
// ENV-007, ENV-008, ENV-009).

#include <fmt/format.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <limits>

#include "environment/snapshot_parts.h"
#include "key/key.h"
#include "platform/fs.h"
#include "platform/text.h"

namespace telmir::environment {

namespace {

__extension__ typedef unsigned __int128 Wide;

constexpr std::string_view kProxyRequired =
    "proxy process status unavailable and ORVANTE_TELMIR_REQUIRE_PROXY_RUNNING=true";
constexpr std::string_view kProxyDeferred =
    "proxy process check deferred until supervisor status exists";
constexpr std::string_view kProxyNotRunning = "supervisor reports proxy is not running";

// The path without its last component: "a/b/c" -> "a/b", "a" -> "", "/a" -> "/", "/" -> "/".
std::string without_last_component(const std::string& path) {
  std::size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;  // "a/b/" names the same as "a/b"
  std::size_t slash = path.rfind('/', end - 1);
  if (slash == std::string::npos) return "";
  std::size_t keep = slash;
  while (keep > 0 && path[keep - 1] == '/') --keep;
  if (keep == 0) return "/";
  return path.substr(0, keep);
}

std::uint64_t available_mb(const FileSystemSpace& space) {
  // The product of two 64-bit counts needs 128 bits.
  Wide bytes = static_cast<Wide>(space.available_blocks) * space.fragment_size;
  Wide mb = bytes / 1048576;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  return mb > kMax ? kMax : static_cast<std::uint64_t>(mb);
}

}  // namespace

Result<FileSystemSpace> statvfs_space(const std::string& path) {
  struct statvfs stats {};
  if (::statvfs(path.c_str(), &stats) != 0) return fail(platform::os_error_text(errno));
  return FileSystemSpace{static_cast<std::uint64_t>(stats.f_bavail),
                         static_cast<std::uint64_t>(stats.f_frsize)};
}

std::string nearest_existing_ancestor(const std::string& path) {
  std::string current = path;
  while (!platform::file_status(current)) {
    std::string parent = without_last_component(current);
    if (parent == current) break;  // "/" or "" cannot be shortened
    current = std::move(parent);
  }
  return current;
}

EnvCheck check_governance_signing_key(const std::optional<std::string>& signing_key_path) {
  if (!signing_key_path) return EnvCheck::not_applicable("GOV_SIGNING_KEY_PATH is not configured");
  Result<std::string> key_id = key::governance_key_id(*signing_key_path);
  if (!key_id) return EnvCheck::failure(kSeverityHigh, key_id.error());
  EnvCheck check = EnvCheck::pass();
  check.extra.emplace("fingerprint", json::Node(std::move(*key_id)));
  return check;
}

EnvCheck check_qa_signing_key(const std::string& qa_signing_key_path) {
  // Loading only: the snapshot must never create the key it checks.
  Result<key::QaKey> key = key::load_qa_signing_key(qa_signing_key_path);
  if (!key) return EnvCheck::failure(kSeverityCritical, key.error());
  Result<void> checked = key::self_check(*key);
  if (!checked) return EnvCheck::failure(kSeverityCritical, checked.error());
  return EnvCheck::pass();
}

EnvCheck check_disk_space(const std::string& runtime_dir, const FileSystemSpaceQuery& space) {
  std::string path = nearest_existing_ancestor(runtime_dir);
  if (path.find('\0') != std::string::npos) {
    return EnvCheck::failure(kSeverityHigh, fmt::format("path contains NUL byte: {}", path));
  }
  Result<FileSystemSpace> measured = space(path);
  if (!measured) {
    return EnvCheck::failure(kSeverityHigh, fmt::format("statvfs failed for {}", path));
  }
  std::uint64_t mb = available_mb(*measured);
  EnvCheck check = mb < kDiskThresholdMb
                       ? EnvCheck::failure(kSeverityHigh,
                                           fmt::format("disk_available_mb below threshold: {}", mb))
                       : EnvCheck::pass();
  check.extra.emplace("disk_available_mb", json::Node::from_u64(mb));
  return check;
}

EnvCheck check_classifier_source(const std::string& repo_root) {
  std::string path = platform::join_path(repo_root, "scripts/classifier.py");
  Result<platform::FileStatus> status = platform::file_status(path);
  if (status && status->is_regular) return EnvCheck::pass();
  return EnvCheck::failure(kSeverityHigh, fmt::format("classifier source not found: {}", path));
}

EnvCheck check_proxy_process(const std::string& runtime_dir, bool require_proxy_running) {
  std::string path = platform::join_path(runtime_dir, "supervisor/services.json");
  Result<std::string> text = platform::read_file(path);
  if (!text || !platform::is_valid_utf8(*text)) {
    if (require_proxy_running)
      return EnvCheck::failure(kSeverityCritical, std::string(kProxyRequired));
    return EnvCheck::not_applicable(std::string(kProxyDeferred));
  }
  Result<json::Record> status = json::parse(*text);
  if (!status) {
    return EnvCheck::failure(kSeverityCritical,
                             fmt::format("invalid supervisor services.json: {}", status.error()));
  }
  const json::Value* proxy = (*status)->root().find("proxy");
  const json::Value* running = proxy != nullptr ? proxy->find("running") : nullptr;
  if (running != nullptr && running->is_bool() && running->as_bool()) return EnvCheck::pass();
  return EnvCheck::failure(kSeverityCritical, std::string(kProxyNotRunning));
}

}  // namespace telmir::environment
