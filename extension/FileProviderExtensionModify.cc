// FileProviderExtension: carrying a local change of an existing item to the peer.
// Two changes reach the host — a new file name (renamed inside the item's current
// folder) and new contents (staged, then uploaded); every other changed field is
// accepted as it is.
#include "extension/FileProviderErrors.h"
#include "extension/FileProviderExtension.h"
#include "extension/FileProviderItem.h"
#include "extension/FileProviderRequestSupport.h"
#include "extension/ParsedIdentifier.h"
#include "platform/fileprovider/Errors.h"
#include "platform/foundation/PathString.h"
#include "platform/oslog/Log.h"
#include "shared/items/FileProviderItemIdentifierCodec.h"

namespace corvane {
namespace {

// The changed-field set as the system log shows it: "contents|filename", unknown
// bits as their number, "none" when empty.
std::string describeFields(fileprovider::ItemFields fields) {
  std::string text;
  auto add = [&text](std::string_view name) {
    if (!text.empty()) text += '|';
    text += name;
  };
  for (const auto& [bit, name] : fileprovider::ItemField::kNames) {
    if (fields & bit) {
      add(name);
      fields &= ~bit;
    }
  }
  if (fields) add(std::to_string(fields));
  return text.empty() ? "none" : text;
}

// The item after a rename or upload, from the host's entry when it sent one.
fileprovider::ItemPtr modifiedItem(fileprovider::ItemIdentifier identifier, fileprovider::ItemIdentifier parent,
                                   std::string filename, FileProviderItem::Kind kind,
                                   const std::shared_ptr<const VfsFileEntryDto>& entry) {
  return std::make_shared<FileProviderItem>(std::move(identifier), std::move(parent), std::move(filename), kind,
                                            entry ? entry->size() : 0, entry ? entry->modifiedMs() : currentTimeMs(),
                                            std::nullopt);
}

}  // namespace

foundation::ProgressPtr FileProviderExtension::modifyItem(fileprovider::ItemPtr item, const fileprovider::ItemVersion&,
                                                          fileprovider::ItemFields changedFields,
                                                          const std::optional<std::filesystem::path>& contents,
                                                          fileprovider::ModifyItemOptions, const fileprovider::Request&,
                                                          ItemChangeCompletion completionHandler) {
  ItemChangeOnce complete(std::move(completionHandler));
  auto progress = std::make_shared<foundation::Progress>(1);
  const fileprovider::ItemIdentifier identifier = item->itemIdentifier();
  auto trace =
      std::make_shared<FileProviderRequestTrace>("file_provider.modify", mountedPeerId(), identifier.rawValue());
  oslog::log(oslog::Type::Default, "\u270f\ufe0f [FP] modifyItem(%{public}@) fields=%{public}@", identifier.rawValue(),
             describeFields(changedFields));

  auto staged = std::make_shared<StagedUploadSlot>();
  auto xpc = acquireItemChangeProxy(trace, staged, complete);
  if (!xpc) return progress;
  auto parsed = ParsedIdentifier::parse(identifier);
  if (!parsed) {
    trace->fail({.fallbackCode = "not_found", .retryable = false});
    complete(nullptr, 0, false, fpError(fileprovider::ErrorCode::noSuchItem, std::nullopt));
    return progress;
  }

  const std::string filename = item->filename();
  const bool renames = (changedFields & fileprovider::ItemField::filename) != 0;
  const bool uploads = (changedFields & fileprovider::ItemField::contents) != 0 && contents.has_value();
  auto failWith = [complete](foundation::Error error) { complete(nullptr, 0, false, std::move(error)); };

  // Uploads the new contents to `path`; the item keeps `uploadIdentifier`.
  auto upload = [weak = weak_from_this(), xpc, peerId = parsed->peerId, parent = parsed->parentIdentifier, contents,
                 filename, trace, staged, progress, complete,
                 failWith](std::string path, fileprovider::ItemIdentifier uploadIdentifier, std::string successDetail) {
    // After a rename this runs on the link's queue, when the extension may be gone.
    auto self = weak.lock();
    if (!self) {
      complete(nullptr, 0, false,
               failOrphanedRequest(*trace, vfsServiceUnavailableError("File Provider extension unavailable")));
      return;
    }
    self->uploadStagedContents(xpc, peerId, path, contents, trace, staged, failWith, [=] {
      xpc->statItem(
          peerId, path, trace->flowId(), [=](std::shared_ptr<const VfsFileEntryDto> entry, VfsXpcProtocol::Error) {
            // Uploaded contents make a file, whatever the host's entry says.
            auto result = modifiedItem(uploadIdentifier, parent, filename, FileProviderItem::Kind::file, entry);
            progress->setCompletedUnitCount(1);
            trace->succeed(successDetail);
            complete(result, 0, false, std::nullopt);
          });
    });
  };

  if (renames) {
    // The name changes inside the item's current folder, wherever the framework
    // now places it: moves between folders are not carried out.
    const std::string oldPath = parsed->path;
    const std::string newPath =
        foundation::PathString::collapsingDoubleSlashesOnce(foundation::PathString::appendingPathComponent(
            foundation::PathString::deletingLastPathComponent(oldPath), filename));
    xpc->renameItem(
        parsed->peerId, oldPath, newPath, trace->flowId(),
        [xpc, peerId = parsed->peerId, parent = parsed->parentIdentifier, oldPath, newPath, filename, uploads, trace,
         progress, complete, failWith, upload](VfsXpcProtocol::Error error) {
          if (error) {
            trace->fail({.error = error, .retryable = true, .detail = oldPath});
            failWith(mapXpcError(*error));
            return;
          }
          fileprovider::ItemIdentifier newIdentifier(FileProviderItemIdentifierCodec::identifier(peerId, newPath));
          const std::string detail = oldPath + " -> " + newPath;
          if (uploads) {
            // New contents too: they go to the renamed file, so that the framework
            // has nothing left to send.
            upload(newPath, newIdentifier, detail);
            return;
          }
          xpc->statItem(peerId, newPath, trace->flowId(),
                        [=](std::shared_ptr<const VfsFileEntryDto> entry, VfsXpcProtocol::Error) {
                          auto kind = entry && entry->isDir() ? FileProviderItem::Kind::directory
                                                              : FileProviderItem::Kind::file;
                          auto result = modifiedItem(newIdentifier, parent, filename, kind, entry);
                          progress->setCompletedUnitCount(1);
                          trace->succeed(detail);
                          complete(result, 0, false, std::nullopt);
                        });
        });
    return progress;
  }

  if (uploads) {
    upload(parsed->path, identifier, parsed->path);
    return progress;
  }

  // Nothing the peer needs to hear about (a move, a contents change without
  // contents, metadata only): accepted as it is.
  progress->setCompletedUnitCount(1);
  trace->succeed(parsed->path + " no_supported_fields");
  complete(item, 0, false, std::nullopt);
  return progress;
}

}  // namespace corvane
