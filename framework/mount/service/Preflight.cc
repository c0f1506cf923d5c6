#include "framework/mount/service/Preflight.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "framework/mount/common/UserFolders.h"

namespace corvane::framework::mount {

std::optional<std::filesystem::path> onPath(const char* program) {
  const char* path = std::getenv("PATH");
  std::string folders = path ? path : "/usr/bin:/bin";
  for (std::size_t start = 0; start <= folders.size();) {
    std::size_t end = folders.find(':', start);
    if (end == std::string::npos) end = folders.size();
    const std::string candidate = folders.substr(start, end - start) + "/" + program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return std::nullopt;
}

std::optional<Problem> fuseDeviceProblem() {
  if (::access("/dev/fuse", R_OK | W_OK) == 0) return std::nullopt;
  return Problem{"/dev/fuse is not available (" + std::string(std::strerror(errno)) + ")",
                 "load the module (modprobe fuse) or run where FUSE is allowed"};
}

std::optional<Problem> fusermountProblem() {
  if (onPath("fusermount3")) return std::nullopt;
  return Problem{"fusermount3 is not installed", "apt-get install fuse3"};
}

std::optional<Problem> domainProblem(const std::string& domain) {
  // One rule wherever a domain is named: a folder name, a systemd instance
  // name and a word of a shell command line alike.
  if (domain.empty() || domain == "." || domain == ".." || domain.size() > 200 ||
      domain.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._:-") !=
          std::string::npos) {
    return Problem{"domain \"" + domain + "\" is not a usable folder name",
                   "use up to 200 letters, digits, '.', '_', ':' and '-'"};
  }
  if (domain == kHostFolderName) return Problem{"domain \"host\" is taken by the host's own folders", "choose another"};
  return std::nullopt;
}

std::optional<Problem> mountPointProblem(const std::filesystem::path& mountPoint) {
  struct stat point {};
  if (::stat(mountPoint.c_str(), &point) != 0) {
    if (errno == ENOTCONN) {
      return Problem{mountPoint.string() + " is a mount whose process is gone",
                     "run fusermount3 -u " + mountPoint.string()};
    }
    return Problem{"mount point " + mountPoint.string() + ": " + std::strerror(errno), ""};
  }
  if (!S_ISDIR(point.st_mode)) return Problem{"mount point " + mountPoint.string() + " is not a folder", ""};
  struct stat parent {};
  if (::stat((mountPoint / "..").c_str(), &parent) == 0 && parent.st_dev != point.st_dev) {
    return Problem{mountPoint.string() + " is already mounted", "unmount it first, or choose another folder"};
  }
  std::error_code error;
  if (!std::filesystem::is_empty(mountPoint, error) || error) {
    return Problem{"mount point " + mountPoint.string() + " is not empty", "choose an empty folder"};
  }
  return std::nullopt;
}

}  // namespace corvane::framework::mount
