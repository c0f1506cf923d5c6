// FileProviderExtension: creating an item the user made locally on the peer — a
// folder, a file with contents, an empty file — or, for a reimport, reconciling the
// local item with what the host already has at its path.
#include "extension/FileProviderErrors.h"
#include "extension/FileProviderExtension.h"
#include "extension/FileProviderItem.h"
#include "extension/FileProviderRequestSupport.h"
#include "extension/ParsedIdentifier.h"
#include "platform/fileprovider/Errors.h"
#include "platform/foundation/PathString.h"
#include "platform/oslog/Log.h"
#include "shared/diagnostics/CorvaneFpLog.h"
#include "shared/items/FileProviderCreatePolicy.h"
#include "shared/items/FileProviderItemIdentifierCodec.h"

namespace corvane {
namespace {

// Whether a stat error says that nothing is at the path. The code text decides
// when the host gave one of its own; otherwise the domain and number do.
bool remoteItemMissing(const foundation::Error& error) {
  if (const std::string* code = error.stringForKey(kVfsErrorCodeKey);
      code && *code == vfsErrorCodeText(VfsErrorCode::notFound)) {
    return true;
  }
  return error.domain() == kVfsErrorDomain && error.code() == static_cast<std::int64_t>(VfsErrorCode::notFound);
}

}  // namespace

foundation::ProgressPtr FileProviderExtension::createItem(fileprovider::ItemPtr itemTemplate, fileprovider::ItemFields,
                                                          const std::optional<std::filesystem::path>& contents,
                                                          fileprovider::CreateItemOptions options,
                                                          const fileprovider::Request&,
                                                          ItemChangeCompletion completionHandler) {
  ItemChangeOnce complete(std::move(completionHandler));
  auto progress = std::make_shared<foundation::Progress>(1);
  const std::string filename = itemTemplate->filename();
  const fileprovider::ItemIdentifier parent = itemTemplate->parentItemIdentifier();

  auto trace = std::make_shared<FileProviderRequestTrace>("file_provider.create", mountedPeerId(),
                                                          parent.rawValue() + "/" + filename);
  oslog::log(oslog::Type::Default, "\U0001f4e4 [FP] createItem(filename: %{public}@, parent: %{public}@)", filename,
             parent.rawValue());

  auto staged = std::make_shared<StagedUploadSlot>();
  auto xpc = acquireItemChangeProxy(trace, staged, complete);
  if (!xpc) return progress;

  std::string peerId;
  std::string remotePath;
  if (parent == fileprovider::ItemIdentifier::rootContainer()) {
    peerId = mountedPeerId();
    remotePath = "/" + filename;
  } else if (auto parsed = ParsedIdentifier::parse(parent)) {
    peerId = parsed->peerId;
    remotePath = foundation::PathString::collapsingDoubleSlashesOnce(
        foundation::PathString::appendingPathComponent(parsed->path, filename));
  } else {
    // The working set, the trash or a foreign identifier: nothing to create in.
    trace->fail({.fallbackCode = "not_found", .retryable = false});
    complete(nullptr, 0, false, fpError(fileprovider::ErrorCode::noSuchItem, std::nullopt));
    return progress;
  }

  performCreate(std::move(xpc), peerId, remotePath, filename, parent, itemTemplate, contents, options, progress, trace,
                staged, complete);
  return progress;
}

void FileProviderExtension::performCreate(std::shared_ptr<VfsXpcProtocol> xpc, const std::string& peerId,
                                          const std::string& remotePath, const std::string& filename,
                                          const fileprovider::ItemIdentifier& parentIdentifier,
                                          const fileprovider::ItemPtr& itemTemplate,
                                          const std::optional<std::filesystem::path>& contentsUrl,
                                          fileprovider::CreateItemOptions options, foundation::ProgressPtr progress,
                                          std::shared_ptr<FileProviderRequestTrace> trace,
                                          std::shared_ptr<StagedUploadSlot> staged, ItemChangeOnce completionHandler) {
  // Exact equality: a type that merely conforms to folder (a package) is a file.
  const bool isDirectory = itemTemplate->contentType() == uniform_types::UTType::folder();
  const fileprovider::ItemIdentifier identifier(FileProviderItemIdentifierCodec::identifier(peerId, remotePath));
  const bool hasContents = contentsUrl.has_value();
  const bool mayAlreadyExist = (options & fileprovider::CreateItemOption::mayAlreadyExist) != 0;
  auto complete = std::move(completionHandler);

  // The item for what the host reports at the new path, or for what was asked
  // when it reported nothing.
  auto fileItem = [identifier, parentIdentifier, filename](const std::shared_ptr<const VfsFileEntryDto>& entry) {
    if (!entry) {
      return std::make_shared<FileProviderItem>(identifier, parentIdentifier, filename, FileProviderItem::Kind::file, 0,
                                                currentTimeMs(), std::nullopt);
    }
    return std::make_shared<FileProviderItem>(
        identifier, parentIdentifier, entry->name(),
        entry->isDir() ? FileProviderItem::Kind::directory : FileProviderItem::Kind::file, entry->size(),
        entry->modifiedMs(), std::nullopt);
  };
  auto failWith = [complete](foundation::Error error) { complete(nullptr, 0, false, std::move(error)); };

  switch (FileProviderCreatePolicy::plan(isDirectory, hasContents, mayAlreadyExist)) {
    case FileProviderCreatePolicy::Plan::createDirectory:
      xpc->createDirectory(peerId, remotePath, trace->flowId(), [=](VfsXpcProtocol::Error error) {
        if (error) {
          trace->fail({.error = error, .retryable = true, .detail = remotePath});
          failWith(mapXpcError(*error));
          return;
        }
        // The folder is new and empty: nothing to ask the host about it.
        auto item =
            std::make_shared<FileProviderItem>(identifier, parentIdentifier, filename,
                                               FileProviderItem::Kind::directory, 0, currentTimeMs(), std::nullopt);
        progress->setCompletedUnitCount(1);
        trace->succeed(remotePath);
        complete(item, 0, false, std::nullopt);
      });
      return;

    case FileProviderCreatePolicy::Plan::uploadContents:
    case FileProviderCreatePolicy::Plan::createEmptyFile:
      uploadStagedContents(xpc, peerId, remotePath, contentsUrl, trace, staged, failWith, [=] {
        xpc->statItem(peerId, remotePath, trace->flowId(),
                      [=](std::shared_ptr<const VfsFileEntryDto> entry, VfsXpcProtocol::Error error) {
                        // The upload is done; a failed metadata read does not undo it.
                        progress->setCompletedUnitCount(1);
                        if (error) {
                          trace->succeed(remotePath + " metadata=" + CorvaneFpLog::errorCode(error, "io"));
                        } else {
                          trace->succeed(remotePath);
                        }
                        complete(fileItem(entry), 0, false, std::nullopt);
                      });
      });
      return;

    case FileProviderCreatePolicy::Plan::reconcileExisting:
      xpc->statItem(peerId, remotePath, trace->flowId(),
                    [=](std::shared_ptr<const VfsFileEntryDto> entry, VfsXpcProtocol::Error error) {
                      if (error && !remoteItemMissing(*error)) {
                        trace->fail({.error = error, .retryable = true, .detail = remotePath});
                        failWith(mapXpcError(*error));
                        return;
                      }
                      if (error || !entry) {
                        // Gone from the peer: nothing to reconcile, and nothing to recreate.
                        trace->succeed(remotePath + " reimport_remote_missing");
                        complete(nullptr, 0, false, std::nullopt);
                        return;
                      }
                      progress->setCompletedUnitCount(1);
                      trace->succeed(remotePath + " reimport_matched");
                      complete(fileItem(entry), 0, false, std::nullopt);
                    });
      return;
  }
}

}  // namespace corvane
