#include "framework/mount/WorkFilePool.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>

#include "framework/mount/PosixError.h"
#include "platform/dispatch/Queue.h"

namespace corvane::framework::mount {
namespace {

// Enough to cover a burst of creates between two turns of the maker.
constexpr std::size_t kAhead = 16;

}  // namespace

WorkFilePool::~WorkFilePool() { clear(); }

foundation::Result<WorkFilePool::WorkFile> WorkFilePool::make() const {
  std::string pattern = (folder_ / "work-XXXXXX").string();
  foundation::UniqueFd fd(::mkostemp(pattern.data(), O_CLOEXEC));
  if (!fd.valid()) return posixError(errno, "cannot make a working copy in " + folder_.string());
  return WorkFile(std::filesystem::path(pattern), std::move(fd));
}

foundation::Result<WorkFilePool::WorkFile> WorkFilePool::take() {
  {
    std::lock_guard guard(mutex_);
    ++taken_;
    if (!maker_.joinable() && !stopping_) maker_ = std::thread([this] { run(); });
    if (!ready_.empty()) {
      WorkFile file = std::move(ready_.back());
      ready_.pop_back();
      wanted_.notify_one();
      return file;
    }
    wanted_.notify_one();
  }
  return make();
}

void WorkFilePool::clear() {
  std::thread maker;
  {
    std::lock_guard guard(mutex_);
    stopping_ = true;
    maker = std::move(maker_);
    wanted_.notify_one();
  }
  if (maker.joinable()) maker.join();
  std::vector<WorkFile> unused;
  {
    std::lock_guard guard(mutex_);
    unused.swap(ready_);
    stopping_ = false;  // the next take() starts a maker again
  }
  for (const auto& [path, fd] : unused) ::unlink(path.c_str());
}

void WorkFilePool::run() {
  // Background work: a program's own requests on the mount go first.
  dispatch::applyToCurrentThread(dispatch::QualityOfService::utility);
  std::unique_lock lock(mutex_);
  for (;;) {
    wanted_.wait(lock, [&] { return stopping_ || ready_.size() < kAhead; });
    if (stopping_) return;
    lock.unlock();
    auto made = make();
    lock.lock();
    // A full disk or a missing folder: take() makes its own and reports why,
    // and this tries again after it.
    if (!made.ok()) {
      const std::uint64_t seen = taken_;
      wanted_.wait(lock, [&] { return stopping_ || taken_ != seen; });
      if (stopping_) return;
      continue;
    }
    ready_.push_back(std::move(*made));
  }
}

}  // namespace corvane::framework::mount
