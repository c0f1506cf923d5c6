// Pieces the item requests (fetch, create, modify, delete) share: the answer to a
// request whose host call was lost with the link, the slot that holds a staged
// upload while the host works on it, and the request clock.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <utility>

#include "platform/foundation/Error.h"
#include "shared/diagnostics/FileProviderRequestTrace.h"

namespace corvane {

// For a request whose host call was never answered because the link broke (the
// proxy's error handler ran instead of the reply): fails `trace` as a lost
// connection ("connection_failed", retryable, WARN) and returns the error to
// complete the request with, serverUnreachable (-1004) carrying the link error's
// description, so the framework keeps its items and tries again later.
foundation::Error failOrphanedRequest(FileProviderRequestTrace& trace, const foundation::Error& linkError);

// The staged copy of one request's upload. Set once staging succeeds (on the
// staging queue); taken, and so removed exactly once, by whichever comes first of
// the upload's reply and the request's orphan handler (connection queue).
class StagedUploadSlot {
 public:
  void put(std::filesystem::path staged) {
    std::lock_guard guard(mutex_);
    staged_ = std::move(staged);
  }
  std::optional<std::filesystem::path> take() {
    std::lock_guard guard(mutex_);
    return std::exchange(staged_, std::nullopt);
  }

 private:
  std::mutex mutex_;
  std::optional<std::filesystem::path> staged_;
};

// Now, in whole milliseconds since 1970 (seconds times 1000, truncated): the
// modification time of an item the host did not describe.
std::uint64_t currentTimeMs();

}  // namespace corvane
