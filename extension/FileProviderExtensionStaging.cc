// FileProviderExtension: staging upload contents on the staging queue, and the
// upload of a staged copy that item creation and modification share.
#include "extension/FileProviderErrors.h"
#include "extension/FileProviderExtension.h"
#include "extension/FileProviderRequestSupport.h"
#include "platform/fileprovider/Errors.h"
#include "platform/foundation/FileManager.h"
#include "platform/oslog/Log.h"
#include "shared/diagnostics/CorvaneFpLog.h"
#include "shared/diagnostics/FileProviderRequestTrace.h"
#include "shared/upload_staging/FileProviderUploadStaging.h"

namespace corvane {

foundation::Result<std::filesystem::path> FileProviderExtension::makeStagedUploadFile(
    const std::optional<std::filesystem::path>& contents) {
  uploadStagingQueue_.assertCurrent("FileProviderExtension::makeStagedUploadFile");
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

void FileProviderExtension::uploadStagedContents(std::shared_ptr<VfsXpcProtocol> xpc, std::string peerId,
                                                 std::string remotePath, std::optional<std::filesystem::path> contents,
                                                 std::shared_ptr<FileProviderRequestTrace> trace,
                                                 std::shared_ptr<StagedUploadSlot> staged,
                                                 std::function<void(foundation::Error)> failed,
                                                 std::function<void()> uploaded) {
  stageUploadFile(contents, [xpc = std::move(xpc), peerId = std::move(peerId), remotePath = std::move(remotePath),
                             trace, staged, failed = std::move(failed),
                             uploaded = std::move(uploaded)](foundation::Result<std::filesystem::path> result) {
    if (!result) {
      trace->fail({.error = result.error(), .retryable = true, .detail = remotePath});
      failed(fileProviderStagingError(result.error()));
      return;
    }
    const std::string stagedPath = result->string();
    // Recorded before the call, so that an upload lost with the link finds it.
    staged->put(std::move(*result));
    xpc->uploadFile(peerId, stagedPath, remotePath, trace->flowId(),
                    [trace, staged, remotePath, failed, uploaded](VfsXpcProtocol::Error error) {
                      // Whatever the answer, the host is done with the copy.
                      if (auto copy = staged->take()) removeStagedUpload(*copy);
                      if (error) {
                        trace->fail({.error = error, .retryable = true, .detail = remotePath});
                        failed(mapXpcError(*error));
                        return;
                      }
                      uploaded();
                    });
  });
}

std::shared_ptr<VfsXpcProtocol> FileProviderExtension::acquireItemChangeProxy(
    const std::shared_ptr<FileProviderRequestTrace>& trace, const std::shared_ptr<StagedUploadSlot>& staged,
    const ItemChangeOnce& complete) {
  auto xpc = acquireProxy([trace, staged, complete](const foundation::Error& linkError) {
    if (auto copy = staged->take()) removeStagedUpload(*copy);
    complete(nullptr, 0, false, failOrphanedRequest(*trace, linkError));
  });
  if (!xpc) {
    trace->fail({.fallbackCode = "vfs_not_connected", .retryable = true, .level = "WARN"});
    complete(nullptr, 0, false, fpError(fileprovider::ErrorCode::serverUnreachable, std::nullopt));
  }
  return xpc;
}

}  // namespace corvane
