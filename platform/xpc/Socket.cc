#include "platform/xpc/Socket.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/UserFolders.h"

namespace xpc::socket {

std::optional<PeerCredentials> peerCredentials(int fd) {
  struct ucred cred {};
  socklen_t len = sizeof(cred);
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return std::nullopt;
  return PeerCredentials{cred.pid, cred.uid};
}

std::filesystem::path runtimeDirectory() {
  if (auto runtime = foundation::UserFolders::runtime()) return *runtime / "corvane";
  return std::filesystem::path("/tmp") / ("corvane-" + std::to_string(::geteuid()));
}

foundation::Status ensurePrivateDirectory(const std::filesystem::path& dir) {
  if (int err = foundation::makePrivateFolders(dir)) return foundation::posixError(err);
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0) return foundation::posixError(errno);
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return foundation::posixError(EPERM);
  if ((st.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0) return foundation::posixError(errno);
  return foundation::Ok{};
}

bool fitsSocketAddress(const std::string& path) {
  return !path.empty() && path.size() < sizeof(sockaddr_un{}.sun_path) && path.find('\0') == std::string::npos;
}

foundation::Result<UniqueFd> connectTo(const std::string& path) {
  if (!fitsSocketAddress(path)) return foundation::posixError(ENAMETOOLONG);
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return foundation::posixError(errno);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), path.size());
  int rc;
  do {
    rc = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return foundation::posixError(errno);
  return fd;
}

}  // namespace xpc::socket
