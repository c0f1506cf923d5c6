#include "framework/mount/cache/MaterializedCache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "extension/ParsedIdentifier.h"
#include "framework/mount/common/PosixError.h"
#include "framework/mount/common/UserFolders.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/FileCopy.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/FolderContents.h"
#include "platform/foundation/Sha256.h"

namespace corvane::framework::mount {

namespace {

using foundation::Result;

foundation::Status makePrivateFolder(const std::filesystem::path& folder) {
  if (int err = foundation::makePrivateFolders(folder)) return posixError(err, "cannot make " + folder.string());
  return foundation::Ok{};
}

constexpr const char* kIdentifierAttribute = "user.corvane.identifier";

std::int64_t nanoseconds(const timespec& t) { return std::int64_t(t.tv_sec) * 1000000000 + t.tv_nsec; }

std::int64_t now() {
  timespec t{};
  ::clock_gettime(CLOCK_REALTIME, &t);
  return nanoseconds(t);
}

// Marks a use in the entry's atime; only the order matters, and it survives a remount.
void markUsed(int fd) {
  const timespec times[2] = {{0, UTIME_NOW}, {0, UTIME_OMIT}};
  (void)::futimens(fd, times);
}

std::string identifierOf(const std::filesystem::path& path) {
  char buffer[4096];
  const ssize_t length = ::getxattr(path.c_str(), kIdentifierAttribute, buffer, sizeof buffer);
  return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string();
}

}  // namespace

struct MaterializedCache::Flight {
  Fetching shown;
  std::mutex mutex;  // guards result
  std::condition_variable done;
  std::optional<Result<fileprovider::ItemPtr>> result;
};

Result<std::unique_ptr<MaterializedCache>> MaterializedCache::open(const std::string& domain) {
  auto found = domainCacheFolder(domain);
  if (!found) return posixError(ENOENT, "set XDG_CACHE_HOME or HOME to say where the cache goes");
  const auto folder = *found;
  if (auto made = makePrivateFolder(folder); !made.ok()) return made.error();
  // Half-taken entries of an earlier run: they never got their name.
  std::unique_ptr<MaterializedCache> cache(new MaterializedCache(folder));
  std::error_code error;
  for (const auto& file : foundation::contentsOfFolder(folder)) {
    struct stat st {};
    if (file.extension() == ".part") {
      std::filesystem::remove(file, error);
    } else if (::lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && file.extension().empty()) {
      cache->index_.put(file.filename().string(),
                        {static_cast<std::uint64_t>(st.st_size), nanoseconds(st.st_atim), identifierOf(file)});
    }
  }
  cache->limits_ = defaultLimits(folder);
  return cache;
}

MaterializedCache::Limits MaterializedCache::defaultLimits(const std::filesystem::path& folder) {
  constexpr std::uint64_t kGiB = 1ull << 30;
  Limits limits{20 * kGiB, 2 * kGiB};
  struct statvfs fs {};
  if (::statvfs(folder.c_str(), &fs) == 0) {
    limits.maxBytes = std::min(limits.maxBytes, std::uint64_t(fs.f_blocks) * fs.f_frsize / 10);
  }
  return limits;
}

void MaterializedCache::setLimits(Limits limits) {
  {
    std::lock_guard guard(mutex_);
    limits_ = limits;
  }
  evict();
}

void MaterializedCache::setSpared(std::shared_ptr<const Spared> spared) {
  std::lock_guard guard(mutex_);
  spared_ = std::move(spared);
}

std::size_t MaterializedCache::evict() {
  std::vector<std::pair<std::string, CacheIndex::Info>> candidates;
  std::shared_ptr<const Spared> spared;
  std::uint64_t excess = 0;
  {
    std::lock_guard guard(mutex_);
    if (index_.bytes() > limits_.maxBytes) excess = index_.bytes() - limits_.maxBytes;
    struct statvfs fs {};
    if (limits_.minFree > 0 && ::statvfs(folder_.c_str(), &fs) == 0) {
      const std::uint64_t free = std::uint64_t(fs.f_bavail) * fs.f_frsize;
      if (free < limits_.minFree) excess = std::max(excess, limits_.minFree - free);
    }
    if (excess == 0) return 0;
    candidates = index_.unheldOldestFirst();
    spared = spared_;
  }
  // Asked without the lock: the answer may need the upload queue, which adopts into this cache.
  const auto victims = CacheIndex::victims(candidates, excess, [&](const std::string& identifier) {
    return spared && spared->spared(identifier);
  });
  std::lock_guard guard(mutex_);
  std::size_t removed = 0;
  for (const auto& name : victims) {
    if (index_.held(name)) continue;  // opened meanwhile: it stays
    if (::unlink((folder_ / name).c_str()) == 0 || errno == ENOENT) {
      index_.erase(name);
      ++removed;
    }
  }
  return removed;
}

void MaterializedCache::drop(const fileprovider::ItemPtr& item) {
  const auto path = entryPath(item);
  std::lock_guard guard(mutex_);
  // A handle reading it keeps its descriptor; the name goes at once.
  if (::unlink(path.c_str()) == 0 || errno == ENOENT) index_.erase(path.filename().string());
}

bool MaterializedCache::remakeFolder() const {
  // A cache cleaner may empty ~/.cache under a running mount; what it took is
  // fetched again, and the index lets go of each entry as eviction finds it gone.
  struct stat st {};
  return ::stat(folder_.c_str(), &st) != 0 && errno == ENOENT && makePrivateFolder(folder_).ok();
}

void MaterializedCache::indexStored(const fileprovider::ItemPtr& item, const std::filesystem::path& path) {
  const std::string identifier = item->itemIdentifier().rawValue();
  (void)::setxattr(path.c_str(), kIdentifierAttribute, identifier.data(), identifier.size(), 0);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return;
  std::lock_guard guard(mutex_);
  index_.put(path.filename().string(), {static_cast<std::uint64_t>(st.st_size), now(), identifier});
}

MaterializedCache::Entry MaterializedCache::held(foundation::UniqueFd fd, fileprovider::ItemPtr item) {
  const std::string name = entryPath(item).filename().string();
  markUsed(fd.get());
  {
    std::lock_guard guard(mutex_);
    index_.touch(name, now());
    index_.hold(name);
  }
  // The cache outlives every entry it hands out: they live in handles of the
  // file system, which holds the cache.
  std::shared_ptr<void> hold(nullptr, [this, name](void*) {
    std::lock_guard guard(mutex_);
    index_.release(name);
  });
  return Entry{std::move(fd), std::move(item), std::move(hold)};
}

std::filesystem::path MaterializedCache::entryPath(const std::string& identifier,
                                             const foundation::Data& contentVersion) const {
  const std::string key = identifier + '\n' + foundation::hexString(contentVersion);
  return folder_ / foundation::hexString(foundation::sha256(key));
}

std::filesystem::path MaterializedCache::entryPath(const fileprovider::ItemPtr& item) const {
  return entryPath(item->itemIdentifier().rawValue(), item->itemVersion().contentVersion);
}

std::optional<foundation::UniqueFd> MaterializedCache::find(const std::string& identifier,
                                                       const foundation::Data& contentVersion) const {
  foundation::UniqueFd fd(::open(entryPath(identifier, contentVersion).c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  return fd;
}

std::optional<foundation::UniqueFd> MaterializedCache::openValid(const fileprovider::ItemPtr& item) const {
  auto fd = find(item->itemIdentifier().rawValue(), item->itemVersion().contentVersion);
  if (!fd) return std::nullopt;
  struct stat st {};
  if (::fstat(fd->get(), &st) != 0) return std::nullopt;
  if (auto size = item->documentSize(); size && static_cast<std::uint64_t>(st.st_size) != *size) return std::nullopt;
  return fd;
}

namespace {

// Where an entry is written before its rename makes it whole; one per thread.
std::filesystem::path partOf(const std::filesystem::path& target) {
  auto part = target;
  part += "." + std::to_string(::gettid()) + ".part";
  return part;
}

}  // namespace

foundation::Status MaterializedCache::store(const fileprovider::ItemPtr& item, int source) {
  const auto target = entryPath(item);
  const auto part = partOf(target);
  auto create = [&] {
    return foundation::UniqueFd(::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  };
  foundation::UniqueFd out = create();
  if (!out.valid() && errno == ENOENT && remakeFolder()) out = create();
  if (!out.valid()) return posixError(errno, "cannot write " + part.string());
  if (int err = foundation::copyFileContents(source, out.get())) {
    ::unlink(part.c_str());
    return posixError(err, "cannot copy into " + part.string());
  }
  if (::rename(part.c_str(), target.c_str()) != 0) {
    const int err = errno;
    ::unlink(part.c_str());
    return posixError(err, "cannot name " + target.string());
  }
  indexStored(item, target);
  return foundation::Ok{};
}

bool MaterializedCache::linkIn(const fileprovider::ItemPtr& item, const std::filesystem::path& path) {
  const auto target = entryPath(item);
  auto linkAs = [&](const std::filesystem::path& name) {
    if (::link(path.c_str(), name.c_str()) == 0) return true;
    return errno == ENOENT && remakeFolder() && ::link(path.c_str(), name.c_str()) == 0;
  };
  // A link is whole when it appears, so a new entry takes its name at once;
  // one that replaces a file of that name goes in through a part file.
  bool linked = linkAs(target);
  if (!linked && errno == EEXIST) {
    const auto part = partOf(target);
    linked = linkAs(part);
    if (linked && ::rename(part.c_str(), target.c_str()) != 0) {
      ::unlink(part.c_str());
      linked = false;
    }
  }
  if (linked) indexStored(item, target);
  return linked;
}

void MaterializedCache::adopt(const fileprovider::ItemPtr& item, const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return;
  if (auto size = item->documentSize(); size && *size != static_cast<std::uint64_t>(st.st_size)) return;
  if (linkIn(item, path)) {
    evict();
    return;
  }
  // Another file system, or one without links: a miss only costs a fetch later.
  foundation::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.valid() && store(item, fd.get()).ok()) evict();
}

Result<MaterializedCache::Entry> MaterializedCache::materialise(const fileprovider::ItemPtr& item, const Fetch& fetch) {
  if (auto fd = openValid(item)) return held(std::move(*fd), item);
  auto fetched = fetchOnce(item, fetch);
  if (fetched.ok()) evict();  // after the hold, so the entry just fetched stays
  return fetched;
}

Result<MaterializedCache::Entry> MaterializedCache::fetchOnce(const fileprovider::ItemPtr& item, const Fetch& fetch) {
  const std::string key = item->itemIdentifier().rawValue();
  std::shared_ptr<Flight> flight;
  bool leader = false;
  {
    std::lock_guard guard(mutex_);
    auto& slot = flights_[key];
    if (!slot) {
      slot = std::make_shared<Flight>();
      auto parsed = ParsedIdentifier::parse(item->itemIdentifier());
      slot->shown = {parsed ? parsed->path : key, item->documentSize().value_or(0), foundation::currentMilliseconds()};
      leader = true;
    }
    flight = slot;
  }

  if (leader) {
    Result<fileprovider::ItemPtr> outcome = [&]() -> Result<fileprovider::ItemPtr> {
      auto fetched = fetch();
      if (!fetched.ok()) return fetched.error();
      // The metadata that came with the contents is the fresher; without it the
      // listed item has to do.
      auto fresh = fetched->item ? fetched->item : item;
      // The host hands over a file of its own that it never writes again, so a
      // second name for it costs nothing; across file systems it is cloned or
      // copied. An entry already there stays unless its size is not the
      // item's: what it holds is then not this version, and handing it out
      // would fail every open of the file until it was evicted.
      if (openValid(fresh)) {
        indexStored(fresh, entryPath(fresh));
        return fresh;
      }
      if (linkIn(fresh, fetched->contents)) return fresh;
      foundation::UniqueFd in(::open(fetched->contents.c_str(), O_RDONLY | O_CLOEXEC));
      if (!in.valid()) return posixError(errno, "cannot open the fetched " + fetched->contents.string());
      if (auto stored = store(fresh, in.get()); !stored.ok()) return stored.error();
      return fresh;
    }();
    {
      std::lock_guard guard(flight->mutex);
      flight->result = outcome;
    }
    flight->done.notify_all();
    std::lock_guard guard(mutex_);
    flights_.erase(key);
  }

  std::unique_lock lock(flight->mutex);
  flight->done.wait(lock, [&] { return flight->result.has_value(); });
  const auto outcome = *flight->result;
  lock.unlock();
  if (!outcome.ok()) return outcome.error();
  auto fd = openValid(*outcome);
  if (!fd) return posixError(ENOENT, "the fetched contents of " + key + " are gone from the cache");
  return held(std::move(*fd), *outcome);
}

std::vector<MaterializedCache::Fetching> MaterializedCache::fetching() const {
  std::lock_guard guard(mutex_);
  std::vector<Fetching> out;
  for (const auto& [key, flight] : flights_) out.push_back(flight->shown);
  return out;
}

std::uint64_t MaterializedCache::bytes() const {
  std::lock_guard guard(mutex_);
  return index_.bytes();
}

}  // namespace corvane::framework::mount
