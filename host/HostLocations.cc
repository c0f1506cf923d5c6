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

}  // namespace corvane::host
