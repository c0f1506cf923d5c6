// NSFileProviderItemFields and the option sets of the item operations, numbered
// as the platform numbers them.
#pragma once

#include <cstdint>
#include <utility>

namespace fileprovider {

using ItemFields = std::uint64_t;
namespace ItemField {
inline constexpr ItemFields contents = 1 << 0;
inline constexpr ItemFields filename = 1 << 1;
inline constexpr ItemFields parentItemIdentifier = 1 << 2;
inline constexpr ItemFields lastUsedDate = 1 << 3;
inline constexpr ItemFields tagData = 1 << 4;
inline constexpr ItemFields favoriteRank = 1 << 5;
inline constexpr ItemFields creationDate = 1 << 6;
inline constexpr ItemFields contentModificationDate = 1 << 7;
inline constexpr ItemFields fileSystemFlags = 1 << 8;
inline constexpr ItemFields extendedAttributes = 1 << 9;
inline constexpr ItemFields typeAndCreator = 1 << 10;

// Every named field with the name the platform gives it, in bit order.
inline constexpr std::pair<ItemFields, const char*> kNames[] = {
    {contents, "contents"},
    {filename, "filename"},
    {parentItemIdentifier, "parentItemIdentifier"},
    {lastUsedDate, "lastUsedDate"},
    {tagData, "tagData"},
    {favoriteRank, "favoriteRank"},
    {creationDate, "creationDate"},
    {contentModificationDate, "contentModificationDate"},
    {fileSystemFlags, "fileSystemFlags"},
    {extendedAttributes, "extendedAttributes"},
    {typeAndCreator, "typeAndCreator"},
};
}  // namespace ItemField

using CreateItemOptions = std::uint64_t;
namespace CreateItemOption {
inline constexpr CreateItemOptions mayAlreadyExist = 1 << 0;
inline constexpr CreateItemOptions deletionConflicted = 1 << 1;
}  // namespace CreateItemOption

using ModifyItemOptions = std::uint64_t;
namespace ModifyItemOption {
inline constexpr ModifyItemOptions mayAlreadyExist = 1 << 0;
}  // namespace ModifyItemOption

using DeleteItemOptions = std::uint64_t;
namespace DeleteItemOption {
inline constexpr DeleteItemOptions recursive = 1 << 0;
}  // namespace DeleteItemOption

}  // namespace fileprovider
