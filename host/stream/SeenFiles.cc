#include "host/stream/SeenFiles.h"

#include "host/stream/AtOrBelow.h"

namespace corvane::host {

namespace {
// Past this many files seen, all are forgotten: an upload then goes unchecked,
// as it would without this, and the memory stays small on any share.
constexpr std::size_t kMostSeen = 4096;
}  // namespace

void SeenFiles::saw(const std::string& path, const std::shared_ptr<const VfsFileEntryDto>& entry) {
  std::lock_guard guard(mutex_);
  if (entry && entry->isDir()) {
    seen_.erase(path);
    return;
  }
  if (seen_.size() >= kMostSeen) seen_.clear();
  seen_[path] = entry ? ExpectedFile{true, entry->size(), entry->modifiedMs()} : ExpectedFile{};
}

void SeenFiles::forget(const std::string& path) {
  std::lock_guard guard(mutex_);
  eraseAtOrBelow(seen_, path, [](const ExpectedFile&) {});
}

std::optional<ExpectedFile> SeenFiles::take(const std::string& path) {
  std::lock_guard guard(mutex_);
  auto found = seen_.find(path);
  if (found == seen_.end()) return std::nullopt;
  ExpectedFile expected = found->second;
  seen_.erase(found);
  return expected;
}

}  // namespace corvane::host
