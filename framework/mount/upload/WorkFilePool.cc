#include "framework/mount/upload/WorkFilePool.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "framework/mount/common/PosixError.h"

namespace corvane::framework::mount {
namespace {

// Enough to cover a burst of creates between two turns of the queue.
constexpr std::size_t kAhead = 16;

}  // namespace

// Background work: a program's own requests on the mount go first.
WorkFilePool::WorkFilePool(std::filesystem::path folder)
    : folder_(std::move(folder)), queue_("io.corvane.mount.work-files", dispatch::QualityOfService::utility) {}

WorkFilePool::~WorkFilePool() { clear(); }

foundation::Result<WorkFilePool::WorkFile> WorkFilePool::make() const {
  std::string pattern = (folder_ / "work-XXXXXX").string();
  foundation::UniqueFd fd(::mkostemp(pattern.data(), O_CLOEXEC));
  if (!fd.valid()) return posixError(errno, "cannot make a working copy in " + folder_.string());
  return WorkFile(std::filesystem::path(pattern), std::move(fd));
}

foundation::Result<WorkFilePool::WorkFile> WorkFilePool::take() {
  std::optional<WorkFile> file;
  {
    std::lock_guard guard(mutex_);
    if (!ready_.empty()) {
      file = std::move(ready_.back());
      ready_.pop_back();
    }
    if (!refilling_) {
      refilling_ = true;
      queue_.async([this] { refill(); });
    }
  }
  if (file) return std::move(*file);
  return make();
}

void WorkFilePool::refill() {
  for (;;) {
    {
      std::lock_guard guard(mutex_);
      if (ready_.size() >= kAhead) {
        refilling_ = false;
        return;
      }
    }
    auto made = make();
    std::lock_guard guard(mutex_);
    // A full disk or a missing folder: take() makes its own and reports why,
    // and starts the next refill.
    if (!made.ok()) {
      refilling_ = false;
      return;
    }
    ready_.push_back(std::move(*made));
  }
}

void WorkFilePool::clear() {
  // After a refill under way, so that none adds a file once the rest are gone.
  std::vector<WorkFile> unused = queue_.sync([this] {
    std::lock_guard guard(mutex_);
    std::vector<WorkFile> taken;
    taken.swap(ready_);
    return taken;
  });
  for (const auto& [path, fd] : unused) ::unlink(path.c_str());
}

}  // namespace corvane::framework::mount
