// foundation::UserFolders: the user's base folders by the XDG base directory
// rules, the one place they are looked up. A variable counts only when it holds
// an absolute path (the rules say a relative one is to be ignored); the
// fallback is its usual place under an absolute $HOME.
#pragma once

#include <filesystem>
#include <optional>

namespace foundation::UserFolders {

enum class Kind {
  state,   // $XDG_STATE_HOME, else ~/.local/state
  cache,   // $XDG_CACHE_HOME, else ~/.cache
  data,    // $XDG_DATA_HOME, else ~/.local/share
  config,  // $XDG_CONFIG_HOME, else ~/.config
};

// Absent when neither the variable nor $HOME gives an absolute path.
std::optional<std::filesystem::path> base(Kind kind);

// $XDG_RUNTIME_DIR, absent when it is not an absolute path; it has no fallback.
std::optional<std::filesystem::path> runtime();

}  // namespace foundation::UserFolders
