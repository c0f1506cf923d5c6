// Where the mount keeps what outlives a run, by the XDG base directory rules:
// state (pending uploads, pins) and the cache of materialised files.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/UserFolders.h"

namespace corvane::framework::mount {

// The host keeps its own journal and fetched copies in a folder of this name
// beside the domains' folders, so no domain may be called so.
inline constexpr std::string_view kHostFolderName = "host";

// <base>/corvane, where everything of ours of that kind is kept.
inline std::optional<std::filesystem::path> corvaneFolder(foundation::UserFolders::Kind kind) {
  auto base = foundation::UserFolders::base(kind);
  if (!base) return std::nullopt;
  return *base / "corvane";
}

// $XDG_STATE_HOME/corvane/<domain>, else ~/.local/state/corvane/<domain>.
inline std::optional<std::filesystem::path> domainStateFolder(const std::string& domain) {
  auto folder = corvaneFolder(foundation::UserFolders::Kind::state);
  if (!folder) return std::nullopt;
  return *folder / domain;
}

// $XDG_CACHE_HOME/corvane/<domain>, else ~/.cache/corvane/<domain>.
inline std::optional<std::filesystem::path> domainCacheFolder(const std::string& domain) {
  auto folder = corvaneFolder(foundation::UserFolders::Kind::cache);
  if (!folder) return std::nullopt;
  return *folder / domain;
}

}  // namespace corvane::framework::mount
