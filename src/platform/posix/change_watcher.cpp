#include "platform/posix/change_watcher.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

namespace cvn::platform::posix {
namespace {

constexpr uint32_t kMask =
    IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_ATTRIB;

constexpr auto kCoalescePause = std::chrono::milliseconds(2);

struct Watch {
  int wd = -1;
  ChangeCallback callback;
};

// Never destroyed: its thread runs until the process ends.
class Watcher {
 public:
  static Watcher& Get() {
    static Watcher* watcher = new Watcher();
    return *watcher;
  }

  uint64_t Add(const std::string& folder, ChangeCallback callback) {
    std::lock_guard lk(mu_);
    if (fd_ < 0) return 0;
    const int wd = inotify_add_watch(fd_, folder.c_str(), kMask);
    if (wd < 0) return 0;
    const uint64_t id = ++next_id_;
    watches_[id] = Watch{wd, std::move(callback)};
    return id;
  }

  void Remove(uint64_t id) {
    std::lock_guard lk(mu_);
    auto it = watches_.find(id);
    if (it == watches_.end()) return;
    const int wd = it->second.wd;
    watches_.erase(it);
    if (wd < 0) return;
    for (const auto& [other, watch] : watches_) {
      if (watch.wd == wd) return;  // the folder is still watched for someone else
    }
    inotify_rm_watch(fd_, wd);
  }

 private:
  Watcher() {
    fd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd_ >= 0) std::thread([this] { Run(); }).detach();
  }

  void Run() {
    alignas(inotify_event) char buffer[16384];
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, -1) < 0 && errno != EINTR) return;
      // A writer that appends records back to back makes one change event
      // per record; the kernel folds a change into the unread one before it
      // when they are alike, so a short pause here turns thousands of
      // wake-ups a second into a few hundred, at a cost of 2 ms of latency.
      std::this_thread::sleep_for(kCoalescePause);
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n <= 0) continue;
      std::lock_guard lk(mu_);
      for (ssize_t pos = 0; pos + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
        const auto* ev = reinterpret_cast<const inotify_event*>(buffer + pos);
        const std::string name = ev->len > 0 ? std::string(ev->name) : std::string();
        for (auto& [id, watch] : watches_) {
          if ((ev->mask & IN_Q_OVERFLOW) != 0) {
            // Events were lost: anything may have changed.
            if (watch.wd >= 0 && watch.callback) watch.callback(std::string());
            continue;
          }
          if (watch.wd != ev->wd) continue;
          if ((ev->mask & IN_IGNORED) != 0) {
            watch.wd = -1;  // the folder is gone; its number may be reused
          } else if (watch.callback && !name.empty()) {
            watch.callback(name);
          }
        }
        pos += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
      }
    }
  }

  std::mutex mu_;
  int fd_ = -1;
  uint64_t next_id_ = 0;
  std::map<uint64_t, Watch> watches_;
};

}  // namespace

uint64_t WatchFolder(const std::string& folder, ChangeCallback callback) {
  return Watcher::Get().Add(folder, std::move(callback));
}

void UnwatchFolder(uint64_t id) {
  if (id != 0) Watcher::Get().Remove(id);
}

}  // namespace cvn::platform::posix
