// FileProviderExtension: the framework's notice that it finished importing the domain.
#include "extension/FileProviderExtension.h"
#include "shared/diagnostics/CorvaneFpLog.h"
#include "shared/share_epoch/FileProviderReimportState.h"
#include "shared/share_epoch/FileProviderShareEpoch.h"

namespace corvane {

void FileProviderExtension::importDidFinish(std::function<void()> completionHandler) {
  // Only logs whether a complete root listing of the current share backs the
  // import; nothing is requested or signalled from here.
  const std::uint64_t epoch = FileProviderShareEpoch::current(mountedPeerId());
  if (FileProviderReimportState::isCompleted(mountedPeerId(), epoch)) {
    CorvaneFpLog::emit({.event = "mount.reimport_done",
                        .level = "INFO",
                        .peer = mountedPeerId(),
                        .detail = "root_import_verified",
                        .epoch = epoch});
  } else {
    CorvaneFpLog::emit({.event = "mount.reimport_fail",
                        .level = "WARN",
                        .peer = mountedPeerId(),
                        .detail = "root_import_unverified",
                        .errorCode = "vfs_not_connected",
                        .retryable = true,
                        .epoch = epoch});
  }
  completionHandler();
}

}  // namespace corvane
