// Errors of the host VFS service: the host domain, its negative codes with their
// stable code texts, and the translation of errno values into them. Every failure
// the service reports is built here so the code text always matches the code.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"

namespace corvane::host {

inline constexpr const char* kVfsErrorDomain = "com.vandrel.corvane.vfs.xpc";
inline constexpr const char* kVfsErrorCodeKey = "corvane.error.code";

// The codes the service itself produces (a subset of the host taxonomy).
enum class VfsErrorCode : std::int64_t {
  invalidArgument = -1,
  permissionDenied = -8,
  notFound = -9,
  alreadyExists = -10,
  io = -12,
  syncAnchorExpired = -13,
  serviceUnavailable = -16,
  noSpace = -23,
  directoryNotEmpty = -24,
};

// The taxonomy text of `code` ("not_found" for -9); "unknown" outside the table.
std::string_view vfsErrorCodeText(std::int64_t code);

// An error in the host domain with `code`, its text under "corvane.error.code"
// and `description` under "NSLocalizedDescription".
foundation::Error vfsError(VfsErrorCode code, std::string description);

// The host error for a failed system call with errno `err` while doing `what`
// (a short phrase naming the operation and path, used in the description).
foundation::Error vfsErrorFromErrno(int err, std::string_view what);

}  // namespace corvane::host
