// FileProviderEnumerator: lists one container for the framework — the root of the
// mounted peer's share, a folder in it, the working set (the whole share, walked
// breadth-first) or the trash — and reports changes against sync anchors that bind
// the peer's share epoch to the host's change token.
//
// Made by FileProviderExtension::enumerator(for:request:), one per container the
// framework asks about. Holds the extension weakly, as its proxy provider, so it
// never keeps it alive; a released extension counts as a link that is not ready.
// Keeps no state between requests: each request's state lives in its reply blocks.
//
// Threading: requests arrive on framework threads and return after starting at
// most one host call; replies run on the host connection's queue. Each request
// ends its observer or handler, and its trace, exactly once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "extension/FileProviderEnumerationCompletion.h"
#include "extension/XpcProxyProvider.h"
#include "platform/fileprovider/Enumeration.h"
#include "platform/fileprovider/ItemIdentifier.h"
#include "shared/diagnostics/FileProviderRequestTrace.h"
#include "shared/share_epoch/FileProviderReimportState.h"

namespace corvane {

class FileProviderEnumerator final : public fileprovider::Enumerator,
                                     public std::enable_shared_from_this<FileProviderEnumerator> {
 public:
  static std::shared_ptr<FileProviderEnumerator> create(fileprovider::ItemIdentifier enumeratedItemIdentifier,
                                                        std::string mountedPeerId,
                                                        std::weak_ptr<XpcProxyProvider> proxyProvider);

  const fileprovider::ItemIdentifier& enumeratedItemIdentifier() const { return enumeratedItemIdentifier_; }
  const std::string& mountedPeerId() const { return mountedPeerId_; }

  // Nothing to release and nothing is cancelled: requests in flight still end.
  void invalidate() override {}

  // The whole container in one didEnumerateItems call (never paged); the page and
  // the observer's suggested page size are not read.
  void enumerateItems(std::shared_ptr<fileprovider::EnumerationObserver> observer,
                      fileprovider::Page startingAt) override;
  // An anchor for the present state: the share epoch read now, then the host token.
  void currentSyncAnchor(std::function<void(std::optional<fileprovider::SyncAnchor>)> completionHandler) override;
  // The changes since `from` in one batch, or -1002 when the anchor no longer
  // applies, so the framework lists the container afresh.
  void enumerateChanges(std::shared_ptr<fileprovider::ChangeObserver> observer, fileprovider::SyncAnchor from) override;

 private:
  FileProviderEnumerator(fileprovider::ItemIdentifier enumeratedItemIdentifier, std::string mountedPeerId,
                         std::weak_ptr<XpcProxyProvider> proxyProvider);

  // The provider's proxy, or null when the link is not ready or the provider is
  // gone. `onUndelivered` runs instead of a reply lost with the link. Never on the
  // host connection's queue.
  std::shared_ptr<VfsXpcProtocol> acquireProxy(XpcProxyProvider::UndeliveredHandler onUndelivered) const;
  // The same for a change request: null after answering it -1004 ("vfs_not_connected")
  // when there is no link; an orphaned call answers it -1004 too.
  std::shared_ptr<VfsXpcProtocol> acquireChangeProxy(const ChangeCompletion& done,
                                                     const std::shared_ptr<FileProviderRequestTrace>& trace) const;

  // One folder listed on `peerId`; the root's listing also records a pending
  // reimport as done. Framework thread; the rest runs in the reply.
  void enumerateDirectory(const std::shared_ptr<VfsXpcProtocol>& xpc, const std::string& peerId,
                          const std::string& path, const EnumerationCompletion& done,
                          const std::shared_ptr<FileProviderRequestTrace>& trace);
  // The breadth-first walk of the whole share, one listing in flight at a time.
  // Defined in FileProviderEnumeratorWorkingSet.cc.
  void enumerateWorkingSet(const std::shared_ptr<VfsXpcProtocol>& xpc, const EnumerationCompletion& done,
                           const std::shared_ptr<FileProviderRequestTrace>& trace);
  // The working set's change check: up to date while neither counter moved,
  // expired otherwise. Defined in FileProviderEnumeratorChanges.cc.
  void enumerateWorkingSetChanges(const ChangeCompletion& done, const fileprovider::SyncAnchor& from,
                                  std::uint64_t currentEpoch, const std::shared_ptr<FileProviderRequestTrace>& trace);

  // The state of one working-set walk, shared by its steps.
  struct WorkingSetWalk;

  // Records that the framework now holds a complete listing of `mountedPeerId`'s
  // root for `epoch`, when the snapshot kind qualifies and a reimport is pending.
  // Touches only the reimport store, so it also runs after the enumerator is gone.
  static void markAuthoritativeSnapshotCompleted(const std::string& mountedPeerId,
                                                 FileProviderReimportCompletionPolicy::Snapshot after,
                                                 std::uint64_t epoch, const std::string& detail);

  // Constant after construction.
  const fileprovider::ItemIdentifier enumeratedItemIdentifier_;
  const std::string mountedPeerId_;
  const std::weak_ptr<XpcProxyProvider> proxyProvider_;
};

}  // namespace corvane
