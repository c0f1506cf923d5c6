// RemoteChangeFeed: what the change poller applied from the peer's side, as one
// JSON line per change in the domain's feed file (`corvane-fp watch` follows
// it, since inotify never hears of those), and to the pinned-file refresh.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "framework/mount/cache/PinnedRefresh.h"
#include "framework/mount/tree/ChangePoller.h"

namespace corvane::framework::mount {

class RemoteChangeFeed {
 public:
  explicit RemoteChangeFeed(std::string domain);  // the feed starts afresh with each mount

  // Pinned files the peer changed are fetched again through it; null to stop.
  void setRefresh(PinnedRefresh* refresh);
  void applied(const std::vector<RemoteChange>& changes);

 private:
  const std::string domain_;
  std::mutex mutex_;  // guards refresh_
  PinnedRefresh* refresh_ = nullptr;
};

}  // namespace corvane::framework::mount
