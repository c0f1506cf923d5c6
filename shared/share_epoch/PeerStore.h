// Where the per-peer state files live: one file per peer in a named folder of the
// App Group container, named by the peer identifier in base64url plus ".epoch".
// base64url never yields "/" or a leading ".", so any peer identifier ("../x",
// "a/b") maps to a file directly inside the folder.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

inline constexpr const char* kAppGroupId = "group.com.driftpin.corvane";

namespace PeerStore {

// base64url(peerId UTF-8) + ".epoch".
std::string fileName(std::string_view peerId);

// <App Group container>/<folderName>/<fileName(peerId)>, absent without a container.
std::optional<std::filesystem::path> fileURL(const char* folderName, std::string_view peerId);

}  // namespace PeerStore

}  // namespace corvane
