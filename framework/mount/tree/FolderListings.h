// FolderListings: each folder's children as the peer listed them, taken on first
// use and kept with the sync anchor they were taken at, so the change poller
// brings them up to date from there. A first walk (preload) lists every folder
// once, the way the framework fills its database: one working-set enumeration,
// or for a share on another machine each folder's listing, many at once.
// Folders asked for while it runs wait for it rather than race it for the host.
//
// Thread-safe: FUSE workers list folders at once, each folder's first listing
// on a lock of its own; the table's mutex is never held across a call into the
// extension.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "framework/mount/service/ExtensionCalls.h"
#include "framework/mount/tree/Invalidations.h"
#include "framework/mount/tree/NodeTable.h"

namespace corvane::framework::mount {

class FolderListings {
 public:
  // `invalidations` tells the kernel what a folder listed again showed changed.
  // `shareElsewhere`: the share is on another machine, where each listing
  // is a round trip of the link.
  FolderListings(std::shared_ptr<ExtensionCalls> calls, NodeTable& table, Invalidations& invalidations,
                 bool shareElsewhere = false);

  // Lists the folder unless it is listed: 0, or an errno. Once the root is
  // first listed, the extension hears that the import is done.
  int ensureListed(const NodePtr& folder);
  // Puts what the peer listed in the folder, keeping new files not yet on it.
  // For a folder listed before, what the kernel must hear of:
  // it may hold entries of names that came, went or changed meanwhile, and a
  // miss it remembers (a negative entry) would hide a name that came.
  std::vector<Invalidation> apply(const NodeTable::Held& held, const NodePtr& folder, FolderListing listing);

  // Lists every folder not listed yet, breadth-first from the root: the
  // working set's anchor, or absent when a listing failed.
  std::optional<fileprovider::SyncAnchor> preload();

 private:
  // Waits while the preload runs, up to its deadline.
  void awaitPreload();
  // Lists the folder, with its listing lock held: 0, or an errno.
  int listNow(const NodePtr& folder);
  // The preload on this machine: one working-set enumeration, put in place
  // folder by folder.
  std::optional<fileprovider::SyncAnchor> walkOnce();
  void fillFrom(FolderListing everything, std::uint64_t renamesBefore);
  // The preload of a share elsewhere: each depth's folders listed at once.
  std::optional<fileprovider::SyncAnchor> listEachFolder();

  const std::shared_ptr<ExtensionCalls> calls_;
  NodeTable& table_;
  Invalidations& invalidations_;
  const bool shareElsewhere_;
  std::once_flag importFinished_;
  std::mutex preloadMutex_;  // guards preloadUntil_
  std::condition_variable preloadDone_;
  std::optional<std::chrono::steady_clock::time_point> preloadUntil_;
};

}  // namespace corvane::framework::mount
