// MaterializedCache: the materialised files of one domain, in
// $XDG_CACHE_HOME/corvane/<domain>/ (else ~/.cache/corvane/<domain>/), one file
// per identifier and content version. A file whose content version is unchanged
// is found again after a remount, so it is never fetched twice; its size is
// checked against the item before it is reused.
//
// The cache is bounded: past its byte budget, or when the file system's free
// space falls below a floor, the least recently used entries go, never one that
// is open or that the mount wants kept (pinned, or with an upload due). An
// evicted file is simply fetched again when it is next opened. Each entry says
// whose contents it holds in an extended attribute and when it was last used
// in its atime, so both survive a remount.
//
// Thread-safe. Concurrent requests for the same missing entry share one fetch.
#pragma once

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "framework/mount/cache/CacheIndex.h"
#include "framework/mount/service/ExtensionCalls.h"
#include "platform/fileprovider/Item.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/UniqueFd.h"

namespace corvane::framework::mount {

class MaterializedCache {
 public:
  // The domain's cache folder, made 0700 when missing.
  static foundation::Result<std::unique_ptr<MaterializedCache>> open(const std::string& domain);

  struct Limits {
    std::uint64_t maxBytes = UINT64_MAX;  // what the entries may take together
    std::uint64_t minFree = 0;            // what must stay free on the cache's file system
  };
  // 10% of the cache's file system, at most 20 GiB; and 2 GiB free.
  static Limits defaultLimits(const std::filesystem::path& folder);

  struct Entry {
    foundation::UniqueFd fd;     // open for reading
    fileprovider::ItemPtr item;  // the item the contents belong to (fresher than the caller's after a fetch)
    std::shared_ptr<void> hold;  // keeps the entry from eviction for as long as it is held
  };
  using Fetch = std::function<foundation::Result<Fetched>()>;

  // The item's contents: from the cache when its content version is there, else
  // taken from what `fetch` materialises (cloned or copied, never read through).
  foundation::Result<Entry> materialise(const fileprovider::ItemPtr& item, const Fetch& fetch);

  // Takes the file at `path` (uploaded contents nobody writes again) as the
  // item's cached contents, so the next open does not fetch what was just
  // sent: as a second name for the file where the file system allows, so that
  // no copy is made and no file made and deleted, else as a copy. Not when
  // the item's size is not the file's: an upload's answer can describe a
  // version the peer wrote just after it, and those bytes are not these.
  void adopt(const fileprovider::ItemPtr& item, const std::filesystem::path& path);

  const std::filesystem::path& folder() const { return folder_; }

  // The cached contents of `identifier` at `contentVersion`, if they are still
  // here, open for reading.
  std::optional<foundation::UniqueFd> find(const std::string& identifier, const foundation::Data& contentVersion) const;

  // Forgets the contents kept for `item`: a file renamed onto its name may
  // carry the same version (a version is the path, the size and the time).
  void drop(const fileprovider::ItemPtr& item);

  void setLimits(Limits limits);
  // What eviction spares, asked of each entry it considers.
  class Spared {
   public:
    virtual ~Spared() = default;
    virtual bool spared(const std::string& identifier) const = 0;
  };
  void setSpared(std::shared_ptr<const Spared> spared);
  // Removes what the limits ask for; the number of entries removed.
  std::size_t evict();

  // Bytes held by cached files.
  std::uint64_t bytes() const;

  // The fetches under way, for `status`.
  struct Fetching {
    std::string path;  // in the share
    std::uint64_t size = 0;
    std::int64_t startedMs = 0;  // wall clock
  };
  std::vector<Fetching> fetching() const;

 private:
  struct Flight;
  explicit MaterializedCache(std::filesystem::path folder) : folder_(std::move(folder)) {}

  std::filesystem::path entryPath(const fileprovider::ItemPtr& item) const;
  std::filesystem::path entryPath(const std::string& identifier, const foundation::Data& contentVersion) const;
  std::optional<foundation::UniqueFd> openValid(const fileprovider::ItemPtr& item) const;
  foundation::Status store(const fileprovider::ItemPtr& item, int source);
  foundation::Result<Entry> fetchOnce(const fileprovider::ItemPtr& item, const Fetch& fetch);
  void indexStored(const fileprovider::ItemPtr& item, const std::filesystem::path& path);
  // `path` linked in as the item's entry, in place of any file of that name;
  // false where the file system has no links.
  bool linkIn(const fileprovider::ItemPtr& item, const std::filesystem::path& path);
  // Makes the folder again when something removed it; false when it was there.
  bool remakeFolder() const;
  Entry held(foundation::UniqueFd fd, fileprovider::ItemPtr item);

  const std::filesystem::path folder_;
  mutable std::mutex mutex_;  // guards everything below
  std::map<std::string, std::shared_ptr<Flight>> flights_;
  CacheIndex index_;
  Limits limits_;
  std::shared_ptr<const Spared> spared_;
};

}  // namespace corvane::framework::mount
