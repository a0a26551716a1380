#pragma once

// The checks over inputs that a snapshot reads once and shares (the registry's bytes, the
// chains' texts). The public per-check operations read their own inputs and call these.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "environment/chain_text.h"
#include "environment/environment.h"
#include "platform/result.h"

namespace telmir::environment {

// Newest lines looked at for the proxy's recorded digests.
inline constexpr std::uint64_t kRecordedValueTail = 200;
inline constexpr std::uint64_t kDiskThresholdMb = 100;

// The registry's raw bytes. Error: "failed to read capability registry {}: {}".
Result<std::string> read_capability_registry(const std::string& path);
// Digest string of the bytes, or the read error.
Result<std::string> registry_digest(const Result<std::string>& registry_bytes);

Result<std::optional<std::string>> recorded_value(const ChainText& chain, std::string_view member);

// ENV-001 / ENV-010 over a shared chain text.
EnvCheck digest_check(const std::string& digest, const ChainText& chain, std::string_view member,
                      std::string_view severity);
// ENV-011 over the registry's bytes as read for the digest.
EnvCheck posture_check(const std::string& path, const Result<std::string>& registry_bytes);
// ENV-004 / ENV-005.
EnvCheck chain_tail_check(const ChainText& chain, std::uint64_t tail_size);
// ENV-006.
EnvCheck active_approvals_check(const ChainText& chain);

// Leading and trailing Unicode White_Space removed.
std::string_view trim_white_space(std::string_view text) noexcept;

}  // namespace telmir::environment
