#include "extension/FileProviderItem.h"

#include "platform/foundation/PathString.h"
#include "shared/items/FileProviderItemIdentifierCodec.h"
#include "shared/share_epoch/FileProviderItemVersionPolicy.h"
#include "shared/share_epoch/FileProviderShareEpoch.h"

namespace corvane {
namespace {

// The epoch of the peer an identifier names: the text before its first "::".
// A peer whose own name holds "::" therefore shares the epoch of that first
// piece, whichever way the item was made.
std::uint64_t epochFor(std::string_view rawIdentifier) {
  const auto peerId = FileProviderItemIdentifierCodec::peerIdOf(rawIdentifier);
  return peerId ? FileProviderShareEpoch::current(std::string(*peerId)) : 0;
}

}  // namespace

FileProviderItem::FileProviderItem(fileprovider::ItemIdentifier identifier,
                                   fileprovider::ItemIdentifier parentItemIdentifier, std::string filename, Kind kind,
                                   std::uint64_t size, std::uint64_t modifiedMs,
                                   std::optional<std::uint64_t> versionEpoch)
    : folder_(std::make_shared<const EntryFolder>(
          EntryFolder{std::move(parentItemIdentifier), {}, {}, EntryFolder::Joining::listed, std::move(identifier)})),
      name_(std::move(filename)),
      size_(size),
      modifiedMs_(modifiedMs),
      versionEpoch_(versionEpoch ? *versionEpoch : epochFor(folder_->given.rawValue())),
      isDir_(kind == Kind::directory) {}

FileProviderItem::FileProviderItem(std::shared_ptr<const EntryFolder> folder,
                                   std::shared_ptr<const VfsFileEntryDto> entry,
                                   std::optional<std::uint64_t> versionEpoch)
    : folder_(std::move(folder)),
      name_(entry->name()),
      size_(entry->size()),
      modifiedMs_(entry->modifiedMs()),
      versionEpoch_(versionEpoch ? *versionEpoch : epochFor(folder_->childIdentifier(name_))),
      isDir_(entry->isDir()) {}

fileprovider::ItemIdentifier FileProviderItem::itemIdentifier() const {
  if (!folder_->given.rawValue().empty()) return folder_->given;
  return fileprovider::ItemIdentifier(folder_->childIdentifier(name_));
}

fileprovider::ItemVersion FileProviderItem::itemVersion() const {
  auto tags = FileProviderItemVersionPolicy::make(itemIdentifier().rawValue(), name_, isDir_,
                                                  size_, modifiedMs_, versionEpoch_);
  return {std::move(tags.content), std::move(tags.metadata)};
}

uniform_types::UTType FileProviderItem::contentType() const {
  using uniform_types::UTType;
  if (isDir_) return UTType::folder();
  return UTType::fromFilenameExtension(foundation::PathString::pathExtension(name_), UTType::data())
      .value_or(UTType::data());
}

std::optional<std::uint64_t> FileProviderItem::documentSize() const {
  if (isDir_) return std::nullopt;
  return size_;
}

std::optional<foundation::Date> FileProviderItem::contentModificationDate() const {
  if (modifiedMs_ == 0) return std::nullopt;
  return foundation::Date{static_cast<double>(modifiedMs_) / 1000.0};
}

std::uint64_t FileProviderItem::capabilities() const {
  using namespace fileprovider::ItemCapabilities;
  std::uint64_t value =
      allowsReading | allowsWriting | allowsReparenting | allowsRenaming | allowsTrashing | allowsDeleting;
  if (isDir_) value |= allowsAddingSubItems | allowsContentEnumerating;
  return value;
}

std::uint64_t FileProviderItem::fileSystemFlags() const {
  using namespace fileprovider::FileSystemFlags;
  if (isDir_) return userExecutable | userReadable | userWritable;
  return userReadable | userWritable;
}

}  // namespace corvane
