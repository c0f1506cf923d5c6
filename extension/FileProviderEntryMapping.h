// How host entries become framework items in listings and change reports. The
// identifier text of a child is byte-for-byte part of the framework's state, so
// the two joining rules (listings collapse "//", change reports keep it) live here
// side by side. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/fileprovider/Item.h"
#include "shared/vfs_xpc/VfsFileEntryDto.h"

namespace corvane {

// A listed child's path: `folder` joined with `name`, then "//" collapsed once.
std::string listedChildPath(std::string_view folder, std::string_view name);

// A changed child's path: `folder` joined with `name`, any "//" kept.
std::string changedChildPath(std::string_view folder, std::string_view name);

// "<peer>::<path>".
std::string childIdentifier(std::string_view peerId, std::string_view path);

// The item for `entry`, named `identifier`, inside `parent`. With `versionEpoch`
// absent the item takes its peer's share epoch as it is now.
fileprovider::ItemPtr makeEntryItem(std::string identifier, fileprovider::ItemIdentifier parent,
                                    const VfsFileEntryDto& entry, std::optional<std::uint64_t> versionEpoch);

}  // namespace corvane
