// The errors the extension hands to the File Provider framework, and the one
// mapping from a host-link failure to them. The framework understands only its own
// domain and a few codes, so host errors never pass through in their own codes.
// All functions are pure and never fail.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"
#include "shared/vfs_xpc/VfsErrorCode.h"

namespace corvane {

// NSFileProviderErrorDomain / `code`. User info is {NSLocalizedDescription:
// description} when a description is given, and absent altogether otherwise.
foundation::Error fpError(std::int64_t code, std::optional<std::string> description);

// NSFileProviderErrorDomain / `code` with an empty user-info map (present, no
// keys), as enumeration failures carry it; distinct from fpError's absent one.
foundation::Error enumerationError(std::int64_t code);

// cannotSynchronize (-2005) for a failure to stage upload contents, carrying the
// cause's localized description and the cause itself as the underlying error.
foundation::Error fileProviderStagingError(const foundation::Error& error);

// The File Provider error for an error delivered by a host reply or by the link:
// the failure's taxonomy code (the "corvane.error.code" text when it is a string,
// else the numeric code's name) picks -1003, -1005, -1001, -1007 or -1004; any
// error outside the host domain is -1004 (server unreachable). The result keeps
// only the source's localized description.
foundation::Error mapXpcError(const foundation::Error& error);

// A link failure the extension raises itself in the host domain (code -16, only a
// description, no taxonomy text), e.g. "Host VFS proxy unavailable".
foundation::Error vfsServiceUnavailableError(std::string description);

// The answer to a host whose activation did not make its connection the link: a
// newer activation or a failure overtook the probe, or the extension went away.
foundation::Error hostConnectionSupersededError();

}  // namespace corvane
