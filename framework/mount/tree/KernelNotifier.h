// KernelNotifier: tells the kernel what changed behind its caches (a name, a
// file's attributes, a file's contents), from a thread of its own: a notice
// sent from inside a request handler can deadlock against the kernel, which
// may hold the very inode lock the notice needs.
#pragma once

#include <fuse_lowlevel.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace corvane::framework::mount {

// An invalidation the kernel must hear of.
struct Invalidation {
  enum class Kind { entry, attributes, contents } kind;
  fuse_ino_t inode;
  std::string name;  // for entry
};
using InvalidationSink = std::function<void(std::vector<Invalidation>)>;

class KernelNotifier {
 public:
  explicit KernelNotifier(fuse_session* session);
  ~KernelNotifier();  // sends what is queued, then stops
  KernelNotifier(const KernelNotifier&) = delete;
  KernelNotifier& operator=(const KernelNotifier&) = delete;

  // Queues a batch; any thread, never blocks on the kernel.
  void post(std::vector<Invalidation> batch);

 private:
  void run();

  fuse_session* const session_;
  std::mutex mutex_;  // guards queue_, stopping_
  std::condition_variable wake_;
  std::deque<std::vector<Invalidation>> queue_;
  bool stopping_ = false;
  std::thread thread_;  // last: it starts once the rest is made
};

}  // namespace corvane::framework::mount
