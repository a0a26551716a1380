#pragma once

// Directory change notifications. A watcher runs a thread of its own on which it calls the
// handler once per reported change, and once per error report of its own (a lost-events
// overflow, a failed read). The handler must only hand the notification on. It is destroyed
// when the watcher's thread ends (or with the watcher), so a handler that owns a channel
// sender lets the receiver see that end.

#include <functional>
#include <memory>
#include <string>

#include "platform/result.h"

namespace telmir::platform {

struct WatchNotification {
  enum class Kind { kChange, kError };
  Kind kind = Kind::kChange;
  std::string detail;  // the file name of a change, or the text of an error report
};

class FileWatcher {
 public:
  using Handler = std::function<void(WatchNotification)>;

  virtual ~FileWatcher() = default;  // stops the thread and waits for it

  // Starts watching one directory, not its subdirectories. Asking for the same directory
  // again is allowed. The error is the operating system's text.
  virtual Result<void> watch(const std::string& directory) = 0;
};

// The platform's watcher (inotify on Linux, FSEvents on macOS). The error is the operating
// system's text.
Result<std::unique_ptr<FileWatcher>> create_file_watcher(FileWatcher::Handler handler);

}  // namespace telmir::platform
