// FileProviderEnumerator: the working set, built by walking the whole share
// breadth-first, one folder listing at a time, and reported only once the walk is
// complete and the share was not replaced while it ran.
#include <deque>
#include <utility>

#include "extension/FileProviderEntryMapping.h"
#include "extension/FileProviderEnumerator.h"
#include "extension/FileProviderErrors.h"
#include "extension/FileProviderItem.h"
#include "platform/fileprovider/Errors.h"
#include "platform/oslog/Log.h"
#include "shared/diagnostics/CorvaneFpLog.h"
#include "shared/share_epoch/FileProviderShareEpoch.h"

namespace corvane {

using fileprovider::ItemIdentifier;
namespace ErrorCode = fileprovider::ErrorCode;

// Owned by the reply block of the listing in flight; the next listing starts from
// that reply, so exactly one step touches the walk at a time and no lock is needed.
// Runs on the host connection's queue after the first step.
struct FileProviderEnumerator::WorkingSetWalk : std::enable_shared_from_this<WorkingSetWalk> {
  WorkingSetWalk(std::shared_ptr<VfsXpcProtocol> proxy, std::string peer, std::uint64_t walkEpoch,
                 EnumerationCompletion completion, std::shared_ptr<FileProviderRequestTrace> requestTrace)
      : xpc(std::move(proxy)),
        peerId(std::move(peer)),
        epoch(walkEpoch),
        done(std::move(completion)),
        trace(std::move(requestTrace)) {
    pending.push_back(std::make_shared<const EntryFolder>(EntryFolder{ItemIdentifier::rootContainer(), peerId, "/"}));
  }

  // Lists the next pending folder, or ends the walk when none is left.
  void walkNext() {
    if (pending.empty()) return complete();
    std::shared_ptr<const EntryFolder> folder = std::move(pending.front());
    pending.pop_front();
    const std::string& path = folder->path;
    xpc->listDirectory(peerId, path, trace->flowId(),
                       [self = shared_from_this(), folder = std::move(folder)](VfsXpcProtocol::Entries entries,
                                                                               VfsXpcProtocol::Error error) {
                         self->onListing(folder, std::move(entries), std::move(error));
                       });
  }

  void onListing(const std::shared_ptr<const EntryFolder>& folder, VfsXpcProtocol::Entries entries,
                 VfsXpcProtocol::Error error) {
    if (error) {
      // One unreadable folder fails the whole set: a partial working set would
      // make the framework believe everything it lacks was deleted.
      const std::string& path = folder->path;
      const std::string description = error->localizedDescription();
      oslog::log(oslog::Type::Default, "\u274c [FPEnum] working-set list failed at %{public}@: %{public}@", path,
                 description);
      CorvaneFpLog::emit({.event = "mount.list_dir",
                          .level = "ERROR",
                          .peer = peerId,
                          .detail = path,
                          .errorCode = CorvaneFpLog::errorCode(error)});
      trace->fail({.error = error, .retryable = true, .detail = path});
      done.fail(fpError(ErrorCode::serverUnreachable, description));
      return;
    }
    if (entries) {
      for (const auto& entry : *entries) {
        if (entry->isDir()) {
          std::string identifier = folder->childIdentifier(entry->name());
          std::string path = identifier.substr(peerId.size() + 2);
          pending.push_back(std::make_shared<const EntryFolder>(
              EntryFolder{ItemIdentifier(std::move(identifier)), peerId, std::move(path)}));
        }
        collected.push_back(std::make_shared<const FileProviderItem>(folder, entry, epoch));
      }
    }
    walkNext();
  }

  void complete() {
    // Only the epoch at the end is compared: a share replaced mid-walk may have
    // mixed old and new folders into the set.
    if (FileProviderShareEpoch::current(peerId) != epoch) {
      trace->fail({.fallbackCode = "sync_anchor_expired", .retryable = true, .level = "WARN"});
      done.fail(enumerationError(ErrorCode::syncAnchorExpired));
      return;
    }
    const std::string count = std::to_string(collected.size());
    auto beforeEnd = [&] {
      markAuthoritativeSnapshotCompleted(peerId, FileProviderReimportCompletionPolicy::Snapshot::workingSet, epoch,
                                         "working_set count=" + count);
      trace->succeed("working_set count=" + count + " epoch=" + std::to_string(epoch));
    };
    if (collected.empty()) {
      done.finish(std::nullopt, beforeEnd);  // an empty share reports no items at all
    } else {
      done.finish(std::move(collected), beforeEnd);
    }
  }

  const std::shared_ptr<VfsXpcProtocol> xpc;
  const std::string peerId;
  const std::uint64_t epoch;
  const EnumerationCompletion done;
  const std::shared_ptr<FileProviderRequestTrace> trace;

  // Folders still to list, first in first out.
  std::deque<std::shared_ptr<const EntryFolder>> pending;
  std::vector<fileprovider::ItemPtr> collected;
};

void FileProviderEnumerator::enumerateWorkingSet(const std::shared_ptr<VfsXpcProtocol>& xpc,
                                                 const EnumerationCompletion& done,
                                                 const std::shared_ptr<FileProviderRequestTrace>& trace) {
  auto walk = std::make_shared<WorkingSetWalk>(xpc, mountedPeerId_, FileProviderShareEpoch::current(mountedPeerId_),
                                               done, trace);
  walk->walkNext();
}

}  // namespace corvane
