// FileProviderExtension: deleting an item on the peer. A stat first learns
// whether the path is a folder; the host then deletes it with that flag and
// decides itself whether a non-empty folder may go.
#include "extension/FileProviderErrors.h"
#include "extension/FileProviderExtension.h"
#include "extension/FileProviderRequestSupport.h"
#include "extension/ParsedIdentifier.h"
#include "platform/fileprovider/Errors.h"

namespace corvane {

foundation::ProgressPtr FileProviderExtension::deleteItem(const fileprovider::ItemIdentifier& identifier,
                                                          const fileprovider::ItemVersion&,
                                                          fileprovider::DeleteItemOptions, const fileprovider::Request&,
                                                          ErrorCompletion completionHandler) {
  foundation::Once<OptionalError> complete(std::move(completionHandler));
  // Never advanced: a deletion has no partial progress to show.
  auto progress = std::make_shared<foundation::Progress>(1);
  auto trace =
      std::make_shared<FileProviderRequestTrace>("file_provider.delete", mountedPeerId(), identifier.rawValue());

  auto xpc = acquireProxy(
      [trace, complete](const foundation::Error& linkError) { complete(failOrphanedRequest(*trace, linkError)); });
  if (!xpc) {
    trace->fail({.fallbackCode = "vfs_not_connected", .retryable = true, .level = "WARN"});
    complete(fpError(fileprovider::ErrorCode::serverUnreachable, std::nullopt));
    return progress;
  }
  auto parsed = ParsedIdentifier::parse(identifier);
  if (!parsed) {
    trace->fail({.fallbackCode = "not_found", .retryable = false});
    complete(fpError(fileprovider::ErrorCode::noSuchItem, std::nullopt));
    return progress;
  }

  xpc->statItem(parsed->peerId, parsed->path, trace->flowId(),
                [xpc, peerId = parsed->peerId, path = parsed->path, trace, complete](
                    std::shared_ptr<const VfsFileEntryDto> entry, VfsXpcProtocol::Error error) {
                  if (error) {
                    trace->fail({.error = error, .retryable = true, .detail = path});
                    complete(mapXpcError(*error));
                    return;
                  }
                  if (!entry) {
                    // Already gone on the peer: reported as such, never as a success.
                    trace->fail({.fallbackCode = "not_found", .retryable = false, .detail = path});
                    complete(fpError(fileprovider::ErrorCode::noSuchItem, std::nullopt));
                    return;
                  }
                  xpc->deleteItem(peerId, path, entry->isDir(), trace->flowId(),
                                  [trace, path, complete](VfsXpcProtocol::Error deleteError) {
                                    if (deleteError) {
                                      trace->fail({.error = deleteError, .retryable = true, .detail = path});
                                      complete(mapXpcError(*deleteError));
                                      return;
                                    }
                                    trace->succeed(path);
                                    complete(std::nullopt);
                                  });
                });
  return progress;
}

}  // namespace corvane
