#include "host/HostError.h"

#include <cerrno>
#include <cstring>
#include <string>

namespace corvane::host {

foundation::Error vfsError(VfsErrorCode code, std::string description) {
  auto raw = static_cast<std::int64_t>(code);
  return foundation::Error(kVfsErrorDomain, raw,
                           foundation::UserInfo{{kVfsErrorCodeKey, std::string(vfsErrorCodeText(raw))},
                                                {foundation::kLocalizedDescriptionKey, std::move(description)}});
}

foundation::Error vfsErrorFromErrno(int err, std::string_view what) {
  VfsErrorCode code;
  switch (err) {
    case EACCES:
    case EPERM:
    case EROFS:
      code = VfsErrorCode::permissionDenied;
      break;
    case ENOSPC:
    case EDQUOT:
      code = VfsErrorCode::noSpace;
      break;
    case ENOENT:
    case ENOTDIR:
      code = VfsErrorCode::notFound;
      break;
    case EEXIST:
      code = VfsErrorCode::alreadyExists;
      break;
    case ENOTEMPTY:
      code = VfsErrorCode::directoryNotEmpty;
      break;
    // EXDEV and ELOOP come from resolution that would leave the share; the rest
    // are requests that can never succeed as asked.
    case EXDEV:
    case ELOOP:
    case EINVAL:
    case ENAMETOOLONG:
    case EISDIR:
      code = VfsErrorCode::invalidArgument;
      break;
    default:
      code = VfsErrorCode::io;
      break;
  }
  std::string description(what);
  description += ": ";
  if (err == EXDEV) {
    description += "the path leaves the shared folder";
  } else if (const char* text = ::strerrordesc_np(err)) {  // thread-safe, unlike strerror
    description += text;
  } else {
    description += "error " + std::to_string(err);
  }
  return vfsError(code, std::move(description));
}

std::optional<foundation::Error> foreignPeerError(std::string_view served, std::string_view asked) {
  if (served == asked) return std::nullopt;
  return vfsError(VfsErrorCode::serviceUnavailable,
                  "This host serves peer \"" + std::string(served) + "\", not \"" + std::string(asked) + "\"");
}

}  // namespace corvane::host
