// macOS backend of the file watcher, on FSEvents. Not built or run on Linux.
#if defined(__APPLE__)

#include <CoreServices/CoreServices.h>
#include <dispatch/dispatch.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/fs.h"
#include "platform/watcher.h"

namespace telmir::platform {
namespace {

// One stream per watched directory, all delivering on one serial queue (the watcher's
// thread). FSEvents reports whole trees; events below a subdirectory are dropped here so the
// watch stays non-recursive.
class FsEventsWatcher final : public FileWatcher {
 public:
  explicit FsEventsWatcher(Handler handler) : handler_(std::move(handler)) {
    queue_ = dispatch_queue_create("telmir.file-watcher", DISPATCH_QUEUE_SERIAL);
  }

  ~FsEventsWatcher() override {
    for (Stream* s : streams_) {
      FSEventStreamStop(s->stream);
      FSEventStreamInvalidate(s->stream);
      FSEventStreamRelease(s->stream);
    }
    // Wait for callbacks already queued, then drop the handler.
    dispatch_sync_f(queue_, nullptr, [](void*) {});
    for (Stream* s : streams_) delete s;
    dispatch_release(queue_);
  }

  Result<void> watch(const std::string& directory) override {
    struct stat st {};
    if (::stat(directory.c_str(), &st) != 0) return fail(os_error_text(errno));
    if (!S_ISDIR(st.st_mode)) return fail(os_error_text(ENOTDIR));
    char resolved[PATH_MAX];
    if (::realpath(directory.c_str(), resolved) == nullptr) return fail(os_error_text(errno));

    auto* s = new Stream{this, resolved, nullptr};
    CFStringRef path = CFStringCreateWithCString(nullptr, resolved, kCFStringEncodingUTF8);
    CFArrayRef paths =
        CFArrayCreate(nullptr, reinterpret_cast<const void**>(&path), 1, &kCFTypeArrayCallBacks);
    FSEventStreamContext context{0, s, nullptr, nullptr, nullptr};
    s->stream = FSEventStreamCreate(
        nullptr, &FsEventsWatcher::callback, &context, paths, kFSEventStreamEventIdSinceNow, 0.05,
        kFSEventStreamCreateFlagFileEvents | kFSEventStreamCreateFlagNoDefer |
            kFSEventStreamCreateFlagWatchRoot);
    CFRelease(paths);
    CFRelease(path);
    if (s->stream == nullptr) {
      delete s;
      return fail("FSEventStreamCreate failed");
    }
    FSEventStreamSetDispatchQueue(s->stream, queue_);
    if (!FSEventStreamStart(s->stream)) {
      FSEventStreamInvalidate(s->stream);
      FSEventStreamRelease(s->stream);
      delete s;
      return fail("FSEventStreamStart failed");
    }
    streams_.push_back(s);
    return {};
  }

 private:
  struct Stream {
    FsEventsWatcher* owner;
    std::string directory;
    FSEventStreamRef stream;
  };

  static void callback(ConstFSEventStreamRef, void* info, size_t count, void* event_paths,
                       const FSEventStreamEventFlags flags[], const FSEventStreamEventId[]) {
    auto* s = static_cast<Stream*>(info);
    auto** paths = static_cast<char**>(event_paths);
    constexpr FSEventStreamEventFlags kLost =
        kFSEventStreamEventFlagMustScanSubDirs | kFSEventStreamEventFlagUserDropped |
        kFSEventStreamEventFlagKernelDropped | kFSEventStreamEventFlagRootChanged;
    for (size_t i = 0; i < count; ++i) {
      if (flags[i] & kLost) {
        s->owner->handler_({WatchNotification::Kind::kError, "file events were lost"});
        continue;
      }
      std::string p = paths[i];
      if (p != s->directory && parent_path(p) != s->directory) continue;
      s->owner->handler_({WatchNotification::Kind::kChange, std::move(p)});
    }
  }

  Handler handler_;
  dispatch_queue_t queue_;
  std::vector<Stream*> streams_;
};

}  // namespace

Result<std::unique_ptr<FileWatcher>> create_file_watcher(FileWatcher::Handler handler) {
  return std::unique_ptr<FileWatcher>(new FsEventsWatcher(std::move(handler)));
}

}  // namespace telmir::platform

#endif  // __APPLE__
