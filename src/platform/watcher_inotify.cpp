// Linux backend of the file watcher, on inotify.
#if defined(__linux__)

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <thread>
#include <utility>

#include "platform/fs.h"
#include "platform/watcher.h"

namespace telmir::platform {
namespace {

// Everything that can change what a later read of a watched file sees, plus the directory
// itself going away. IN_ONLYDIR makes a watch on anything but a directory fail.
constexpr std::uint32_t kWatchMask = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CREATE |
                                     IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                                     IN_MOVE_SELF | IN_ONLYDIR;

class InotifyWatcher final : public FileWatcher {
 public:
  InotifyWatcher(int inotify_fd, int stop_fd, Handler handler)
      : inotify_fd_(inotify_fd), stop_fd_(stop_fd) {
    thread_ = std::thread([this, h = std::move(handler)]() mutable { run(std::move(h)); });
  }

  ~InotifyWatcher() override {
    std::uint64_t one = 1;
    // The thread may have ended already; the write then wakes nobody, which is fine.
    [[maybe_unused]] ssize_t n = ::write(stop_fd_, &one, sizeof one);
    if (thread_.joinable()) thread_.join();
    ::close(inotify_fd_);
    ::close(stop_fd_);
  }

  Result<void> watch(const std::string& directory) override {
    if (directory.find('\0') != std::string::npos) return fail(os_error_text(EINVAL));
    if (::inotify_add_watch(inotify_fd_, directory.c_str(), kWatchMask) < 0) {
      return fail(os_error_text(errno));
    }
    return {};
  }

 private:
  // Runs on the watcher's thread; `handler` dies with it, so its end is visible to whoever
  // the handler feeds.
  void run(Handler handler) {
    alignas(struct inotify_event) char buffer[16 * 1024];
    pollfd fds[2] = {{inotify_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    for (;;) {
      int ready = ::poll(fds, 2, -1);
      if (ready < 0) {
        if (errno == EINTR) continue;
        handler({WatchNotification::Kind::kError, "poll failed: " + os_error_text(errno)});
        return;
      }
      if (fds[1].revents != 0) return;
      if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
        handler({WatchNotification::Kind::kError, "inotify descriptor failed"});
        return;
      }
      if ((fds[0].revents & POLLIN) == 0) continue;
      ssize_t got = ::read(inotify_fd_, buffer, sizeof buffer);
      if (got < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        handler({WatchNotification::Kind::kError, "inotify read failed: " + os_error_text(errno)});
        return;
      }
      for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
        const auto* ev = reinterpret_cast<const inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        if (ev->mask & IN_Q_OVERFLOW) {
          // Lost events are harmless: every cycle reads the files themselves.
          handler({WatchNotification::Kind::kError, "inotify event queue overflowed"});
          continue;
        }
        std::string name = ev->len > 0 ? std::string(ev->name) : std::string();
        handler({WatchNotification::Kind::kChange, std::move(name)});
      }
    }
  }

  int inotify_fd_;
  int stop_fd_;
  std::thread thread_;
};

}  // namespace

Result<std::unique_ptr<FileWatcher>> create_file_watcher(FileWatcher::Handler handler) {
  int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return fail(os_error_text(errno));
  int stop = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (stop < 0) {
    int err = errno;
    ::close(fd);
    return fail(os_error_text(err));
  }
  try {
    return std::unique_ptr<FileWatcher>(new InotifyWatcher(fd, stop, std::move(handler)));
  } catch (const std::system_error& e) {  // the thread could not be started
    ::close(fd);
    ::close(stop);
    return fail(e.what());
  }
}

}  // namespace telmir::platform

#endif  // __linux__
