#include "host/ChangeSignal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/HostLocations.h"

namespace corvane::host {

std::filesystem::path changeSignalFile(const std::filesystem::path& runtimeFolder, std::string_view peerId) {
  return runtimeFolder / "changed" / peerFileStem(peerId);
}

void signalChange(const std::filesystem::path& file) {
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 && errno == ENOENT) {
    ::mkdir(file.parent_path().c_str(), 0700);
    fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  }
  if (fd < 0) return;
  (void)!::write(fd, "\n", 1);
  ::close(fd);
}

}  // namespace corvane::host
