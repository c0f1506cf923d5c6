#include "extension/FileProviderRequestSupport.h"

#include <cmath>

#include "extension/FileProviderErrors.h"
#include "platform/fileprovider/Errors.h"
#include "platform/foundation/Clock.h"

namespace corvane {

foundation::Error failOrphanedRequest(FileProviderRequestTrace& trace, const foundation::Error& linkError) {
  trace.fail({.fallbackCode = "connection_failed", .retryable = true, .level = "WARN"});
  return fpError(fileprovider::ErrorCode::serverUnreachable, linkError.localizedDescription());
}

std::uint64_t currentTimeMs() {
  const double ms = std::trunc(foundation::currentDate().timeIntervalSince1970 * 1000.0);
  return ms > 0 ? static_cast<std::uint64_t>(ms) : 0;
}

}  // namespace corvane
