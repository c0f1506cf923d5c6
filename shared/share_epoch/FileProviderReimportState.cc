#include "shared/share_epoch/FileProviderReimportState.h"

#include <mutex>

#include "platform/foundation/FileManager.h"
#include "shared/share_epoch/PeerStore.h"

namespace corvane {
namespace FileProviderReimportState {
namespace {

namespace FileManager = foundation::FileManager;

std::mutex& lock() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}

std::optional<std::filesystem::path> markerURL(const std::string& peerId) {
  return PeerStore::fileURL(storeDirectoryName, peerId);
}

std::optional<std::uint64_t> load(const std::string& peerId) {
  auto url = markerURL(peerId);
  if (!url) return std::nullopt;
  auto bytes = FileManager::contentsOf(*url);
  if (!bytes) return std::nullopt;
  return completedEpoch(*bytes);
}

}  // namespace

foundation::Data makeCompletionRecord(std::uint64_t epoch) {
  foundation::Data record(16);
  foundation::storeUInt64LE(record, 0, completionRecordVersion);
  foundation::storeUInt64LE(record, 8, epoch);
  return record;
}

std::optional<std::uint64_t> completedEpoch(const foundation::Data& record) {
  if (record.size() != 16) return std::nullopt;
  if (foundation::loadUInt64LE(record, 0) != completionRecordVersion) return std::nullopt;
  std::uint64_t epoch = foundation::loadUInt64LE(record, 8);
  if (epoch == 0) return std::nullopt;
  return epoch;
}

bool requiresRootReimport(std::uint64_t currentEpoch, std::optional<std::uint64_t> lastCompletedEpoch) {
  if (currentEpoch == 0) return false;
  return lastCompletedEpoch != currentEpoch;
}

bool needsRootReimport(const std::string& peerId, std::uint64_t currentEpoch) {
  std::lock_guard guard(lock());
  return requiresRootReimport(currentEpoch, load(peerId));
}

bool isCompleted(const std::string& peerId, std::uint64_t epoch) {
  if (epoch == 0) return false;
  std::lock_guard guard(lock());
  return load(peerId) == epoch;
}

bool begin(const std::string& peerId, std::uint64_t epoch) {
  if (epoch == 0) return false;
  std::lock_guard guard(lock());
  auto url = markerURL(peerId);
  if (!url) return false;
  if (!FileManager::fileExists(*url)) return true;
  return FileManager::removeItem(*url).ok();
}

bool markCompleted(const std::string& peerId, std::uint64_t epoch) {
  if (epoch == 0) return false;
  std::lock_guard guard(lock());
  auto url = markerURL(peerId);
  if (!url) return false;
  if (!FileManager::createDirectory(url->parent_path(), true)) return false;
  return FileManager::writeAtomically(*url, makeCompletionRecord(epoch)).ok();
}

}  // namespace FileProviderReimportState

namespace FileProviderReimportCompletionPolicy {

bool shouldMarkCompleted(Snapshot after) {
  switch (after) {
    case Snapshot::rootContainer:
      return true;
    case Snapshot::workingSet:
      return false;
  }
  return false;
}

}  // namespace FileProviderReimportCompletionPolicy
}  // namespace corvane
