#include "shared/share_epoch/FileProviderEnumerationAvailabilityPolicy.h"

namespace corvane::FileProviderEnumerationAvailabilityPolicy {

Plan plan(bool hasProxy) { return hasProxy ? Plan::enumerate : Plan::failServerUnreachable; }

}  // namespace corvane::FileProviderEnumerationAvailabilityPolicy
