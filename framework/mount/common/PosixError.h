// The error the mount's own file work reports: the POSIX code with a sentence
// naming what failed, e.g. "cannot make /x: Permission denied".
#pragma once

#include <cstring>
#include <string>

#include "platform/foundation/Error.h"

namespace corvane::framework::mount {

inline foundation::Error posixError(int err, const std::string& what) {
  return foundation::Error(
      foundation::kPosixErrorDomain, err,
      foundation::UserInfo{{foundation::kLocalizedDescriptionKey, what + ": " + std::strerror(err)}});
}

}  // namespace corvane::framework::mount
