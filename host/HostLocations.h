// Where the host keeps its own files, outside every share: per-peer state under
// $XDG_STATE_HOME/corvane/host (else ~/.local/state/corvane/host) and fetched
// copies under $XDG_CACHE_HOME/corvane/host (else ~/.cache/corvane/host).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::host {

// Absent when neither the XDG variable nor HOME is set.
std::optional<std::filesystem::path> defaultStateDirectory();
std::optional<std::filesystem::path> defaultCacheDirectory();

// A file-name-safe stem for a peer: base64url of its UTF-8 bytes, no padding.
// Distinct peers always get distinct stems, and no stem holds "/" or ".".
std::string peerFileStem(std::string_view peerId);

// The file, in the host's state folder, that counts the names of a peer's share
// the host cannot show (see UnshareableNames); `corvane-fp doctor` reads it.
std::filesystem::path unshareableNamesFile(const std::filesystem::path& stateFolder, std::string_view peerId);

// The file, in the host's state folder, that says whether the stream to a
// peer's share on another machine is up (RemoteShare writes it):
// {"address", "up", "roundTripMs", "why", "atMs"}.
std::filesystem::path remoteLinkFile(const std::filesystem::path& stateFolder, std::string_view peerId);

// The file, in the runtime folder (gone with a reboot, as the transfers it
// names are), that lists the transfers to and from a peer's share on another
// machine under way (TransferBoard writes it): {"transfers": [{"direction":
// "fetch" or "upload", "path", "size", "done", "startedMs"}], "atMs"}.
std::filesystem::path transfersFile(const std::filesystem::path& runtimeFolder, std::string_view peerId);

// Everything the host keeps for a peer on this machine, for `corvane-fp forget`:
// its files in the state folder but the lock (lockFile()), and its folders of
// fetched and staged copies in the cache folder.
std::vector<std::filesystem::path> peerStateFiles(const std::filesystem::path& stateFolder,
                                                  const std::filesystem::path& cacheFolder, std::string_view peerId);
// The file a host serving the peer holds locked (flock) for as long as it runs.
std::filesystem::path lockFile(const std::filesystem::path& stateFolder, std::string_view peerId);

}  // namespace corvane::host
