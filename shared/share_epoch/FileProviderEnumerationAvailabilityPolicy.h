// FileProviderEnumerationAvailabilityPolicy: whether a listing may go to the host
// at all. Without a ready link a listing is not queued; it fails at once so the
// framework keeps what it has and asks again later.
#pragma once

namespace corvane::FileProviderEnumerationAvailabilityPolicy {

enum class Plan { enumerate, failServerUnreachable };

// `enumerate` with a proxy at hand, `failServerUnreachable` without one. Pure.
Plan plan(bool hasProxy);

}  // namespace corvane::FileProviderEnumerationAvailabilityPolicy
