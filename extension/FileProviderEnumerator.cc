// FileProviderEnumerator: construction, full listings of the root, folders and the
// trash, and the record of a complete root listing.
#include "extension/FileProviderEnumerator.h"

#include <cassert>
#include <cstdlib>

#include "extension/FileProviderErrors.h"
#include "extension/FileProviderItem.h"
#include "extension/FileProviderRequestSupport.h"
#include "extension/ParsedIdentifier.h"
#include "platform/fileprovider/Errors.h"
#include "platform/oslog/Log.h"
#include "shared/diagnostics/CorvaneFpLog.h"
#include "shared/share_epoch/FileProviderEnumerationAvailabilityPolicy.h"
#include "shared/share_epoch/FileProviderShareEpoch.h"

namespace corvane {

using fileprovider::ItemIdentifier;
namespace ErrorCode = fileprovider::ErrorCode;

std::shared_ptr<FileProviderEnumerator> FileProviderEnumerator::create(ItemIdentifier enumeratedItemIdentifier,
                                                                       std::string mountedPeerId,
                                                                       std::weak_ptr<XpcProxyProvider> proxyProvider) {
  return std::shared_ptr<FileProviderEnumerator>(new FileProviderEnumerator(
      std::move(enumeratedItemIdentifier), std::move(mountedPeerId), std::move(proxyProvider)));
}

FileProviderEnumerator::FileProviderEnumerator(ItemIdentifier enumeratedItemIdentifier, std::string mountedPeerId,
                                               std::weak_ptr<XpcProxyProvider> proxyProvider)
    : enumeratedItemIdentifier_(std::move(enumeratedItemIdentifier)),
      mountedPeerId_(std::move(mountedPeerId)),
      proxyProvider_(std::move(proxyProvider)) {}

std::shared_ptr<VfsXpcProtocol> FileProviderEnumerator::acquireProxy(
    XpcProxyProvider::UndeliveredHandler onUndelivered) const {
  auto provider = proxyProvider_.lock();
  return provider ? provider->acquireProxy(std::move(onUndelivered)) : nullptr;
}

void FileProviderEnumerator::enumerateItems(std::shared_ptr<fileprovider::EnumerationObserver> observer,
                                            fileprovider::Page) {
  const std::string& raw = enumeratedItemIdentifier_.rawValue();
  auto trace = std::make_shared<FileProviderRequestTrace>("file_provider.enumerate_items", mountedPeerId_, raw);
  const EnumerationCompletion done(std::move(observer));

  if (enumeratedItemIdentifier_ == ItemIdentifier::trashContainer()) {
    trace->succeed("trash count=0");
    done.finish(std::nullopt);
    return;
  }

  auto proxy =
      acquireProxy([trace, done](const foundation::Error& error) { done.fail(failOrphanedRequest(*trace, error)); });
  using FileProviderEnumerationAvailabilityPolicy::Plan;
  if (FileProviderEnumerationAvailabilityPolicy::plan(proxy != nullptr) != Plan::enumerate || !proxy) {
    oslog::log(oslog::Type::Default, "\u23f8\ufe0f [FPEnum] No XPC proxy for %{public}@ \u2014 deferring enumeration",
               raw);
    trace->fail({.fallbackCode = "vfs_not_connected", .retryable = true, .level = "WARN"});
    done.fail(enumerationError(ErrorCode::serverUnreachable));
    return;
  }

  if (enumeratedItemIdentifier_ == ItemIdentifier::workingSet()) {
    enumerateWorkingSet(proxy, done, trace);
  } else if (enumeratedItemIdentifier_ == ItemIdentifier::rootContainer()) {
    enumerateDirectory(proxy, mountedPeerId_, "/", done, trace);
  } else if (auto parsed = ParsedIdentifier::parse(enumeratedItemIdentifier_)) {
    enumerateDirectory(proxy, parsed->peerId, parsed->path, done, trace);
  } else {
    // Not an error towards the framework: a container we cannot name simply has
    // nothing in it.
    oslog::log(oslog::Type::Default, "\u26a0\ufe0f [FPEnum] Unparseable identifier: %{public}@", raw);
    trace->fail({.fallbackCode = "invalid_argument", .retryable = false});
    done.finish(std::nullopt);
  }
}

void FileProviderEnumerator::enumerateDirectory(const std::shared_ptr<VfsXpcProtocol>& xpc, const std::string& peerId,
                                                const std::string& path, const EnumerationCompletion& done,
                                                const std::shared_ptr<FileProviderRequestTrace>& trace) {
  oslog::log(oslog::Type::Default, "\U0001f4c2 [FPEnum] listDirectory peerId=%{public}@ path=%{public}@", peerId, path);
  // The root's items all carry the epoch read before the call, and the listing
  // only counts when that epoch still holds at the reply: a share replaced in
  // between would otherwise be reported under the old epoch.
  std::optional<std::uint64_t> rootEpoch;
  if (enumeratedItemIdentifier_ == ItemIdentifier::rootContainer() && path == "/") {
    rootEpoch = FileProviderShareEpoch::current(peerId);
  }

  // The reply needs nothing of the enumerator, so a listing whose enumerator the
  // framework released meanwhile still delivers its items.
  xpc->listDirectory(
      peerId, path, trace->flowId(),
      [folder = std::make_shared<const EntryFolder>(EntryFolder{enumeratedItemIdentifier_, peerId, path}),
       mountedPeerId = mountedPeerId_, peerId, path, rootEpoch, done,
       trace](VfsXpcProtocol::Entries entries, VfsXpcProtocol::Error error) {
        if (error) {
          const std::string description = error->localizedDescription();
          oslog::log(oslog::Type::Default, "\u274c [FPEnum] listDirectory failed: %{public}@", description);
          const std::string* named = error->stringForKey(kVfsErrorCodeKey);
          const std::string code = named ? *named : "io";
          CorvaneFpLog::emit(
              {.event = "mount.list_dir", .level = "ERROR", .peer = peerId, .detail = path, .errorCode = code});
          trace->fail({.error = error, .retryable = true, .detail = path});
          done.fail(fpError(ErrorCode::serverUnreachable, description));
          return;
        }
        if (!entries) {
          trace->fail({.fallbackCode = "protocol_error", .retryable = true, .detail = path});
          done.fail(enumerationError(ErrorCode::serverUnreachable));
          return;
        }
        if (rootEpoch && FileProviderShareEpoch::current(peerId) != *rootEpoch) {
          trace->fail({.fallbackCode = "sync_anchor_expired", .retryable = true, .level = "WARN", .detail = path});
          done.fail(enumerationError(ErrorCode::syncAnchorExpired));
          return;
        }
        oslog::log(oslog::Type::Default, "\u2705 [FPEnum] %{public}@ \u2192 %d items", path, entries->size());

        // Items outside the root take the epoch as it is when each one is mapped,
        // so a share replaced part-way through the reply dates the rest of the
        // items by the new epoch.
        std::vector<fileprovider::ItemPtr> items;
        items.reserve(entries->size());
        for (const auto& entry : *entries) {
          const std::uint64_t epoch = rootEpoch ? *rootEpoch : FileProviderShareEpoch::current(peerId);
          items.push_back(std::make_shared<const FileProviderItem>(folder, entry, epoch));
        }
        const std::string count = std::to_string(items.size());
        done.finish(std::move(items), [&] {
          if (rootEpoch) {
            markAuthoritativeSnapshotCompleted(mountedPeerId,
                                               FileProviderReimportCompletionPolicy::Snapshot::rootContainer,
                                               *rootEpoch, "root count=" + count);
          }
          trace->succeed(path + " count=" + count);
        });
      });
}

void FileProviderEnumerator::markAuthoritativeSnapshotCompleted(const std::string& mountedPeerId,
                                                                FileProviderReimportCompletionPolicy::Snapshot after,
                                                                std::uint64_t epoch, const std::string& detail) {
  if (!FileProviderReimportCompletionPolicy::shouldMarkCompleted(after)) return;
  if (!FileProviderReimportState::needsRootReimport(mountedPeerId, epoch)) return;
  if (FileProviderReimportState::markCompleted(mountedPeerId, epoch)) {
    CorvaneFpLog::emit({.event = "mount.reimport_done",
                        .level = "INFO",
                        .peer = mountedPeerId,
                        .detail = "authoritative_snapshot " + detail,
                        .epoch = epoch});
  } else {
    CorvaneFpLog::emit({.event = "mount.reimport_fail",
                        .level = "ERROR",
                        .peer = mountedPeerId,
                        .detail = "completion_record_write_failed " + detail,
                        .errorCode = "io",
                        .retryable = true,
                        .epoch = epoch});
  }
}

}  // namespace corvane
