// Conversions from the host's plain values (HostTypes.h) to the transfer objects
// of the host link. A change is sent with exactly the fields it holds, even an
// inconsistent one that only an injected fault would make.
#pragma once

#include <memory>
#include <vector>

#include "host/HostTypes.h"
#include "shared/vfs_xpc/VfsChangesResultDto.h"
#include "shared/vfs_xpc/VfsFileEntryDto.h"
#include "shared/vfs_xpc/VfsFsChangeDto.h"

namespace corvane::host {

std::shared_ptr<const VfsFileEntryDto> entryDto(const HostFileEntry& entry);
std::vector<std::shared_ptr<const VfsFileEntryDto>> entryDtos(const std::vector<HostFileEntry>& entries);
std::shared_ptr<const VfsFsChangeDto> changeDto(const HostFsChange& change);
std::shared_ptr<const VfsChangesResultDto> changesDto(const HostChangesResult& result);

}  // namespace corvane::host
