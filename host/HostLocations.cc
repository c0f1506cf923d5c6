#include "host/HostLocations.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

#include "platform/foundation/Base64.h"
#include "platform/foundation/UserFolders.h"

namespace corvane::host {
namespace {

std::optional<std::filesystem::path> hostFolder(foundation::UserFolders::Kind kind) {
  auto base = foundation::UserFolders::base(kind);
  if (!base) return std::nullopt;
  return *base / "corvane" / "host";
}

}  // namespace

std::optional<std::filesystem::path> defaultStateDirectory() {
  return hostFolder(foundation::UserFolders::Kind::state);
}

std::optional<std::filesystem::path> defaultCacheDirectory() {
  return hostFolder(foundation::UserFolders::Kind::cache);
}

std::string peerFileStem(std::string_view peerId) { return foundation::base64UrlEncode(peerId); }

std::filesystem::path unshareableNamesFile(const std::filesystem::path& stateFolder, std::string_view peerId) {
  return stateFolder / (peerFileStem(peerId) + ".unshareable.json");
}

std::filesystem::path remoteLinkFile(const std::filesystem::path& stateFolder, std::string_view peerId) {
  return stateFolder / (peerFileStem(peerId) + ".link.json");
}

std::filesystem::path transfersFile(const std::filesystem::path& runtimeFolder, std::string_view peerId) {
  return runtimeFolder / "transfers" / (peerFileStem(peerId) + ".json");
}

std::filesystem::path lockFile(const std::filesystem::path& stateFolder, std::string_view peerId) {
  return stateFolder / (peerFileStem(peerId) + ".lock");
}

std::vector<std::filesystem::path> peerStateFiles(const std::filesystem::path& stateFolder,
                                                  const std::filesystem::path& cacheFolder, std::string_view peerId) {
  const std::string stem = peerFileStem(peerId);
  return {stateFolder / (stem + ".state"),     unshareableNamesFile(stateFolder, peerId),
          remoteLinkFile(stateFolder, peerId), cacheFolder / stem,
          cacheFolder / (stem + ".fetched"),   cacheFolder / "incoming" / stem};
}

}  // namespace corvane::host
