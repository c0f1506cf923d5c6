#include "host/InotifyWatcher.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <set>
#include <utility>
#include <vector>

#include "host/HostError.h"
#include "host/ShareEntries.h"

namespace corvane::host {
namespace {

constexpr std::uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_CLOSE_WRITE |
                                     IN_ATTRIB | IN_ONLYDIR | IN_EXCL_UNLINK;

bool procAvailable() {
  struct stat st {};
  return ::stat("/proc/self/fd", &st) == 0;
}

}  // namespace

InotifyWatcher::InotifyWatcher(std::shared_ptr<const ShareRoot> root, Callback callback, foundation::UniqueFd inotify,
                               foundation::UniqueFd wake)
    : root_(std::move(root)), callback_(std::move(callback)), inotify_(std::move(inotify)), wake_(std::move(wake)) {}

foundation::Result<std::unique_ptr<InotifyWatcher>> InotifyWatcher::start(std::shared_ptr<const ShareRoot> root,
                                                                          Callback callback) {
  foundation::UniqueFd inotify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!inotify.valid()) return vfsErrorFromErrno(errno, "Cannot watch the shared folder");
  foundation::UniqueFd wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!wake.valid()) return vfsErrorFromErrno(errno, "Cannot watch the shared folder");
  std::unique_ptr<InotifyWatcher> watcher(
      new InotifyWatcher(std::move(root), std::move(callback), std::move(inotify), std::move(wake)));
  watcher->addTree(SharePath());
  watcher->thread_ = std::thread([w = watcher.get()] { w->run(); });
  return watcher;
}

InotifyWatcher::~InotifyWatcher() {
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(wake_.get(), &one, sizeof one);
  if (thread_.joinable()) thread_.join();
}

bool InotifyWatcher::addWatch(const SharePath& folder) {
  // Watch the folder that confined resolution found, through its descriptor,
  // so a symlink swapped in along the path cannot point the watch elsewhere.
  foundation::UniqueFd fd;
  if (root_->openDirectory(folder, O_PATH, &fd) != 0) return false;
  int wd;
  if (procAvailable()) {
    std::string proc = "/proc/self/fd/" + std::to_string(fd.get());
    wd = ::inotify_add_watch(inotify_.get(), proc.c_str(), kWatchMask);
  } else {
    std::string full = (root_->path() / folder.relative()).string();
    wd = ::inotify_add_watch(inotify_.get(), full.c_str(), kWatchMask | IN_DONT_FOLLOW);
  }
  if (wd < 0) {
    if (errno != ENOENT && errno != ENOTDIR) {
      complete_.store(false, std::memory_order_release);
      std::fprintf(stderr, "corvane host: cannot watch %s (errno %d)\n", folder.text().c_str(), errno);
    }
    return false;
  }
  // A folder reached twice (through an inside symlink) keeps its first path.
  if (pathByWatch_.emplace(wd, folder).second) watchByPath_[folder.text()] = wd;
  return true;
}

void InotifyWatcher::addTree(const SharePath& folder) {
  if (!addWatch(folder)) return;
  std::vector<std::string> names;
  if (readChildNames(*root_, folder, &names) != 0) return;
  for (const std::string& name : names) {
    if (!SharePath::isValidName(name)) continue;
    SharePath child = folder.child(name);
    struct stat st {};
    bool exists = false;
    if (root_->lstat(child, &st, &exists) == 0 && exists && S_ISDIR(st.st_mode)) addTree(child);
  }
}

void InotifyWatcher::forgetTree(const SharePath& folder) {
  auto drop = [&](std::map<std::string, int>::iterator it) {
    ::inotify_rm_watch(inotify_.get(), it->second);
    pathByWatch_.erase(it->second);
    return watchByPath_.erase(it);
  };
  if (auto it = watchByPath_.find(folder.text()); it != watchByPath_.end()) drop(it);
  const std::string prefix = folder.text() + "/";
  for (auto it = watchByPath_.lower_bound(prefix);
       it != watchByPath_.end() && it->first.compare(0, prefix.size(), prefix) == 0;) {
    it = drop(it);
  }
}

void InotifyWatcher::run() {
  alignas(struct inotify_event) char buffer[64 * 1024];
  pollfd fds[2] = {{inotify_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    ssize_t n = ::read(inotify_.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return;
    }
    handleBatch(buffer, static_cast<std::size_t>(n));
  }
}

void InotifyWatcher::handleBatch(const char* buffer, std::size_t length) {
  // One batch often names an item many times (every write of a copy); compare
  // each once, in first-seen order, after the watches are up to date.
  std::vector<std::pair<SharePath, bool>> pending;
  std::set<std::string> seen;
  bool overflow = false;
  auto enqueue = [&](SharePath path, bool deep) {
    if (seen.insert(path.text()).second) {
      pending.emplace_back(std::move(path), deep);
    } else if (deep) {
      for (auto& item : pending) {
        if (item.first == path) item.second = true;
      }
    }
  };

  for (std::size_t offset = 0; offset + sizeof(inotify_event) <= length;) {
    const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
    offset += sizeof(inotify_event) + event->len;
    if (event->mask & IN_Q_OVERFLOW) {
      overflow = true;
      continue;
    }
    if (event->mask & IN_IGNORED) {
      auto it = pathByWatch_.find(event->wd);
      if (it != pathByWatch_.end()) {
        watchByPath_.erase(it->second.text());
        pathByWatch_.erase(it);
      }
      continue;
    }
    auto folder = pathByWatch_.find(event->wd);
    if (folder == pathByWatch_.end() || event->len == 0) continue;
    std::string name(event->name);  // NUL-padded to event->len
    if (!SharePath::isValidName(name) || isHostTemporaryName(name)) continue;
    SharePath path = folder->second.child(name);
    const bool isDir = (event->mask & IN_ISDIR) != 0;
    if (isDir && (event->mask & (IN_MOVED_FROM | IN_DELETE))) forgetTree(path);
    if (isDir && (event->mask & (IN_CREATE | IN_MOVED_TO))) {
      // Watch first, then compare the whole subtree: whatever was put inside
      // before the watch existed is found by the compare, the rest by events.
      forgetTree(path);
      addTree(path);
      enqueue(std::move(path), true);
    } else {
      enqueue(std::move(path), false);
    }
  }
  if (overflow) {
    // Events were lost, folders created meanwhile among them: watch whatever is
    // not watched yet (existing watches are kept) and compare everything.
    addTree(SharePath());
    pending.clear();
    pending.emplace_back(SharePath(), true);
  }
  for (const auto& [path, deep] : pending) callback_(path, deep);
}

}  // namespace corvane::host
