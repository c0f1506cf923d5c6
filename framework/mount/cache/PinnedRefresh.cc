#include "framework/mount/cache/PinnedRefresh.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/foundation/Guarded.h"

namespace corvane::framework::mount {

std::vector<std::filesystem::path> filesAtOrBelow(const std::filesystem::path& local, std::error_code& error) {
  std::vector<std::filesystem::path> files;
  if (std::filesystem::is_directory(local, error)) {
    for (auto it = std::filesystem::recursive_directory_iterator(local, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
      if (it->is_regular_file(error)) files.push_back(it->path());
    }
  } else if (std::filesystem::is_regular_file(local, error)) {
    files.push_back(local);
  } else if (!error) {
    error = std::make_error_code(std::errc::no_such_file_or_directory);
  }
  return files;
}

int fetchThroughMount(const std::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  ::close(fd);
  return 0;
}

PinnedRefresh::PinnedRefresh(std::filesystem::path mountPoint, std::shared_ptr<PinSet> pins)
    : mountPoint_(std::move(mountPoint)), pins_(std::move(pins)), worker_([this] { run(); }) {}

PinnedRefresh::~PinnedRefresh() {
  {
    std::lock_guard guard(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  worker_.join();
}

void PinnedRefresh::changed(const std::string& path) {
  if (!pins_->pinnedPath(path)) return;
  {
    std::lock_guard guard(mutex_);
    queue_.push_back(path);
  }
  wake_.notify_all();
}

void PinnedRefresh::run() {
  std::unique_lock lock(mutex_);
  while (true) {
    wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    const std::string path = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    std::error_code error;  // what cannot be fetched now is fetched when it is next opened
    (void)foundation::runGuarded("a refresh of pinned files", [&] {
      for (const auto& file : filesAtOrBelow(mountPoint_ / std::filesystem::path(path).relative_path(), error)) {
        (void)fetchThroughMount(file);
      }
    });
    lock.lock();
  }
}

}  // namespace corvane::framework::mount
