// Errors of the host VFS service: the host domain, its negative codes with their
// stable code texts, and the translation of errno values into them. Every failure
// the service reports is built here so the code text always matches the code.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"
#include "shared/vfs_xpc/VfsErrorCode.h"

namespace corvane::host {

// An error in the host domain with `code`, its text under "corvane.error.code"
// and `description` under "NSLocalizedDescription".
foundation::Error vfsError(VfsErrorCode code, std::string description);

// The host error for a failed system call with errno `err` while doing `what`
// (a short phrase naming the operation and path, used in the description).
foundation::Error vfsErrorFromErrno(int err, std::string_view what);

// -16 for a call about peer `asked` to a host that serves peer `served`;
// absent when they are the same.
std::optional<foundation::Error> foreignPeerError(std::string_view served, std::string_view asked);

}  // namespace corvane::host
