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
#include <vector>

#include "framework/mount/cache/PinSet.h"

namespace corvane::framework::mount {

// Every regular file at `local` or below it (a file alone when `local` is one);
// `error` says why a folder could not be walked to the end.
std::vector<std::filesystem::path> filesAtOrBelow(const std::filesystem::path& local, std::error_code& error);
// Opens `file` through the mount, which materialises it as it would for any
// program; nothing needs reading. 0, or the errno.
int fetchThroughMount(const std::filesystem::path& file);

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
