// The contents of a share on another machine, moved over its stream in chunks
// with a few in flight at once: enough to fill a link with a long round trip,
// few enough that a transfer holds at most kWindow chunks of memory on either
// side, and that other calls on the stream are never stuck behind one.
//
// Both block their caller (a worker of the host's pool) until done. When the
// stream ends midway, the chunks in flight fail at once and so does the
// transfer; nothing half-written is handed out or put in place.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "host/ContentCache.h"
#include "host/stream/RemoteShare.h"
#include "host/stream/ShareStreamProtocol.h"
#include "platform/foundation/Result.h"

namespace corvane::host {

inline constexpr int kTransferWindow = 16;

// The far file at `path`, copied into `cache` from one consistent read of it.
[[nodiscard]] foundation::Result<std::filesystem::path> fetchRemote(RemoteShare& share, ContentCache& cache,
                                                                    const std::string& path);
// The far item at `path` (null when nothing is there), asked of the far side
// and waited for.
[[nodiscard]] foundation::Result<std::shared_ptr<const VfsFileEntryDto>> statRemote(RemoteShare& share,
                                                                                    const std::string& peerId,
                                                                                    const std::string& path);
// Replaces the far file at `remotePath` with the local `localFile`, atomically
// and durably there; with `expected`, only if the far file is still so.
[[nodiscard]] foundation::Status uploadRemote(RemoteShare& share, const std::filesystem::path& localFile,
                                              const std::string& remotePath,
                                              std::optional<ExpectedFile> expected = std::nullopt);

}  // namespace corvane::host
