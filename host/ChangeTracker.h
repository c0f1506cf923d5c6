// ChangeTracker turns what happens in a share into journaled changes. It holds
// the last recorded state of every item (the snapshot) and the change journal;
// reconcile() compares one item (or a whole subtree) with the disk and journals
// each difference in the folder it happened in. The service's own operations,
// the inotify watcher and the start-up scan all go through reconcile(), so the
// snapshot and the journal always agree.
//
// Tokens handed out never exceed a ceiling that is saved before it is reached.
// After an unclean stop every token up to that ceiling expires; after a clean
// stop the saved snapshot is compared with the disk and the differences are
// journaled, so older tokens stay usable.
//
// Not thread-safe: HostVfsService calls it only under its tracker mutex.
#pragma once

#include <cstdint>
#include <memory>

#include "host/ChangeJournal.h"
#include "host/HostState.h"
#include "host/HostStateStore.h"
#include "host/HostTypes.h"
#include "host/ShareRoot.h"
#include "platform/foundation/Result.h"

namespace corvane::host {

class ChangeTracker {
 public:
  // How start() found the saved state.
  enum class Start {
    fresh,    // no usable state: a new token range, older tokens expired
    resumed,  // clean stop: older tokens still usable, offline changes journaled
    expired,  // unclean stop or another folder: older tokens expired
  };

  ChangeTracker(std::shared_ptr<const ShareRoot> root, HostStateStore& store, std::size_t journalLimit);

  // Loads the saved state, brings the snapshot up to date with the disk and
  // saves the new token ceiling. Call once, after the watcher is running, so no
  // change falls between the scan and the first event.
  Start start();

  // Compares `path` with its recorded state and journals any difference. With
  // `deep`, a folder's whole subtree is compared; without, only the item itself
  // (a folder that is new or was replaced is always scanned in full).
  void reconcile(const SharePath& path, bool deep);

  std::uint64_t currentToken() const { return journal_.current(); }
  std::uint64_t floorToken() const { return journal_.floor(); }

  // The changes of `folder`'s children since `since`, or -13 "sync_anchor_expired".
  [[nodiscard]] foundation::Result<HostChangesResult> readChanges(const SharePath& folder, std::uint64_t since) const;

  // Saves the full state marked as a clean stop. False when it could not be
  // written; the next start then expires older tokens.
  bool saveCleanStop();

 private:
  void scanChildren(const SharePath& folder, bool deep);
  void removeSubtree(const SharePath& path);
  void record(const SharePath& path, HostFsChange change);
  bool saveCeiling();
  HostState stateHeader(bool cleanStop) const;

  const std::shared_ptr<const ShareRoot> root_;
  HostStateStore& store_;
  ChangeJournal journal_;
  Snapshot snapshot_;
  std::uint64_t ceiling_ = 0;
  bool recording_ = true;  // false while a fresh snapshot is taken silently
};

}  // namespace corvane::host
