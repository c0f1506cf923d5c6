// NSFileProviderError codes and the fields and options the framework passes to
// item operations.
#pragma once

#include <cstdint>

namespace fileprovider {

namespace ErrorCode {
inline constexpr std::int64_t notAuthenticated = -1000;
inline constexpr std::int64_t filenameCollision = -1001;
inline constexpr std::int64_t syncAnchorExpired = -1002;
inline constexpr std::int64_t insufficientQuota = -1003;
inline constexpr std::int64_t serverUnreachable = -1004;
inline constexpr std::int64_t noSuchItem = -1005;
inline constexpr std::int64_t directoryNotEmpty = -1007;
inline constexpr std::int64_t cannotSynchronize = -2005;
}  // namespace ErrorCode

}  // namespace fileprovider
