// FileProviderXpcAcquisitionPolicy: how request code obtains the host proxy — it
// asks once and never waits. With no ready link a request gets nothing and fails
// at once; reconnection is never attempted from inside acquisition.
#pragma once

#include <utility>

namespace corvane::FileProviderXpcAcquisitionPolicy {

// Seconds a request waits for the link to become ready.
inline constexpr double synchronousWait = 0;

// Calls `ready` exactly once and returns its result unchanged (empty included).
template <typename Ready>
auto acquire(Ready&& ready) -> decltype(std::forward<Ready>(ready)()) {
  return std::forward<Ready>(ready)();
}

}  // namespace corvane::FileProviderXpcAcquisitionPolicy
