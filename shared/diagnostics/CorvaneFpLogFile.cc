#include "shared/diagnostics/CorvaneFpLogFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "platform/foundation/FileManager.h"
#include "platform/oslog/Log.h"

namespace corvane::CorvaneFpLogFile {
namespace {

void reportWriteFailure(const foundation::Error& error) {
  oslog::log(oslog::Type::Error, "[FPLog] write failed: %{public}@", error.localizedDescription());
}

// Creates the file with `line` as its whole contents, in the folder that may have
// been deleted since the last record.
void createWith(const std::filesystem::path& folder, const std::filesystem::path& file, std::string_view line) {
  if (foundation::Status made = foundation::FileManager::createDirectory(folder, true); !made) {
    reportWriteFailure(made.error());
    return;
  }
  if (foundation::Status written =
          foundation::FileManager::writeAtomically(file, foundation::Data(line.begin(), line.end()));
      !written) {
    reportWriteFailure(written.error());
  }
}

}  // namespace

void append(const std::filesystem::path& logsDirectory, const std::filesystem::path& file, std::string_view line) {
  // Opening first spares a folder check per record: only a missing folder or file
  // (ENOENT) takes the slow path that creates them.
  int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    if (!foundation::FileManager::fileExists(file)) {
      createWith(logsDirectory, file, line);
      return;
    }
    fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  }
  if (fd < 0) {
    reportWriteFailure(foundation::FileManager::writeError(errno, file));
    return;
  }

  // O_APPEND keeps records whole when another process appends at the same time;
  // the explicit seek to the end is kept for file systems that ignore it.
  std::optional<foundation::Error> failure;
  if (::lseek(fd, 0, SEEK_END) < 0) {
    failure = foundation::FileManager::writeError(errno, file);
  } else {
    const char* bytes = line.data();
    std::size_t left = line.size();
    while (left > 0) {
      const ssize_t n = ::write(fd, bytes, left);
      if (n < 0) {
        if (errno == EINTR) continue;
        failure = foundation::FileManager::writeError(errno, file);
        break;
      }
      bytes += n;
      left -= static_cast<std::size_t>(n);
    }
  }
  if (::close(fd) != 0) {
    oslog::log(oslog::Type::Error, "[FPLog] close failed: %{public}@",
               foundation::posixError(errno).localizedDescription());
  }
  if (failure) reportWriteFailure(*failure);
}

}  // namespace corvane::CorvaneFpLogFile
