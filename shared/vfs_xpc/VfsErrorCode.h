// The host VFS service's error vocabulary, shared by the host that raises these
// errors and the extension that reads them: the domain, the user-info key of the
// stable code text, and the 26 codes of the taxonomy with their texts.
#pragma once

#include <cstdint>
#include <string_view>

namespace corvane {

inline constexpr const char* kVfsErrorDomain = "com.vandrel.corvane.vfs.xpc";
inline constexpr const char* kVfsErrorCodeKey = "corvane.error.code";

enum class VfsErrorCode : std::int64_t {
  invalidArgument = -1,
  authenticationFailed = -2,
  connectionFailed = -3,
  channelClosed = -4,
  timeout = -5,
  protocolError = -6,
  flowControl = -7,
  permissionDenied = -8,
  notFound = -9,
  alreadyExists = -10,
  vfsNotConnected = -11,
  io = -12,
  syncAnchorExpired = -13,
  cancelled = -14,
  backpressure = -15,
  serviceUnavailable = -16,
  conflict = -17,
  invalidTransition = -18,
  blocked = -19,
  staleEpoch = -20,
  pendingTransferConflict = -21,
  transferSkipped = -22,
  noSpace = -23,
  directoryNotEmpty = -24,
  resourceLimitExceeded = -25,
  syncPathOverlapsMount = -26,
};

// The taxonomy text of `code` ("not_found" for -9); "unknown" outside the table.
std::string_view vfsErrorCodeText(std::int64_t code);

inline std::string_view vfsErrorCodeText(VfsErrorCode code) {
  return vfsErrorCodeText(static_cast<std::int64_t>(code));
}

}  // namespace corvane
