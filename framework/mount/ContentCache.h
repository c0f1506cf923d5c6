// ContentCache: the materialised files of one domain, in
// $XDG_CACHE_HOME/corvane/<domain>/ (else ~/.cache/corvane/<domain>/), one file
// per identifier and content version. A file whose content version is unchanged
// is found again after a remount, so it is never fetched twice; its size is
// checked against the item before it is reused.
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

#include "framework/mount/ExtensionCalls.h"
#include "platform/fileprovider/Item.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/UniqueFd.h"

namespace corvane::framework::mount {

class ContentCache {
 public:
  // The domain's cache folder, made 0700 when missing.
  static foundation::Result<std::unique_ptr<ContentCache>> open(const std::string& domain);

  struct Entry {
    foundation::UniqueFd fd;     // open for reading
    fileprovider::ItemPtr item;  // the item the contents belong to (fresher than the caller's after a fetch)
  };
  using Fetch = std::function<foundation::Result<Fetched>()>;

  // The item's contents: from the cache when its content version is there, else
  // taken from what `fetch` materialises (cloned or copied, never read through).
  foundation::Result<Entry> materialise(const fileprovider::ItemPtr& item, const Fetch& fetch);

  // Takes the contents at `fd` (an uploaded working copy) as the item's cached
  // contents, so the next open does not fetch what was just sent.
  void adopt(const fileprovider::ItemPtr& item, int fd);

  const std::filesystem::path& folder() const { return folder_; }

  // Bytes held by cached files.
  std::uint64_t bytes() const;

 private:
  struct Flight;
  explicit ContentCache(std::filesystem::path folder) : folder_(std::move(folder)) {}

  std::filesystem::path entryPath(const fileprovider::ItemPtr& item) const;
  std::optional<foundation::UniqueFd> openValid(const fileprovider::ItemPtr& item) const;
  foundation::Status store(const fileprovider::ItemPtr& item, int source);
  foundation::Result<Entry> fetchOnce(const fileprovider::ItemPtr& item, const Fetch& fetch);

  const std::filesystem::path folder_;
  std::mutex mutex_;  // guards flights_
  std::map<std::string, std::shared_ptr<Flight>> flights_;
};

}  // namespace corvane::framework::mount
