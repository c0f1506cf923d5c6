#include "host/ContentCache.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>

#include "host/HostError.h"
#include "host/HostLocations.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/SecureRandom.h"
#include "platform/foundation/UniqueFd.h"
#include "platform/foundation/Utf8.h"

namespace corvane::host {
namespace {

constexpr auto kSweepInterval = std::chrono::minutes(1);
constexpr std::size_t kMaxLeafBytes = 200;  // leaves room for the unique prefix in NAME_MAX

std::string uniqueHex() {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(foundation::randomUInt64()));
  return text;
}

std::string boundedLeaf(std::string_view leaf) { return std::string(foundation::utf8Prefix(leaf, kMaxLeafBytes)); }

}  // namespace

ContentCache::ContentCache(std::filesystem::path dir, std::chrono::seconds maxAge)
    : dir_(std::move(dir)), maxAge_(maxAge) {}

foundation::Result<std::unique_ptr<ContentCache>> ContentCache::open(std::filesystem::path dir,
                                                                     std::chrono::seconds maxAge) {
  if (int err = foundation::makePrivateFolders(dir)) {
    return vfsErrorFromErrno(err, "Cannot create the host cache folder " + dir.string());
  }
  std::unique_ptr<ContentCache> cache(new ContentCache(std::move(dir), maxAge));
  cache->sweep();
  return cache;
}

foundation::Result<std::filesystem::path> ContentCache::store(std::string_view leafName, std::string_view what,
                                                              const std::function<int(int fd)>& fill) {
  sweepIfDue();
  const std::string unique = uniqueHex();
  const std::filesystem::path partial = dir_ / (".part-" + unique);
  const std::filesystem::path final = dir_ / (unique + "-" + boundedLeaf(leafName));
  auto create = [&] {
    return foundation::UniqueFd(::open(partial.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  };
  foundation::UniqueFd fd = create();
  // A cache cleaner may empty ~/.cache under a running host: the folder is made again.
  if (!fd.valid() && errno == ENOENT && foundation::makePrivateFolders(dir_) == 0) fd = create();
  if (!fd.valid()) return vfsErrorFromErrno(errno, std::string(what));
  auto fail = [&](int err) {
    ::unlink(partial.c_str());
    return vfsErrorFromErrno(err, std::string(what));
  };
  if (int err = fill(fd.get())) return fail(err);
  // The sweep ages copies by their modification time, which a reflink may carry over.
  if (::futimens(fd.get(), nullptr) != 0) return fail(errno);
  if (::rename(partial.c_str(), final.c_str()) != 0) return fail(errno);
  return final;
}

void ContentCache::sweepIfDue() {
  {
    std::lock_guard lock(sweepMutex_);
    if (std::chrono::steady_clock::now() - lastSweep_ < kSweepInterval) return;
  }
  sweep();
}

void ContentCache::sweep() {
  std::lock_guard lock(sweepMutex_);
  lastSweep_ = std::chrono::steady_clock::now();
  foundation::UniqueFd dirFd(::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dirFd.valid()) return;
  DIR* dir = ::fdopendir(dirFd.get());
  if (!dir) return;
  dirFd.release();
  const std::time_t cutoff = std::time(nullptr) - static_cast<std::time_t>(maxAge_.count());
  while (const dirent* item = ::readdir(dir)) {
    std::string_view name = item->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (::fstatat(::dirfd(dir), item->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(st.st_mode) || st.st_mtim.tv_sec >= cutoff) continue;
    ::unlinkat(::dirfd(dir), item->d_name, 0);
  }
  ::closedir(dir);
}

}  // namespace corvane::host
