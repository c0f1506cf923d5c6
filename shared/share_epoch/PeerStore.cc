#include "shared/share_epoch/PeerStore.h"

#include "platform/foundation/Base64.h"
#include "platform/foundation/FileManager.h"

namespace corvane::PeerStore {

std::string fileName(std::string_view peerId) { return foundation::base64UrlEncode(peerId) + ".epoch"; }

std::optional<std::filesystem::path> fileURL(const char* folderName, std::string_view peerId) {
  auto container = foundation::FileManager::containerURL(kAppGroupId);
  if (!container) return std::nullopt;
  return *container / folderName / fileName(peerId);
}

}  // namespace corvane::PeerStore
