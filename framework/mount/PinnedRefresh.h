// PinnedRefresh: keeps pinned files available offline when the peer changes
// them. A change to a pinned path is fetched at once, by opening it through the
// mount from a thread of its own, the way `corvane-fp pin` does; without this a
// pinned file changed on the peer would read only while the peer is there.
#pragma once

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "framework/mount/PinSet.h"

namespace corvane::framework::mount {

class PinnedRefresh {
 public:
  PinnedRefresh(std::filesystem::path mountPoint, std::shared_ptr<PinSet> pins);
  // Stops after the open in flight, which must be able to end: call it once the
  // folder is unmounted.
  ~PinnedRefresh();

  // A path in the mount the peer added or changed; ignored unless pinned.
  void changed(const std::string& path);

 private:
  void run();

  const std::filesystem::path mountPoint_;
  const std::shared_ptr<PinSet> pins_;
  std::mutex mutex_;  // guards queue_ and stopping_
  std::condition_variable wake_;
  std::deque<std::string> queue_;
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace corvane::framework::mount
