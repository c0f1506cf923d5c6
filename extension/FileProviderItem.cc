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
    : folder_(std::make_shared<const EntryFolder>(EntryFolder{std::move(parentItemIdentifier), {}, {}})),
      entry_(std::make_shared<const VfsFileEntryDto>(std::move(filename), kind == Kind::directory, size, modifiedMs)),
      given_(std::make_unique<const fileprovider::ItemIdentifier>(std::move(identifier))),
      versionEpoch_(versionEpoch ? *versionEpoch : epochFor(given_->rawValue())) {}

FileProviderItem::FileProviderItem(std::shared_ptr<const EntryFolder> folder,
                                   std::shared_ptr<const VfsFileEntryDto> entry,
                                   std::optional<std::uint64_t> versionEpoch)
    : folder_(std::move(folder)),
      entry_(std::move(entry)),
      versionEpoch_(versionEpoch ? *versionEpoch : epochFor(folder_->childIdentifier(entry_->name()))) {}

fileprovider::ItemIdentifier FileProviderItem::itemIdentifier() const {
  if (given_) return *given_;
  return fileprovider::ItemIdentifier(folder_->childIdentifier(entry_->name()));
}

fileprovider::ItemVersion FileProviderItem::itemVersion() const {
  auto tags = FileProviderItemVersionPolicy::make(itemIdentifier().rawValue(), entry_->name(), entry_->isDir(),
                                                  entry_->size(), entry_->modifiedMs(), versionEpoch_);
  return {std::move(tags.content), std::move(tags.metadata)};
}

uniform_types::UTType FileProviderItem::contentType() const {
  using uniform_types::UTType;
  if (entry_->isDir()) return UTType::folder();
  return UTType::fromFilenameExtension(foundation::PathString::pathExtension(entry_->name()), UTType::data())
      .value_or(UTType::data());
}

std::optional<std::uint64_t> FileProviderItem::documentSize() const {
  if (entry_->isDir()) return std::nullopt;
  return entry_->size();
}

std::optional<foundation::Date> FileProviderItem::contentModificationDate() const {
  if (entry_->modifiedMs() == 0) return std::nullopt;
  return foundation::Date{static_cast<double>(entry_->modifiedMs()) / 1000.0};
}

std::uint64_t FileProviderItem::capabilities() const {
  using namespace fileprovider::ItemCapabilities;
  std::uint64_t value =
      allowsReading | allowsWriting | allowsReparenting | allowsRenaming | allowsTrashing | allowsDeleting;
  if (entry_->isDir()) value |= allowsAddingSubItems | allowsContentEnumerating;
  return value;
}

std::uint64_t FileProviderItem::fileSystemFlags() const {
  using namespace fileprovider::FileSystemFlags;
  if (entry_->isDir()) return userExecutable | userReadable | userWritable;
  return userReadable | userWritable;
}

}  // namespace corvane
