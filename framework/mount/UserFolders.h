// Where the mount keeps what outlives a run, by the XDG base directory rules:
// state (pending uploads, pins) and the cache of materialised files.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::framework::mount {

// The host keeps its own journal and fetched copies in a folder of this name
// beside the domains' folders, so no domain may be called so.
inline constexpr std::string_view kHostFolderName = "host";

inline std::optional<std::filesystem::path> userFolder(const char* variable, const char* underHome) {
  if (const char* xdg = std::getenv(variable); xdg && xdg[0] == '/') return std::filesystem::path(xdg);
  if (const char* home = std::getenv("HOME"); home && home[0] == '/') return std::filesystem::path(home) / underHome;
  return std::nullopt;
}

// $XDG_STATE_HOME/corvane/<domain>, else ~/.local/state/corvane/<domain>.
inline std::optional<std::filesystem::path> domainStateFolder(const std::string& domain) {
  auto home = userFolder("XDG_STATE_HOME", ".local/state");
  if (!home) return std::nullopt;
  return *home / "corvane" / domain;
}

// $XDG_CACHE_HOME/corvane/<domain>, else ~/.cache/corvane/<domain>.
inline std::optional<std::filesystem::path> domainCacheFolder(const std::string& domain) {
  auto home = userFolder("XDG_CACHE_HOME", ".cache");
  if (!home) return std::nullopt;
  return *home / "corvane" / domain;
}

}  // namespace corvane::framework::mount
