// FileProviderItem: the one item type handed to the framework, built from what the
// host reports of an entry (name, kind, size, modification time) plus identifiers
// and a share epoch. Immutable; every other property is derived on read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/fileprovider/Item.h"

namespace corvane {

class FileProviderItem : public fileprovider::Item {
 public:
  enum class Kind { file, directory };

  // With `versionEpoch` absent, a peer item ("peer::path") takes its peer's current
  // share epoch at this moment; any other identifier gets 0.
  FileProviderItem(fileprovider::ItemIdentifier identifier,
                   fileprovider::ItemIdentifier parentItemIdentifier, std::string filename, Kind kind,
                   std::uint64_t size, std::uint64_t modifiedMs, std::optional<std::uint64_t> versionEpoch);

  fileprovider::ItemIdentifier itemIdentifier() const override { return itemIdentifier_; }
  fileprovider::ItemIdentifier parentItemIdentifier() const override { return parentItemIdentifier_; }
  std::string filename() const override { return filename_; }

  fileprovider::ItemVersion itemVersion() const override;
  uniform_types::UTType contentType() const override;
  std::optional<std::uint64_t> documentSize() const override;
  std::optional<std::int64_t> childItemCount() const override { return std::nullopt; }
  std::optional<foundation::Date> contentModificationDate() const override;
  // Dispatches to contentModificationDate(), so an override of that is honoured.
  std::optional<foundation::Date> creationDate() const override { return contentModificationDate(); }
  bool isDownloaded() const override { return kind_ == Kind::directory; }
  // Dispatches to isDownloaded(), so an override of that is honoured.
  bool isMostRecentVersionDownloaded() const override { return isDownloaded(); }
  std::uint64_t capabilities() const override;
  std::uint64_t fileSystemFlags() const override;

  Kind kind() const { return kind_; }
  std::uint64_t size() const { return size_; }
  std::uint64_t modifiedMs() const { return modifiedMs_; }
  std::uint64_t versionEpoch() const { return versionEpoch_; }

 private:
  const fileprovider::ItemIdentifier itemIdentifier_;
  const fileprovider::ItemIdentifier parentItemIdentifier_;
  const std::string filename_;
  const Kind kind_;
  const std::uint64_t size_;
  const std::uint64_t modifiedMs_;
  const std::uint64_t versionEpoch_;
};

}  // namespace corvane
