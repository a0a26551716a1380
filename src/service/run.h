#pragma once

// The two run modes. Both perform the first run cycle; the service mode then watches the
// governance chain, policy rules and capability registry directories and runs a loop cycle on
// every change and on every heartbeat.

#include <string>

#include "config/config.h"
#include "platform/result.h"
#include "service/schedule.h"

namespace telmir::service {

// One run cycle; the first error ends it and is returned unchanged.
Result<void> run_once(const config::Config& config);

// The first run cycle, then the service loop. Returns only when something failed, with the
// message of that failure. `clock` times the behavioural and element intervals.
std::string run_service(const config::Config& config);
std::string run_service(const config::Config& config, const MonotonicClock& clock);

}  // namespace telmir::service
