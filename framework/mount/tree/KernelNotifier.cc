#include "framework/mount/tree/KernelNotifier.h"

namespace corvane::framework::mount {

KernelNotifier::KernelNotifier(fuse_session* session) : session_(session), thread_([this] { run(); }) {}

KernelNotifier::~KernelNotifier() {
  {
    std::lock_guard guard(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void KernelNotifier::post(std::vector<Invalidation> batch) {
  {
    std::lock_guard guard(mutex_);
    queue_.push_back(std::move(batch));
  }
  wake_.notify_all();
}

void KernelNotifier::run() {
  std::unique_lock lock(mutex_);
  while (true) {
    wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;
    auto batch = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    for (const auto& item : batch) {
      switch (item.kind) {
        case Invalidation::Kind::entry:
          fuse_lowlevel_notify_inval_entry(session_, item.inode, item.name.c_str(), item.name.size());
          break;
        case Invalidation::Kind::attributes:
          fuse_lowlevel_notify_inval_inode(session_, item.inode, -1, 0);
          break;
        case Invalidation::Kind::contents:
          fuse_lowlevel_notify_inval_inode(session_, item.inode, 0, 0);
          break;
      }
    }
    lock.lock();
  }
}

}  // namespace corvane::framework::mount
