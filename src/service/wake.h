#pragma once

// How the service loop wakes: on a notification from the file watcher, on the heartbeat, or
// because the watcher is gone.

#include <cstddef>
#include <optional>

#include "platform/channel.h"
#include "platform/watcher.h"
#include "service/schedule.h"

namespace telmir::service {

enum class WakeReason { kEvent, kHeartbeat, kDisconnected };

struct Wake {
  WakeReason reason = WakeReason::kHeartbeat;
  std::size_t dropped = 0;  // notifications answered by this cycle besides the one taken
};

// Waits for one notification until `deadline` (unbounded without one). A cycle reads the files
// as they are when it runs, so the notifications already queued behind the one taken are
// answered by the same cycle and dropped; those arriving later wake the next cycle.
Wake wait_for_wake(platform::Receiver<platform::WatchNotification>& notifications,
                   std::optional<MonotonicTime> deadline);

}  // namespace telmir::service
