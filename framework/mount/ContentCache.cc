#include "framework/mount/ContentCache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "framework/mount/PosixError.h"
#include "platform/foundation/FileCopy.h"
#include "platform/foundation/Sha256.h"

namespace corvane::framework::mount {

namespace {

using foundation::Result;

std::optional<std::filesystem::path> cacheHome() {
  if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && xdg[0] == '/') return std::filesystem::path(xdg);
  if (const char* home = std::getenv("HOME"); home && home[0] == '/') return std::filesystem::path(home) / ".cache";
  return std::nullopt;
}

// Makes `folder` (and what leads to it) and narrows it to the owner.
foundation::Status makePrivateFolder(const std::filesystem::path& folder) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) return posixError(error.value(), "cannot make " + folder.string());
  if (::chmod(folder.c_str(), 0700) != 0) return posixError(errno, "cannot protect " + folder.string());
  return foundation::Ok{};
}

}  // namespace

struct ContentCache::Flight {
  std::mutex mutex;  // guards result
  std::condition_variable done;
  std::optional<Result<fileprovider::ItemPtr>> result;
};

Result<std::unique_ptr<ContentCache>> ContentCache::open(const std::string& domain) {
  auto home = cacheHome();
  if (!home) return posixError(ENOENT, "set XDG_CACHE_HOME or HOME to say where the cache goes");
  const auto folder = *home / "corvane" / domain;
  if (auto made = makePrivateFolder(folder); !made.ok()) return made.error();
  // Half-taken entries of an earlier run: they never got their name.
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    if (entry.path().extension() == ".part") std::filesystem::remove(entry.path(), error);
  }
  return std::unique_ptr<ContentCache>(new ContentCache(folder));
}

std::filesystem::path ContentCache::entryPath(const fileprovider::ItemPtr& item) const {
  const std::string key =
      item->itemIdentifier().rawValue() + '\n' + foundation::hexString(item->itemVersion().contentVersion);
  return folder_ / foundation::hexString(foundation::sha256(key));
}

std::optional<foundation::UniqueFd> ContentCache::openValid(const fileprovider::ItemPtr& item) const {
  foundation::UniqueFd fd(::open(entryPath(item).c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return std::nullopt;
  if (auto size = item->documentSize(); size && static_cast<std::uint64_t>(st.st_size) != *size) return std::nullopt;
  return fd;
}

foundation::Status ContentCache::store(const fileprovider::ItemPtr& item, int source) {
  const auto target = entryPath(item);
  auto part = target;
  part += "." + std::to_string(::gettid()) + ".part";
  foundation::UniqueFd out(::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
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
  return foundation::Ok{};
}

void ContentCache::adopt(const fileprovider::ItemPtr& item, int fd) {
  if (::lseek(fd, 0, SEEK_SET) == 0) (void)store(item, fd);  // a miss only costs a fetch later
}

Result<ContentCache::Entry> ContentCache::materialise(const fileprovider::ItemPtr& item, const Fetch& fetch) {
  if (auto fd = openValid(item)) return Entry{std::move(*fd), item};
  return fetchOnce(item, fetch);
}

Result<ContentCache::Entry> ContentCache::fetchOnce(const fileprovider::ItemPtr& item, const Fetch& fetch) {
  const std::string key = item->itemIdentifier().rawValue();
  std::shared_ptr<Flight> flight;
  bool leader = false;
  {
    std::lock_guard guard(mutex_);
    auto& slot = flights_[key];
    if (!slot) {
      slot = std::make_shared<Flight>();
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
      // second name for it costs nothing; across file systems it is cloned or copied.
      if (::link(fetched->contents.c_str(), entryPath(fresh).c_str()) == 0 || errno == EEXIST) return fresh;
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
  return Entry{std::move(*fd), *outcome};
}

std::uint64_t ContentCache::bytes() const {
  std::uint64_t total = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder_, error)) {
    if (entry.is_regular_file(error)) total += entry.file_size(error);
  }
  return total;
}

}  // namespace corvane::framework::mount
