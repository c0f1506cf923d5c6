#include "extension/FileProviderErrors.h"

#include "platform/fileprovider/Errors.h"
#include "shared/diagnostics/CorvaneFpLog.h"

namespace corvane {
namespace {

// Taxonomy text → File Provider code, first match wins; anything else is -1004.
// Permission failures map to insufficientQuota, not notAuthenticated (-1000):
// there is no account the user could sign in to. An expired host anchor maps to
// serverUnreachable, not syncAnchorExpired (-1002): only change enumeration can act
// on an expired anchor, and it reads the code text from the host error itself.
struct Mapping {
  std::string_view codeText;
  std::int64_t fileProviderCode;
};
constexpr Mapping kMappings[] = {
    {"permission_denied", fileprovider::ErrorCode::insufficientQuota},
    {"not_found", fileprovider::ErrorCode::noSuchItem},
    {"already_exists", fileprovider::ErrorCode::filenameCollision},
    {"connection_failed", fileprovider::ErrorCode::serverUnreachable},
    {"channel_closed", fileprovider::ErrorCode::serverUnreachable},
    {"vfs_not_connected", fileprovider::ErrorCode::serverUnreachable},
    {"timeout", fileprovider::ErrorCode::serverUnreachable},
    {"no_space", fileprovider::ErrorCode::insufficientQuota},
    {"directory_not_empty", fileprovider::ErrorCode::directoryNotEmpty},
    {"sync_anchor_expired", fileprovider::ErrorCode::serverUnreachable},
};

}  // namespace

foundation::Error fpError(std::int64_t code, std::optional<std::string> description) {
  if (!description) return foundation::Error(foundation::kFileProviderErrorDomain, code);
  return foundation::Error(foundation::kFileProviderErrorDomain, code,
                           foundation::UserInfo{{foundation::kLocalizedDescriptionKey, std::move(*description)}});
}

foundation::Error enumerationError(std::int64_t code) {
  return foundation::Error(foundation::kFileProviderErrorDomain, code, foundation::UserInfo{});
}

foundation::Error fileProviderStagingError(const foundation::Error& error) {
  return foundation::Error(foundation::kFileProviderErrorDomain, fileprovider::ErrorCode::cannotSynchronize,
                           foundation::UserInfo{
                               {foundation::kLocalizedDescriptionKey, error.localizedDescription()},
                               {foundation::kUnderlyingErrorKey, foundation::nested(error)},
                           });
}

foundation::Error mapXpcError(const foundation::Error& error) {
  std::string description = error.localizedDescription();
  if (error.domain() != kVfsErrorDomain) {
    return fpError(fileprovider::ErrorCode::serverUnreachable, std::move(description));
  }
  const std::string* named = error.stringForKey(kVfsErrorCodeKey);
  const std::string_view codeText = named ? std::string_view(*named) : vfsErrorCodeText(error.code());
  for (const Mapping& mapping : kMappings) {
    if (mapping.codeText == codeText) return fpError(mapping.fileProviderCode, std::move(description));
  }
  return fpError(fileprovider::ErrorCode::serverUnreachable, std::move(description));
}

foundation::Error vfsServiceUnavailableError(std::string description) {
  return foundation::Error(kVfsErrorDomain, static_cast<std::int64_t>(VfsErrorCode::serviceUnavailable),
                           foundation::UserInfo{{foundation::kLocalizedDescriptionKey, std::move(description)}});
}

foundation::Error hostConnectionSupersededError() { return vfsServiceUnavailableError("Host connection superseded"); }

}  // namespace corvane
