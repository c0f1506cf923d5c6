#include "extension/FileProviderItem.h"

#include "platform/foundation/PathString.h"
#include "shared/share_epoch/FileProviderItemVersionPolicy.h"
#include "shared/share_epoch/FileProviderShareEpoch.h"

namespace corvane {
namespace {

std::uint64_t epochFor(const fileprovider::ItemIdentifier& identifier) {
  const std::string& raw = identifier.rawValue();
  std::size_t separator = raw.find("::");
  if (separator == std::string::npos) return 0;
  return FileProviderShareEpoch::current(raw.substr(0, separator));
}

}  // namespace

FileProviderItem::FileProviderItem(fileprovider::ItemIdentifier identifier,
                                   fileprovider::ItemIdentifier parentItemIdentifier,
                                   std::string filename, Kind kind, std::uint64_t size,
                                   std::uint64_t modifiedMs, std::optional<std::uint64_t> versionEpoch)
    : itemIdentifier_(std::move(identifier)),
      parentItemIdentifier_(std::move(parentItemIdentifier)),
      filename_(std::move(filename)),
      kind_(kind),
      size_(size),
      modifiedMs_(modifiedMs),
      versionEpoch_(versionEpoch ? *versionEpoch : epochFor(itemIdentifier_)) {}

fileprovider::ItemVersion FileProviderItem::itemVersion() const {
  auto tags = FileProviderItemVersionPolicy::make(itemIdentifier_.rawValue(), filename_,
                                                  kind_ == Kind::directory, size_, modifiedMs_,
                                                  versionEpoch_);
  return {std::move(tags.content), std::move(tags.metadata)};
}

uniform_types::UTType FileProviderItem::contentType() const {
  using uniform_types::UTType;
  if (kind_ == Kind::directory) return UTType::folder();
  return UTType::fromFilenameExtension(foundation::PathString::pathExtension(filename_), UTType::data())
      .value_or(UTType::data());
}

std::optional<std::uint64_t> FileProviderItem::documentSize() const {
  if (kind_ == Kind::directory) return std::nullopt;
  return size_;
}

std::optional<foundation::Date> FileProviderItem::contentModificationDate() const {
  if (modifiedMs_ == 0) return std::nullopt;
  return foundation::Date{static_cast<double>(modifiedMs_) / 1000.0};
}

std::uint64_t FileProviderItem::capabilities() const {
  using namespace fileprovider::ItemCapabilities;
  std::uint64_t value = allowsReading | allowsWriting | allowsReparenting | allowsRenaming |
                        allowsTrashing | allowsDeleting;
  if (kind_ == Kind::directory) value |= allowsAddingSubItems | allowsContentEnumerating;
  return value;
}

std::uint64_t FileProviderItem::fileSystemFlags() const {
  using namespace fileprovider::FileSystemFlags;
  if (kind_ == Kind::directory) return userExecutable | userReadable | userWritable;
  return userReadable | userWritable;
}

}  // namespace corvane
