// Invalidations: where the mount's parts send what the kernel must forget (a
// folder listed again, a change from the peer, an upload that landed). Mount
// connects it to the kernel notifier once the session is up, and disconnects
// it before the session goes; the parts that post never learn which it is.
//
// Thread-safe. The sink runs with the relay's lock held, so once `connect({})`
// returned, no batch is on its way to the sink it replaced (the upload workers
// outlive the kernel notifier). The sink only queues.
#pragma once

#include <mutex>
#include <utility>
#include <vector>

#include "framework/mount/tree/KernelNotifier.h"

namespace corvane::framework::mount {

class Invalidations {
 public:
  void connect(InvalidationSink sink) {
    std::lock_guard guard(mutex_);
    sink_ = std::move(sink);
  }
  // Dropped while nothing is connected: a kernel not there caches nothing.
  void post(std::vector<Invalidation> batch) {
    if (batch.empty()) return;
    std::lock_guard guard(mutex_);
    if (sink_) sink_(std::move(batch));
  }

 private:
  std::mutex mutex_;  // guards sink_, and is held while it runs
  InvalidationSink sink_;
};

}  // namespace corvane::framework::mount
