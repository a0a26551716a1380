#pragma once

// The rules exactly as they read: every whole-history search runs from the start of the history
// for each decision it concerns. Slow; the indexed implementation must agree with it.

#include <span>
#include <vector>

#include "behavioral/behavioral.h"

namespace telmir::behavioral::testing {

std::vector<BehaviouralFinding> reference_patterns(const config::Config& config,
                                                   std::span<const json::Record> history);

}  // namespace telmir::behavioral::testing
