#include "host/HostLocations.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

#include "platform/foundation/Base64.h"

namespace corvane::host {
namespace {

std::optional<std::filesystem::path> xdgDirectory(const char* variable, const char* homeRelative) {
  if (const char* base = std::getenv(variable); base && *base == '/') {
    return std::filesystem::path(base) / "corvane" / "host";
  }
  if (const char* home = std::getenv("HOME"); home && *home) {
    return std::filesystem::path(home) / homeRelative / "corvane" / "host";
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::filesystem::path> defaultStateDirectory() { return xdgDirectory("XDG_STATE_HOME", ".local/state"); }

std::optional<std::filesystem::path> defaultCacheDirectory() { return xdgDirectory("XDG_CACHE_HOME", ".cache"); }

std::string peerFileStem(std::string_view peerId) { return foundation::base64UrlEncode(peerId); }

int makePrivateDirectories(const std::filesystem::path& dir) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : EEXIST;
  if (dir.has_parent_path() && dir.parent_path() != dir) {
    if (int err = makePrivateDirectories(dir.parent_path())) return err;
  }
  if (::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST) return 0;
  return errno;
}

}  // namespace corvane::host
