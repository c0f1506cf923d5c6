// Upload staging: the framework's file is copied into the App Group container's
// "UploadStaging" folder (which the host can read) under a fresh lower-case UUID
// name, and the host is handed that copy, never the framework's own URL. Files
// are removed again once the host has answered the upload.
//
// Stateless apart from a once-per-process sweep of abandoned files; callers run
// it on their staging queue (FileProviderUploadStagingPolicy::delivery).
#pragma once

#include <chrono>
#include <filesystem>

#include "platform/foundation/Result.h"

namespace corvane {

namespace FileProviderUploadStagingPolicy {
// Staging results are always delivered later, on the staging queue.
enum class Delivery { asynchronous };
inline constexpr Delivery delivery = Delivery::asynchronous;
}  // namespace FileProviderUploadStagingPolicy

namespace FileProviderUploadStaging {

inline constexpr const char* directoryName = "UploadStaging";
// A staged file this old lost its upload (the host link broke before the reply);
// it is removed the first time the folder is prepared in a process.
inline constexpr std::chrono::hours abandonedAge{24};

// Copies `source` (never moving or changing it) to a new staged file inside
// `container`. A failed copy leaves nothing behind and reports the copy error.
foundation::Result<std::filesystem::path> stage(const std::filesystem::path& source,
                                                const std::filesystem::path& container);

// Creates a new, empty staged file inside `container`.
foundation::Result<std::filesystem::path> makeEmptyFile(const std::filesystem::path& container);

// Removes a staged file; one that is already gone counts as removed.
foundation::Status remove(const std::filesystem::path& stagedFile);

}  // namespace FileProviderUploadStaging

}  // namespace corvane
