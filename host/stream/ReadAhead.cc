#include "host/stream/ReadAhead.h"

#include <unistd.h>

#include <algorithm>
#include <unordered_map>

#include "host/stream/AtOrBelow.h"
#include "platform/foundation/PathString.h"

namespace corvane::host {

namespace {

// The names kept from listings, oldest folders forgotten first: a first walk
// lists every folder, and a `git status` after it reads them all.
constexpr std::size_t kNamesKept = 1 << 16;

std::pair<std::string, std::string> folderAndName(const std::string& path) {
  return {foundation::PathString::deletingLastPathComponent(path), foundation::PathString::lastPathComponent(path)};
}

}  // namespace

ReadAhead::~ReadAhead() {
  for (const auto& [path, ahead] : ahead_) removeCopy(ahead);
}

void ReadAhead::removeCopy(const Ahead& ahead) {
  if (!ahead.underWay && !ahead.taken.copy.empty()) ::unlink(ahead.taken.copy.c_str());
}

void ReadAhead::listed(const std::string& folder, const VfsXpcProtocol::Entries& entries) {
  if (!entries) return;
  std::vector<std::string> small;
  std::unordered_map<std::string, const VfsFileEntryDto*> byName;
  for (const auto& entry : *entries) {
    if (!entry) continue;
    byName[entry->name()] = entry.get();
    if (!entry->isDir() && entry->size() <= kLargestFile) small.push_back(entry->name());
  }
  std::sort(small.begin(), small.end());
  std::lock_guard guard(mutex_);
  std::vector<std::string> inFolder;
  const std::string below = folder == "/" ? folder : folder + "/";
  for (auto it = ahead_.lower_bound(below); it != ahead_.end() && it->first.starts_with(below); ++it) {
    if (folderAndName(it->first).first == folder) inFolder.push_back(it->first);
  }
  for (const std::string& path : inFolder) {
    auto found = byName.find(folderAndName(path).second);
    checkLocked(path, found == byName.end() ? nullptr : found->second);
  }
  for (auto kept = listings_.begin(); kept != listings_.end(); ++kept) {
    if (kept->first != folder) continue;
    namesKept_ -= kept->second.size();
    listings_.erase(kept);
    break;
  }
  namesKept_ += small.size();
  listings_.emplace_back(folder, std::move(small));
  while (namesKept_ > kNamesKept && listings_.size() > 1) {
    namesKept_ -= listings_.front().second.size();
    listings_.pop_front();
  }
}

std::vector<ReadAhead::Planned> ReadAhead::after(const std::string& path) {
  const auto [folder, name] = folderAndName(path);
  std::vector<Planned> planned;
  std::lock_guard guard(mutex_);
  const auto now = std::chrono::steady_clock::now();
  dropStaleLocked(now);
  auto listing =
      std::find_if(listings_.begin(), listings_.end(), [&](const auto& kept) { return kept.first == folder; });
  if (listing == listings_.end()) return planned;
  const auto& names = listing->second;
  for (auto it = std::upper_bound(names.begin(), names.end(), name); it != names.end() && planned.size() < kFilesAhead;
       ++it) {
    const std::string sibling = foundation::PathString::appendingPathComponent(folder, *it);
    if (ahead_.count(sibling)) continue;
    ahead_[sibling] = Ahead{++sequence_, now, true, {}};
    planned.push_back({sibling, sequence_});
  }
  return planned;
}

void ReadAhead::fetched(const Planned& planned, std::filesystem::path copy,
                        std::shared_ptr<const VfsFileEntryDto> entry) {
  std::lock_guard guard(mutex_);
  auto found = ahead_.find(planned.path);
  if (found == ahead_.end() || found->second.sequence != planned.sequence || !found->second.underWay) {
    ::unlink(copy.c_str());  // forgotten meanwhile
    return;
  }
  found->second.underWay = false;
  found->second.at = std::chrono::steady_clock::now();
  found->second.taken = {std::move(copy), std::move(entry)};
}

void ReadAhead::statted(const std::string& path, const std::shared_ptr<const VfsFileEntryDto>& entry) {
  std::lock_guard guard(mutex_);
  checkLocked(path, entry.get());
}

void ReadAhead::checkLocked(const std::string& path, const VfsFileEntryDto* entry) {
  auto found = ahead_.find(path);
  if (found == ahead_.end()) return;
  const auto& own = found->second.taken.entry;
  if (!found->second.underWay && entry && own && !entry->isDir() && entry->size() == own->size() &&
      entry->modifiedMs() == own->modifiedMs()) {
    return;
  }
  removeCopy(found->second);
  ahead_.erase(found);
}

void ReadAhead::gaveUp(const Planned& planned) {
  std::lock_guard guard(mutex_);
  auto found = ahead_.find(planned.path);
  if (found != ahead_.end() && found->second.sequence == planned.sequence) ahead_.erase(found);
}

std::optional<ReadAhead::Taken> ReadAhead::take(const std::string& path) {
  std::lock_guard guard(mutex_);
  auto found = ahead_.find(path);
  if (found == ahead_.end() || found->second.underWay) return std::nullopt;
  if (std::chrono::steady_clock::now() - found->second.at > maxAge_) {
    removeCopy(found->second);
    ahead_.erase(found);
    return std::nullopt;
  }
  Taken taken = std::move(found->second.taken);
  ahead_.erase(found);
  return taken;
}

void ReadAhead::forget(const std::string& path) {
  std::lock_guard guard(mutex_);
  eraseAtOrBelow(ahead_, path, [](const Ahead& ahead) { removeCopy(ahead); });
}

// Copies nobody took in time go, with their files; fetches under way stay
// until they end, or for twice the age when one never does.
void ReadAhead::dropStaleLocked(std::chrono::steady_clock::time_point now) {
  std::erase_if(ahead_, [&](const auto& pair) {
    const auto age = now - pair.second.at;
    if (pair.second.underWay ? age <= 2 * maxAge_ : age <= maxAge_) return false;
    removeCopy(pair.second);
    return true;
  });
}

}  // namespace corvane::host
