#include "framework/mount/service/ChangeSignalWatch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace corvane::framework::mount {

std::unique_ptr<ChangeSignalWatch> ChangeSignalWatch::start(const std::filesystem::path& file,
                                                            std::function<void()> heard) {
  const auto folder = file.parent_path();
  std::error_code ignored;
  if (std::filesystem::create_directories(folder, ignored)) ::chmod(folder.c_str(), 0700);
  foundation::UniqueFd inotify(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  if (!inotify.valid() || ::inotify_add_watch(inotify.get(), folder.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
    return nullptr;
  }
  int stop[2];
  if (::pipe2(stop, O_CLOEXEC) != 0) return nullptr;
  return std::unique_ptr<ChangeSignalWatch>(new ChangeSignalWatch(std::move(inotify), foundation::UniqueFd(stop[0]),
                                                                  foundation::UniqueFd(stop[1]),
                                                                  file.filename().string(), std::move(heard)));
}

ChangeSignalWatch::ChangeSignalWatch(foundation::UniqueFd inotify, foundation::UniqueFd stopRead,
                                     foundation::UniqueFd stopWrite, std::string name, std::function<void()> heard)
    : inotify_(std::move(inotify)),
      stopRead_(std::move(stopRead)),
      stopWrite_(std::move(stopWrite)),
      name_(std::move(name)),
      heard_(std::move(heard)),
      thread_([this] { run(); }) {}

ChangeSignalWatch::~ChangeSignalWatch() {
  (void)!::write(stopWrite_.get(), "x", 1);
  thread_.join();
}

void ChangeSignalWatch::run() {
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    pollfd fds[2] = {{inotify_.get(), POLLIN, 0}, {stopRead_.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    const ssize_t n = ::read(inotify_.get(), buffer, sizeof buffer);
    if (n <= 0) continue;
    // Other peers' signals share the folder; one read may hold several of ours.
    bool ours = false;
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->len > 0 && name_ == event->name) ours = true;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
    if (ours) heard_();
  }
}

}  // namespace corvane::framework::mount
