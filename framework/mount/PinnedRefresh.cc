#include "framework/mount/PinnedRefresh.h"

#include <fcntl.h>
#include <unistd.h>

namespace corvane::framework::mount {

namespace {

void openEach(const std::filesystem::path& path) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) {
    for (auto it = std::filesystem::recursive_directory_iterator(path, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
      if (it->is_regular_file(error)) openEach(it->path());
    }
    return;
  }
  // Opening is what materialises; nothing needs reading.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) ::close(fd);
}

}  // namespace

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
    openEach(mountPoint_ / std::filesystem::path(path).relative_path());
    lock.lock();
  }
}

}  // namespace corvane::framework::mount
