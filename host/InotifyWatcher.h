// InotifyWatcher notices changes that other programs make inside a share. It
// watches every folder of the share (adding watches as folders appear) and
// reports, on its own thread, which item to look at again; it never reads file
// contents itself. When the kernel's queue overflows or a watch cannot be added,
// it asks for the whole share to be compared instead.
//
// Threading: the callback runs on the watcher's thread only; the destructor
// stops that thread and waits for a callback in progress to return.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "host/SharePath.h"
#include "host/ShareRoot.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/UniqueFd.h"

namespace corvane::host {

class InotifyWatcher {
 public:
  // `path` changed (or may have); with `deep` its whole subtree should be compared.
  using Callback = std::function<void(const SharePath& path, bool deep)>;

  // Watches every folder below `root` before returning, so a change made after
  // start() returns is always reported.
  [[nodiscard]] static foundation::Result<std::unique_ptr<InotifyWatcher>> start(std::shared_ptr<const ShareRoot> root,
                                                                                 Callback callback);
  ~InotifyWatcher();
  InotifyWatcher(const InotifyWatcher&) = delete;
  InotifyWatcher& operator=(const InotifyWatcher&) = delete;

  // False once a folder could not be watched (for example, the per-user watch
  // limit was reached); changes may then go unreported until a full compare.
  bool complete() const { return complete_.load(std::memory_order_acquire); }

 private:
  InotifyWatcher(std::shared_ptr<const ShareRoot> root, Callback callback, foundation::UniqueFd inotify,
                 foundation::UniqueFd wake);
  void run();
  void addTree(const SharePath& folder);
  bool addWatch(const SharePath& folder);
  void forgetTree(const SharePath& folder);
  void handleBatch(const char* buffer, std::size_t length);

  // Constant after construction.
  const std::shared_ptr<const ShareRoot> root_;
  const Callback callback_;
  const foundation::UniqueFd inotify_;
  const foundation::UniqueFd wake_;  // eventfd that ends run()

  std::atomic<bool> complete_{true};

  // Touched by start() before the thread exists, then only on the thread.
  std::map<int, SharePath> pathByWatch_;
  std::map<std::string, int> watchByPath_;

  std::thread thread_;
};

}  // namespace corvane::host
