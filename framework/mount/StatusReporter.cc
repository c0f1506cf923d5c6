#include "framework/mount/StatusReporter.h"

#include <unistd.h>

#include "framework/mount/MountStatus.h"

namespace corvane::framework::mount {

StatusReporter::StatusReporter(std::string domain, std::filesystem::path mountPoint, std::function<pid_t()> hostPid)
    : domain_(std::move(domain)), mountPoint_(mountPoint.string()), hostPid_(std::move(hostPid)) {}

StatusReporter::~StatusReporter() { remove(); }

void StatusReporter::remove() {
  {
    std::lock_guard guard(mutex_);
    if (!removed_) removeStatus(domain_);
    removed_ = true;
    wake_.notify_all();
  }
  if (ticker_.joinable()) ticker_.join();
}

void StatusReporter::keepWriting() {
  constexpr auto kEvery = std::chrono::seconds(2);
  std::unique_lock lock(mutex_);
  while (!removed_) {
    if (std::chrono::steady_clock::now() - written_ >= kEvery) {
      lock.unlock();
      write(false);
      lock.lock();
      continue;
    }
    wake_.wait_until(lock, written_ + kEvery);
  }
}

void StatusReporter::waiting() { report(); }

void StatusReporter::serving(std::function<bool()> linkReady, std::shared_ptr<const HostWatch> watch,
                             std::shared_ptr<MaterializedCache> cache, std::shared_ptr<UploadQueue> uploads) {
  {
    std::lock_guard guard(mutex_);
    phase_.clear();
    linkReady_ = std::move(linkReady);
    watch_ = std::move(watch);
    cache_ = std::move(cache);
    uploads_ = std::move(uploads);
  }
  report();
  if (!ticker_.joinable()) ticker_ = std::thread([this] { keepWriting(); });
}

void StatusReporter::draining() {
  {
    std::lock_guard guard(mutex_);
    phase_ = "draining";
  }
  report();
}

void StatusReporter::report() { write(false); }

void StatusReporter::queueChanged() {
  // A burst of closes (cp -r) writes the file ten times a second at most, each
  // write listing everything queued; the first close after a quiet spell is
  // always told at once.
  {
    std::lock_guard guard(mutex_);
    if (lastForQueue_ && std::chrono::steady_clock::now() - written_ < std::chrono::milliseconds(100)) return;
  }
  write(true);
}

void StatusReporter::write(bool forQueue) {
  std::lock_guard guard(mutex_);
  if (removed_) return;
  written_ = std::chrono::steady_clock::now();
  lastForQueue_ = forQueue;
  MountStatus now;
  now.domain = domain_;
  now.mountPoint = mountPoint_;
  now.pid = ::getpid();
  now.hostPid = hostPid_();
  if (!phase_.empty()) {
    now.linkPhase = phase_;
  } else if (!linkReady_()) {
    now.linkPhase = "waiting";
  } else {
    now.linkPhase = watch_ && !watch_->answering() ? "unresponsive" : "ready";
  }
  if (cache_) {
    if (!forQueue) cache_->evict();
    now.cacheBytes = cache_->bytes();
    for (auto& fetch : cache_->fetching())
      now.downloads.push_back({std::move(fetch.path), fetch.size, fetch.startedMs, {}});
  }
  if (uploads_) {
    for (const auto& [upload, sendingSinceMs] : uploads_->queued()) {
      now.queued.push_back(
          {upload.path, upload.size, upload.attempts, upload.lastError, upload.failed, sendingSinceMs, {}});
    }
    now.pendingUploads = now.queued.size();
    for (const auto& conflict : uploads_->conflicts()) now.conflicts.push_back({conflict.path, conflict.copy});
  }
  (void)writeStatus(now);
}

}  // namespace corvane::framework::mount
