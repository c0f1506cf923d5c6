// FileProviderExtension: item lookup. The framework's own containers are named
// here; every other item is whatever the host reports for its path right now.
#include "extension/FileProviderErrors.h"
#include "extension/FileProviderExtension.h"
#include "extension/FileProviderItem.h"
#include "extension/FileProviderRequestSupport.h"
#include "extension/ParsedIdentifier.h"
#include "platform/fileprovider/Errors.h"
#include "platform/foundation/Once.h"
#include "platform/oslog/Log.h"
#include "shared/diagnostics/FileProviderRequestTrace.h"
#include "shared/localization/L10n.h"

namespace corvane {
namespace {

using fileprovider::ItemIdentifier;
namespace ErrorCode = fileprovider::ErrorCode;

// The name of one of the framework's containers, or absent for a peer item.
std::optional<std::string> containerName(const ItemIdentifier& identifier, const fileprovider::Domain& domain) {
  if (identifier == ItemIdentifier::rootContainer()) {
    return domain.displayName.empty() ? L10n::t("共享文件夹") : domain.displayName;
  }
  if (identifier == ItemIdentifier::workingSet()) return "Working Set";
  if (identifier == ItemIdentifier::trashContainer()) return "Trash";
  return std::nullopt;
}

}  // namespace

foundation::ProgressPtr FileProviderExtension::item(const ItemIdentifier& identifier, const fileprovider::Request&,
                                                    ItemCompletion completionHandler) {
  auto progress = std::make_shared<foundation::Progress>(1);
  const std::string& raw = identifier.rawValue();
  oslog::log(oslog::Type::Default, "\U0001f4c2 [FP] item(for:) %{public}@", raw);
  auto trace = std::make_shared<FileProviderRequestTrace>("file_provider.item", mountedPeerId(), raw);
  const foundation::Once<fileprovider::ItemPtr, OptionalError> done(std::move(completionHandler));

  if (auto name = containerName(identifier, domain_)) {
    // No version epoch: the containers' identifiers name no peer, so they version at 0.
    done(std::make_shared<const FileProviderItem>(identifier, ItemIdentifier::rootContainer(), std::move(*name),
                                                  FileProviderItem::Kind::directory, 0, 0, std::nullopt),
         std::nullopt);
    trace->succeed(raw);
    return progress;
  }

  // Readiness comes before parsing: with no link, even a malformed identifier is
  // "try again later", not "no such item".
  auto proxy = acquireProxy(
      [trace, done](const foundation::Error& error) { done(nullptr, failOrphanedRequest(*trace, error)); });
  if (!proxy) {
    trace->fail({.fallbackCode = "vfs_not_connected", .retryable = true, .level = "WARN"});
    done(nullptr, fpError(ErrorCode::serverUnreachable, std::nullopt));
    return progress;
  }

  auto parsed = ParsedIdentifier::parse(identifier);
  if (!parsed) {
    oslog::log(oslog::Type::Error, "\u274c [FP] item identifier is not parseable: %{public}@", raw);
    trace->fail({.fallbackCode = "not_found", .retryable = false});
    done(nullptr, fpError(ErrorCode::noSuchItem, std::nullopt));
    return progress;
  }

  proxy->statItem(parsed->peerId, parsed->path, trace->flowId(),
                  [identifier, parent = parsed->parentIdentifier, path = parsed->path, trace, done](
                      std::shared_ptr<const VfsFileEntryDto> entry, VfsXpcProtocol::Error error) {
                    if (error) {
                      oslog::log(oslog::Type::Default, "\u274c [FP] statItem failed for %{public}@: %{public}@", path,
                                 error->localizedDescription());
                      trace->fail({.error = error, .retryable = true});
                      done(nullptr, mapXpcError(*error));
                      return;
                    }
                    if (!entry) {
                      oslog::log(oslog::Type::Default, "\u274c [FP] statItem returned no item for %{public}@", path);
                      trace->fail({.fallbackCode = "not_found", .retryable = false});
                      done(nullptr, fpError(ErrorCode::noSuchItem, std::nullopt));
                      return;
                    }
                    // The identifier asked for is kept as it is, not rebuilt from the entry.
                    auto item = std::make_shared<const FileProviderItem>(
                        identifier, parent, entry->name(),
                        entry->isDir() ? FileProviderItem::Kind::directory : FileProviderItem::Kind::file,
                        entry->size(), entry->modifiedMs(), std::nullopt);
                    trace->succeed(path);
                    done(std::move(item), std::nullopt);
                  });
  return progress;
}

}  // namespace corvane
