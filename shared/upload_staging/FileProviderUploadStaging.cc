#include "shared/upload_staging/FileProviderUploadStaging.h"

#include <sys/stat.h>

#include <mutex>
#include <set>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/UUID.h"

namespace corvane::FileProviderUploadStaging {
namespace {

namespace FileManager = foundation::FileManager;

// Removes staged files older than abandonedAge, once per folder and process.
void sweepAbandonedOnce(const std::filesystem::path& folder) {
  static std::mutex mutex;
  static std::set<std::filesystem::path>* swept = new std::set<std::filesystem::path>;
  {
    std::lock_guard guard(mutex);
    if (!swept->insert(folder).second) return;
  }
  const auto cutoff = std::chrono::system_clock::now() - abandonedAge;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    struct stat st {};
    if (::lstat(it->path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    auto modified = std::chrono::system_clock::time_point(std::chrono::seconds(st.st_mtim.tv_sec));
    if (modified < cutoff) ::unlink(it->path().c_str());
  }
}

foundation::Result<std::filesystem::path> prepareDirectory(const std::filesystem::path& container) {
  std::filesystem::path folder = container / directoryName;
  if (foundation::Status made = FileManager::createDirectory(folder, true); !made) return made.error();
  sweepAbandonedOnce(folder);
  return folder;
}

std::filesystem::path newTarget(const std::filesystem::path& folder) {
  return folder / foundation::UUID().lowercaseString();
}

}  // namespace

foundation::Result<std::filesystem::path> stage(const std::filesystem::path& source,
                                                const std::filesystem::path& container) {
  auto folder = prepareDirectory(container);
  if (!folder) return folder.error();
  std::filesystem::path target = newTarget(*folder);
  if (foundation::Status copied = FileManager::copyItem(source, target); !copied) {
    (void)FileProviderUploadStaging::remove(target);
    return copied.error();
  }
  return target;
}

foundation::Result<std::filesystem::path> makeEmptyFile(const std::filesystem::path& container) {
  auto folder = prepareDirectory(container);
  if (!folder) return folder.error();
  std::filesystem::path target = newTarget(*folder);
  if (foundation::Status written = FileManager::writeAtomically(target, {}); !written) return written.error();
  return target;
}

foundation::Status remove(const std::filesystem::path& stagedFile) {
  foundation::Status removed = FileManager::removeItem(stagedFile);
  if (!removed && removed.error().domain() == foundation::kCocoaErrorDomain &&
      removed.error().code() == foundation::cocoa::kFileNoSuchFile) {
    return foundation::Ok{};
  }
  return removed;
}

}  // namespace corvane::FileProviderUploadStaging
