// fileprovider::Item stands in for the NSFileProviderItem protocol: what the
// framework reads of an item. Items are immutable once made and shared between
// threads through shared_ptr.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/fileprovider/ItemIdentifier.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Error.h"
#include "platform/uniform_types/UTType.h"

namespace fileprovider {

// NSFileProviderItemVersion: opaque content and metadata tags.
struct ItemVersion {
  foundation::Data contentVersion;
  foundation::Data metadataVersion;
  friend bool operator==(const ItemVersion&, const ItemVersion&) = default;
};

// NSFileProviderItemCapabilities bits.
namespace ItemCapabilities {
inline constexpr std::uint64_t allowsReading = 1 << 0;
inline constexpr std::uint64_t allowsWriting = 1 << 1;
inline constexpr std::uint64_t allowsReparenting = 1 << 2;
inline constexpr std::uint64_t allowsRenaming = 1 << 3;
inline constexpr std::uint64_t allowsTrashing = 1 << 4;
inline constexpr std::uint64_t allowsDeleting = 1 << 5;
// The platform defines these as the same bits as reading and writing.
inline constexpr std::uint64_t allowsContentEnumerating = allowsReading;
inline constexpr std::uint64_t allowsAddingSubItems = allowsWriting;
inline constexpr std::uint64_t allowsEvicting = 1 << 6;
inline constexpr std::uint64_t allowsExcludingFromSync = 1 << 7;
}  // namespace ItemCapabilities

// NSFileProviderFileSystemFlags bits.
namespace FileSystemFlags {
inline constexpr std::uint64_t userExecutable = 1 << 0;
inline constexpr std::uint64_t userReadable = 1 << 1;
inline constexpr std::uint64_t userWritable = 1 << 2;
inline constexpr std::uint64_t hidden = 1 << 3;
inline constexpr std::uint64_t pathExtensionHidden = 1 << 4;
}  // namespace FileSystemFlags

class Item {
 public:
  virtual ~Item() = default;

  virtual ItemIdentifier itemIdentifier() const = 0;
  virtual ItemIdentifier parentItemIdentifier() const = 0;
  // By reference, as the platform's string property: a mount's tree reads each
  // of its entries' names from its item rather than keeping a copy.
  virtual const std::string& filename() const = 0;
  virtual ItemVersion itemVersion() const = 0;
  virtual uniform_types::UTType contentType() const = 0;
  virtual std::optional<std::uint64_t> documentSize() const = 0;
  virtual std::optional<std::int64_t> childItemCount() const = 0;
  virtual std::optional<foundation::Date> contentModificationDate() const = 0;
  virtual std::optional<foundation::Date> creationDate() const = 0;
  virtual bool isDownloaded() const = 0;
  virtual bool isMostRecentVersionDownloaded() const = 0;
  virtual std::uint64_t capabilities() const = 0;
  virtual std::uint64_t fileSystemFlags() const = 0;
  // NSFileProviderItem.userInfo: values the extension keeps with an item for its
  // own use; the framework stores them and hands them back. Absent by default.
  virtual std::optional<foundation::UserInfo> userInfo() const { return std::nullopt; }
};

using ItemPtr = std::shared_ptr<const Item>;

}  // namespace fileprovider
