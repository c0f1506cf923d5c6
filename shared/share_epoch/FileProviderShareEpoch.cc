#include "shared/share_epoch/FileProviderShareEpoch.h"

#include <mutex>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/SecureRandom.h"
#include "platform/foundation/UserDefaults.h"
#include "shared/share_epoch/PeerStore.h"

namespace corvane::FileProviderShareEpoch {
namespace {

namespace FileManager = foundation::FileManager;

std::mutex& lock() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}

std::string legacyKey(const std::string& peerId) { return "fileprovider.share-epoch." + peerId; }

std::optional<std::filesystem::path> epochFileURL(const std::string& peerId) {
  return PeerStore::fileURL(storeDirectoryName, peerId);
}

std::optional<std::uint64_t> loadEpoch(const std::string& peerId) {
  auto url = epochFileURL(peerId);
  if (!url) return std::nullopt;
  auto bytes = FileManager::contentsOf(*url);
  if (!bytes || bytes->size() != 8) return std::nullopt;
  std::uint64_t epoch = foundation::loadUInt64LE(*bytes, 0);
  if (epoch == 0) return std::nullopt;
  return epoch;
}

std::uint64_t legacyCurrent(const std::string& peerId) {
  return foundation::UserDefaults(kAppGroupId).unsignedLongLongForKey(legacyKey(peerId)).value_or(0);
}

bool persist(std::uint64_t epoch, const std::string& peerId) {
  auto url = epochFileURL(peerId);
  if (!url) return false;
  foundation::Data bytes(8);
  foundation::storeUInt64LE(bytes, 0, epoch);
  if (!FileManager::createDirectory(url->parent_path(), true)) return false;
  return FileManager::writeAtomically(*url, bytes).ok();
}

}  // namespace

std::uint64_t current(const std::string& peerId) {
  std::lock_guard guard(lock());
  if (auto epoch = loadEpoch(peerId)) return *epoch;
  return legacyCurrent(peerId);
}

std::optional<std::uint64_t> bump(const std::string& peerId) {
  std::lock_guard guard(lock());
  std::uint64_t previous = loadEpoch(peerId).value_or(0);
  if (previous == 0) previous = legacyCurrent(peerId);
  std::uint64_t next = 0;
  while (next == 0 || next == previous) next = foundation::randomUInt64();
  if (!persist(next, peerId)) return std::nullopt;
  return next;
}

foundation::Data makeAnchor(std::uint64_t epoch, std::uint64_t hostToken) {
  foundation::Data anchor(16);
  foundation::storeUInt64LE(anchor, 0, epoch);
  foundation::storeUInt64LE(anchor, 8, hostToken);
  return anchor;
}

std::optional<AnchorParts> parseAnchor(const foundation::Data& anchor) {
  if (anchor.size() == 16) {
    return AnchorParts{foundation::loadUInt64LE(anchor, 0), foundation::loadUInt64LE(anchor, 8)};
  }
  if (anchor.size() == 8) return AnchorParts{0, foundation::loadUInt64LE(anchor, 0)};
  return std::nullopt;
}

bool isExpired(const foundation::Data& anchor, std::uint64_t currentEpoch) {
  auto parts = parseAnchor(anchor);
  return !parts || parts->epoch != currentEpoch;
}

}  // namespace corvane::FileProviderShareEpoch
