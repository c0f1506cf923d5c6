// FileProviderExtension: staging upload contents on the staging queue.
#include "extension/FileProviderExtension.h"
#include "platform/foundation/FileManager.h"
#include "platform/oslog/Log.h"
#include "shared/diagnostics/CorvaneFpLog.h"
#include "shared/diagnostics/FileProviderUploadStaging.h"

namespace corvane {

foundation::Result<std::filesystem::path> FileProviderExtension::makeStagedUploadFile(
    const std::optional<std::filesystem::path>& contents) {
  auto container = foundation::FileManager::containerURL(std::string(CorvaneFpLog::appGroupId));
  if (!container) {
    return foundation::Error("io.corvane.fileprovider", 2,
                             foundation::UserInfo{{foundation::kLocalizedDescriptionKey,
                                                   std::string("App Group container is unavailable")}});
  }
  if (!contents) return FileProviderUploadStaging::makeEmptyFile(*container);
  return FileProviderUploadStaging::stage(*contents, *container);
}

void FileProviderExtension::stageUploadFile(const std::optional<std::filesystem::path>& contents,
                                            std::function<void(foundation::Result<std::filesystem::path>)> completion) {
  uploadStagingQueue_.async([self = shared_from_this(), contents, completion = std::move(completion)] {
    completion(self->makeStagedUploadFile(contents));
  });
}

void FileProviderExtension::removeStagedUpload(const std::filesystem::path& staged) {
  if (foundation::Status removed = FileProviderUploadStaging::remove(staged); !removed) {
    oslog::log(oslog::Type::Default, "\u26a0\ufe0f [FP] staged upload cleanup failed: %{public}@",
               removed.error().localizedDescription());
  }
}

}  // namespace corvane
