// FileProviderEnumerationAvailabilityPolicy: whether a listing goes to the host
// or fails at once. A listing is never queued for a link that is not ready: the
// framework keeps what it has, and asks again once the host is back.
#pragma once

namespace corvane::FileProviderEnumerationAvailabilityPolicy {

enum class Plan { enumerate, failServerUnreachable };

// `enumerate` with a proxy at hand, else `failServerUnreachable`. Pure.
constexpr Plan plan(bool hasProxy) { return hasProxy ? Plan::enumerate : Plan::failServerUnreachable; }

}  // namespace corvane::FileProviderEnumerationAvailabilityPolicy
