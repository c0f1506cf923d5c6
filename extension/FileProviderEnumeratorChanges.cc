// FileProviderEnumerator: sync anchors and change reports. An anchor binds the
// peer's share epoch (ours) to the host's change token (theirs); when the epoch
// moves, every anchor of the peer expires and the framework lists afresh.
#include <cassert>
#include <cstdlib>

#include "extension/FileProviderEnumerator.h"
#include "extension/FileProviderErrors.h"
#include "extension/FileProviderItem.h"
#include "extension/FileProviderRequestSupport.h"
#include "extension/ParsedIdentifier.h"
#include "platform/fileprovider/Errors.h"
#include "platform/oslog/Log.h"
#include "shared/diagnostics/CorvaneFpLog.h"
#include "shared/share_epoch/FileProviderShareEpoch.h"
#include "shared/share_epoch/FileProviderWorkingSetPolicy.h"

namespace corvane {
namespace {

using fileprovider::ItemIdentifier;
namespace ErrorCode = fileprovider::ErrorCode;

// The host's "your token is too old": only its own domain can say so, by code
// text or by number.
bool isHostTokenExpired(const foundation::Error& error) {
  if (error.domain() != kVfsErrorDomain) return false;
  const std::string* named = error.stringForKey(kVfsErrorCodeKey);
  return (named && *named == vfsErrorCodeText(VfsErrorCode::syncAnchorExpired)) ||
         error.code() == static_cast<std::int64_t>(VfsErrorCode::syncAnchorExpired);
}

// The peer a request about `identifier` concerns: the one it names, else the
// mounted peer (the framework's own containers).
std::string requestPeer(const ItemIdentifier& identifier, const std::string& mountedPeerId) {
  if (auto parsed = ParsedIdentifier::parse(identifier)) return parsed->peerId;
  return mountedPeerId;
}

void expireAnchor(const ChangeCompletion& done, FileProviderRequestTrace& trace,
                  std::optional<std::string_view> detail = std::nullopt) {
  trace.fail({.fallbackCode = "sync_anchor_expired", .retryable = true, .level = "WARN", .detail = detail});
  done.fail(enumerationError(ErrorCode::syncAnchorExpired));
}

}  // namespace

std::shared_ptr<VfsXpcProtocol> FileProviderEnumerator::acquireChangeProxy(
    const ChangeCompletion& done, const std::shared_ptr<FileProviderRequestTrace>& trace) const {
  auto proxy =
      acquireProxy([trace, done](const foundation::Error& error) { done.fail(failOrphanedRequest(*trace, error)); });
  if (!proxy) {
    trace->fail({.fallbackCode = "vfs_not_connected", .retryable = true, .level = "WARN"});
    done.fail(enumerationError(ErrorCode::serverUnreachable));
  }
  return proxy;
}

void FileProviderEnumerator::currentSyncAnchor(
    std::function<void(std::optional<fileprovider::SyncAnchor>)> completionHandler) {
  const std::string peerId = requestPeer(enumeratedItemIdentifier_, mountedPeerId_);
  // Read before the host call: an epoch change that lands meanwhile leaves this
  // anchor on the old epoch, and the next change request expires it.
  const std::uint64_t epoch = FileProviderShareEpoch::current(peerId);
  auto trace = std::make_shared<FileProviderRequestTrace>("file_provider.current_sync_anchor", peerId,
                                                          enumeratedItemIdentifier_.rawValue());
  const AnchorCompletion done(std::move(completionHandler));

  auto proxy = acquireProxy([trace, done](const foundation::Error& error) {
    (void)failOrphanedRequest(*trace, error);  // an anchor request has no error to hand on
    done(std::nullopt);
  });
  if (!proxy) {
    trace->fail({.fallbackCode = "vfs_not_connected", .retryable = true, .level = "WARN"});
    done(std::nullopt);
    return;
  }
  proxy->getCurrentToken(peerId, trace->flowId(),
                         [trace, done, epoch](std::optional<std::uint64_t> token, VfsXpcProtocol::Error error) {
                           if (error || !token) {
                             trace->fail({.error = error, .fallbackCode = "protocol_error", .retryable = true});
                             done(std::nullopt);
                             return;
                           }
                           trace->succeed("epoch=" + std::to_string(epoch) + " token=" + std::to_string(*token));
                           done(fileprovider::SyncAnchor{FileProviderShareEpoch::makeAnchor(epoch, *token)});
                         });
}

void FileProviderEnumerator::enumerateChanges(std::shared_ptr<fileprovider::ChangeObserver> observer,
                                              fileprovider::SyncAnchor from) {
  const std::string& raw = enumeratedItemIdentifier_.rawValue();
  const std::string peerId = requestPeer(enumeratedItemIdentifier_, mountedPeerId_);
  const std::uint64_t epoch = FileProviderShareEpoch::current(peerId);
  auto trace = std::make_shared<FileProviderRequestTrace>("file_provider.enumerate_changes", peerId, raw);
  const ChangeCompletion done(std::move(observer));

  if (enumeratedItemIdentifier_ == ItemIdentifier::trashContainer()) {
    trace->succeed("trash count=0");
    done.finish({}, {}, std::move(from));
    return;
  }
  if (enumeratedItemIdentifier_ == ItemIdentifier::workingSet()) {
    enumerateWorkingSetChanges(done, from, epoch, trace);
    return;
  }
  // Before the link is consulted: a replaced share expires the anchor even while
  // the host is unreachable.
  if (FileProviderShareEpoch::isExpired(from.rawValue, epoch)) {
    oslog::log(oslog::Type::Default, "\U0001f504 [FPEnum] share-epoch mismatch, expiring sync anchor");
    CorvaneFpLog::emit({.event = "mount.sync_anchor_expired", .peer = peerId, .epoch = epoch});
    expireAnchor(done, *trace);
    return;
  }
  const std::uint64_t sinceToken = FileProviderShareEpoch::parseAnchor(from.rawValue)->hostToken;

  auto proxy = acquireChangeProxy(done, trace);
  if (!proxy) return;

  std::string targetPeer = mountedPeerId_;
  std::string path = "/";
  if (enumeratedItemIdentifier_ != ItemIdentifier::rootContainer()) {
    auto parsed = ParsedIdentifier::parse(enumeratedItemIdentifier_);
    if (!parsed) {
      // Unlike a listing, which ends empty, an anchor for something we cannot
      // name is useless: the framework should drop it.
      trace->fail({.fallbackCode = "invalid_argument", .retryable = false});
      done.fail(enumerationError(ErrorCode::syncAnchorExpired));
      return;
    }
    targetPeer = std::move(parsed->peerId);
    path = std::move(parsed->path);
  }

  oslog::log(oslog::Type::Default, "\U0001f504 [FPEnum] readChanges for %{public}@ since %llu", raw, sinceToken);
  proxy->readChanges(
      targetPeer, path, sinceToken, trace->flowId(),
      [self = shared_from_this(), targetPeer, path, epoch, trace, done](
          std::shared_ptr<const VfsChangesResultDto> result, VfsXpcProtocol::Error error) {
        if (error && isHostTokenExpired(*error)) {
          oslog::log(oslog::Type::Default, "\U0001f504 [FPEnum] syncAnchorExpired from XPC");
          CorvaneFpLog::emit({.event = "mount.sync_anchor_expired", .peer = targetPeer, .epoch = epoch});
          trace->fail({.error = error,
                       .fallbackCode = "sync_anchor_expired",
                       .retryable = true,
                       .level = "WARN",
                       .detail = path});
          done.fail(enumerationError(ErrorCode::syncAnchorExpired));
          return;
        }
        if (error) {
          oslog::log(oslog::Type::Default,
                     "\u274c [FPEnum] readChanges failed: %{public}@. Triggering serverUnreachable (Freeze)",
                     error->localizedDescription());
          trace->fail({.error = error, .retryable = true, .detail = path});
          done.fail(fpError(ErrorCode::serverUnreachable, std::nullopt));
          return;
        }
        if (!result) {
          trace->fail({.fallbackCode = "protocol_error", .retryable = true, .detail = path});
          done.fail(fpError(ErrorCode::serverUnreachable, std::nullopt));
          return;
        }
        if (const std::uint64_t now = FileProviderShareEpoch::current(targetPeer); now != epoch) {
          // The host's answer may describe the new share; reporting it against the
          // old anchor would mix the two.
          CorvaneFpLog::emit({.event = "mount.sync_anchor_expired", .peer = targetPeer, .epoch = now});
          expireAnchor(done, *trace, path);
          return;
        }

        std::vector<fileprovider::ItemPtr> updated;
        std::vector<ItemIdentifier> deleted;
        const auto folder = std::make_shared<const EntryFolder>(
            EntryFolder{self->enumeratedItemIdentifier_, targetPeer, path, EntryFolder::Joining::changed});
        for (const auto& change : result->changes()) {
          if (change->isRemoved() && change->removedName()) {
            deleted.emplace_back(folder->childIdentifier(*change->removedName()));
          } else if (change->entry()) {
            // Also a removal that names no child but carries an entry: the entry
            // is all there is to go by.
            updated.push_back(std::make_shared<const FileProviderItem>(folder, change->entry(), std::nullopt));
          }
        }
        const std::uint64_t newToken = result->newToken();
        const std::string detail = path + " updated=" + std::to_string(updated.size()) +
                                   " deleted=" + std::to_string(deleted.size()) + " token=" + std::to_string(newToken);
        done.finish(std::move(updated), std::move(deleted),
                    fileprovider::SyncAnchor{FileProviderShareEpoch::makeAnchor(epoch, newToken)},
                    [&] { trace->succeed(detail); });
      });
}

void FileProviderEnumerator::enumerateWorkingSetChanges(const ChangeCompletion& done,
                                                        const fileprovider::SyncAnchor& from,
                                                        std::uint64_t currentEpoch,
                                                        const std::shared_ptr<FileProviderRequestTrace>& trace) {
  auto anchor = FileProviderShareEpoch::parseAnchor(from.rawValue);
  if (!anchor) {
    CorvaneFpLog::emit({.event = "mount.sync_anchor_expired", .peer = mountedPeerId_, .epoch = currentEpoch});
    expireAnchor(done, *trace);
    return;
  }
  auto proxy = acquireChangeProxy(done, trace);
  if (!proxy) return;
  proxy->getCurrentToken(
      mountedPeerId_, trace->flowId(),
      [peerId = mountedPeerId_, anchor = *anchor, currentEpoch, trace, done](std::optional<std::uint64_t> token,
                                                                             VfsXpcProtocol::Error error) {
        if (error) {
          trace->fail({.error = error, .retryable = true});
          done.fail(fpError(ErrorCode::serverUnreachable, error->localizedDescription()));
          return;
        }
        if (!token) {
          trace->fail({.fallbackCode = "protocol_error", .retryable = true});
          done.fail(enumerationError(ErrorCode::serverUnreachable));
          return;
        }
        switch (FileProviderWorkingSetPolicy::changePlan(anchor.epoch, anchor.hostToken, currentEpoch, *token)) {
          case FileProviderWorkingSetPolicy::ChangePlan::expireAnchor:
            CorvaneFpLog::emit({.event = "mount.sync_anchor_expired", .peer = peerId, .epoch = currentEpoch});
            expireAnchor(done, *trace);
            return;
          case FileProviderWorkingSetPolicy::ChangePlan::upToDate:
            trace->succeed("working_set up_to_date token=" + std::to_string(*token));
            done.finish({}, {}, fileprovider::SyncAnchor{FileProviderShareEpoch::makeAnchor(currentEpoch, *token)});
            return;
          default:
            assert(!"unknown working-set change plan");
            std::abort();
        }
      });
}

}  // namespace corvane
