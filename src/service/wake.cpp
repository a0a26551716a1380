#include "service/wake.h"

namespace telmir::service {

Wake wait_for_wake(platform::Receiver<platform::WatchNotification>& notifications,
                   std::optional<MonotonicTime> deadline) {
  auto got = notifications.receive_until(deadline);
  switch (got.status) {
    case platform::ReceiveStatus::kTimedOut:
      return {WakeReason::kHeartbeat, 0};
    case platform::ReceiveStatus::kDisconnected:
      return {WakeReason::kDisconnected, 0};
    case platform::ReceiveStatus::kReceived:
      break;
  }
  return {WakeReason::kEvent, notifications.drop_pending()};
}

}  // namespace telmir::service
