// ItemTemplate: an item the framework side hands to the extension — the
// template of a create, the item of a modify (from a script or from the mount).
// It has only what its maker gave: an identifier, a parent, a file name and,
// optionally, a content type. Immutable.
#pragma once

#include <optional>
#include <string>

#include "platform/fileprovider/Item.h"

namespace corvane::framework {

class ItemTemplate final : public fileprovider::Item {
 public:
  ItemTemplate(std::string identifier, std::string parent, std::string filename, std::optional<std::string> contentType)
      : identifier_(std::move(identifier)),
        parent_(std::move(parent)),
        filename_(std::move(filename)),
        contentTypeText_(std::move(contentType)) {}

  // The content type as the script wrote it, absent when it gave none.
  const std::optional<std::string>& contentTypeText() const { return contentTypeText_; }

  fileprovider::ItemIdentifier itemIdentifier() const override { return identifier_; }
  fileprovider::ItemIdentifier parentItemIdentifier() const override { return parent_; }
  const std::string& filename() const override { return filename_; }
  fileprovider::ItemVersion itemVersion() const override { return {}; }
  // Only the folder type is told apart; every other text reads as plain data.
  uniform_types::UTType contentType() const override {
    return contentTypeText_ == uniform_types::UTType::folder().identifier() ? uniform_types::UTType::folder()
                                                                            : uniform_types::UTType::data();
  }
  std::optional<std::uint64_t> documentSize() const override { return std::nullopt; }
  std::optional<std::int64_t> childItemCount() const override { return std::nullopt; }
  std::optional<foundation::Date> contentModificationDate() const override { return std::nullopt; }
  std::optional<foundation::Date> creationDate() const override { return std::nullopt; }
  bool isDownloaded() const override { return false; }
  bool isMostRecentVersionDownloaded() const override { return false; }
  std::uint64_t capabilities() const override { return 0; }
  std::uint64_t fileSystemFlags() const override { return 0; }

 private:
  const fileprovider::ItemIdentifier identifier_;
  const fileprovider::ItemIdentifier parent_;
  const std::string filename_;
  const std::optional<std::string> contentTypeText_;
};

}  // namespace corvane::framework
