// FileProviderItem: the one item type handed to the framework, built from what the
// host reports of an entry (name, kind, size, modification time) plus identifiers
// and a share epoch. Immutable; every other property, the identifier of a listed
// child included, is derived on read.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "extension/FileProviderEntryMapping.h"
#include "platform/fileprovider/Item.h"
#include "shared/vfs_xpc/VfsFileEntryDto.h"

namespace corvane {

class FileProviderItem : public fileprovider::Item {
 public:
  enum class Kind { file, directory };

  // With `versionEpoch` absent, a peer item ("peer::path") takes its peer's current
  // share epoch at this moment; any other identifier gets 0.
  FileProviderItem(fileprovider::ItemIdentifier identifier, fileprovider::ItemIdentifier parentItemIdentifier,
                   std::string filename, Kind kind, std::uint64_t size, std::uint64_t modifiedMs,
                   std::optional<std::uint64_t> versionEpoch);
  // A child the host reported inside `folder`. The folder is shared, not copied,
  // and of the entry only its four values are kept, not the decoded object: a
  // working set (and a mount's tree) holds one of these per file of the share.
  // With `versionEpoch` absent the item takes the folder's peer's current share epoch.
  FileProviderItem(std::shared_ptr<const EntryFolder> folder, std::shared_ptr<const VfsFileEntryDto> entry,
                   std::optional<std::uint64_t> versionEpoch);

  fileprovider::ItemIdentifier itemIdentifier() const override;
  fileprovider::ItemIdentifier parentItemIdentifier() const override { return folder_->identifier; }
  const std::string& filename() const override { return name_; }

  fileprovider::ItemVersion itemVersion() const override;
  uniform_types::UTType contentType() const override;
  std::optional<std::uint64_t> documentSize() const override;
  std::optional<std::int64_t> childItemCount() const override { return std::nullopt; }
  std::optional<foundation::Date> contentModificationDate() const override;
  // Dispatches to contentModificationDate(), so an override of that is honoured.
  std::optional<foundation::Date> creationDate() const override { return contentModificationDate(); }
  bool isDownloaded() const override { return kind() == Kind::directory; }
  // Dispatches to isDownloaded(), so an override of that is honoured.
  bool isMostRecentVersionDownloaded() const override { return isDownloaded(); }
  std::uint64_t capabilities() const override;
  std::uint64_t fileSystemFlags() const override;
  // No userInfo(): every property not listed above keeps the framework's default.
  // Whoever shows an item in full (the script runner) reads what the host
  // reported through the accessors below.

  Kind kind() const { return isDir_ ? Kind::directory : Kind::file; }
  std::uint64_t size() const { return size_; }
  std::uint64_t modifiedMs() const { return modifiedMs_; }
  std::uint64_t versionEpoch() const { return versionEpoch_; }

 private:
  const std::shared_ptr<const EntryFolder> folder_;  // the parent, the name's context, any identifier given
  const std::string name_;
  const std::uint64_t size_;
  const std::uint64_t modifiedMs_;
  const std::uint64_t versionEpoch_;
  const bool isDir_;
};

}  // namespace corvane
