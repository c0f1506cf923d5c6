// FileProviderExtension: materialising a file's contents. The host produces the
// local copy (fetchFileContents); a stat of the same path then refreshes the item
// handed back with it. A failed refresh never fails the fetch.
#include "extension/FileProviderErrors.h"
#include "extension/FileProviderExtension.h"
#include "extension/FileProviderItem.h"
#include "extension/FileProviderRequestSupport.h"
#include "extension/ParsedIdentifier.h"
#include "platform/fileprovider/Errors.h"
#include "platform/foundation/Once.h"
#include "platform/oslog/Log.h"
#include "shared/diagnostics/CorvaneFpLog.h"

namespace corvane {

foundation::ProgressPtr FileProviderExtension::fetchContents(const fileprovider::ItemIdentifier& identifier,
                                                             const std::optional<fileprovider::ItemVersion>&,
                                                             const fileprovider::Request&,
                                                             FetchCompletion completionHandler) {
  using Contents = std::optional<std::filesystem::path>;
  foundation::Once<Contents, fileprovider::ItemPtr, OptionalError> complete(std::move(completionHandler));

  oslog::log(oslog::Type::Default, "\u2b07\ufe0f [FP] fetchContents(for: %{public}@)", identifier.rawValue());
  auto trace = std::make_shared<FileProviderRequestTrace>("file_provider.fetch_contents", mountedPeerId(),
                                                          identifier.rawValue());
  auto progress = std::make_shared<foundation::Progress>(-1);

  // Containers and foreign identifiers have no contents: answered before the
  // link is looked at.
  auto parsed = ParsedIdentifier::parse(identifier);
  if (!parsed) {
    trace->fail({.fallbackCode = "not_found", .retryable = false});
    complete(std::nullopt, nullptr, fpError(fileprovider::ErrorCode::noSuchItem, std::nullopt));
    return progress;
  }

  auto xpc = acquireProxy([trace, complete](const foundation::Error& linkError) {
    complete(std::nullopt, nullptr, failOrphanedRequest(*trace, linkError));
  });
  if (!xpc) {
    CorvaneFpLog::emit({.event = "mount.fetch_contents",
                        .level = "ERROR",
                        .peer = parsed->peerId,
                        .detail = parsed->path,
                        .errorCode = "vfs_not_connected"});
    trace->fail({.fallbackCode = "vfs_not_connected", .retryable = true, .level = "WARN", .detail = parsed->path});
    complete(std::nullopt, nullptr, fpError(fileprovider::ErrorCode::serverUnreachable, std::nullopt));
    return progress;
  }

  xpc->fetchFileContents(
      parsed->peerId, parsed->path, trace->flowId(),
      [xpc, identifier, parsed = *parsed, trace, progress, complete](std::optional<xpc::FileURL> url,
                                                                     VfsXpcProtocol::Error error) {
        if (error) {
          const std::string* code = error->stringForKey(kVfsErrorCodeKey);
          CorvaneFpLog::emit({.event = "mount.fetch_contents",
                              .level = "ERROR",
                              .peer = parsed.peerId,
                              .detail = parsed.path,
                              .errorCode = code ? std::string_view(*code) : std::string_view("io")});
          trace->fail({.error = error, .retryable = true, .detail = parsed.path});
          complete(std::nullopt, nullptr, mapXpcError(*error));
          return;
        }
        // No URL and no error is passed on as it came: no contents, no error.
        Contents contents = url ? Contents(url->path) : std::nullopt;
        xpc->statItem(parsed.peerId, parsed.path, trace->flowId(),
                      [identifier, parsed, trace, progress, complete, contents](
                          std::shared_ptr<const VfsFileEntryDto> entry, VfsXpcProtocol::Error statError) {
                        fileprovider::ItemPtr item;
                        if (entry) {
                          item = std::make_shared<FileProviderItem>(identifier, parsed.parentIdentifier, entry->name(),
                                                                    FileProviderItem::Kind::file, entry->size(),
                                                                    entry->modifiedMs(), std::nullopt);
                        }
                        progress->setTotalUnitCount(1);
                        progress->setCompletedUnitCount(1);
                        if (statError) {
                          trace->succeed(parsed.path + " metadata=" + CorvaneFpLog::errorCode(statError, "io"));
                        } else {
                          trace->succeed(parsed.path);
                        }
                        complete(contents, item, std::nullopt);
                      });
      });
  return progress;
}

}  // namespace corvane
