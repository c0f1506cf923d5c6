#include "extension/FileProviderEntryMapping.h"

#include "extension/FileProviderItem.h"
#include "platform/foundation/PathString.h"

namespace corvane {

std::string listedChildPath(std::string_view folder, std::string_view name) {
  std::string joined = foundation::PathString::appendingPathComponent(folder, name);
  // Nearly every path is clean; a walk maps every item of the share through here.
  if (joined.find("//") == std::string::npos) return joined;
  return foundation::PathString::collapsingDoubleSlashesOnce(joined);
}

std::string changedChildPath(std::string_view folder, std::string_view name) {
  return foundation::PathString::appendingPathComponent(folder, name);
}

std::string childIdentifier(std::string_view peerId, std::string_view path) {
  std::string identifier;
  identifier.reserve(peerId.size() + 2 + path.size());
  identifier.append(peerId).append("::").append(path);
  return identifier;
}

fileprovider::ItemPtr makeEntryItem(std::string identifier, fileprovider::ItemIdentifier parent,
                                    const VfsFileEntryDto& entry, std::optional<std::uint64_t> versionEpoch) {
  return std::make_shared<const FileProviderItem>(
      fileprovider::ItemIdentifier(std::move(identifier)), std::move(parent), entry.name(),
      entry.isDir() ? FileProviderItem::Kind::directory : FileProviderItem::Kind::file, entry.size(),
      entry.modifiedMs(), versionEpoch);
}

}  // namespace corvane
