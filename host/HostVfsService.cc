#include "host/HostVfsService.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>

#include "host/HostError.h"
#include "host/HostLocations.h"
#include "host/ShareEntries.h"
#include "platform/foundation/FileCopy.h"
#include "platform/foundation/SecureRandom.h"

namespace corvane::host {
namespace {

using foundation::Error;
using foundation::Ok;
using foundation::Result;
using foundation::Status;

Error invalid(std::string description) { return vfsError(VfsErrorCode::invalidArgument, std::move(description)); }

Error notFound(const SharePath& path) { return vfsError(VfsErrorCode::notFound, "No such item: " + path.text()); }

bool isInside(const std::filesystem::path& candidate, const std::filesystem::path& folder) {
  std::error_code ec;
  std::filesystem::path full = std::filesystem::weakly_canonical(candidate, ec);
  if (ec) return false;
  auto [f, c] = std::mismatch(folder.begin(), folder.end(), full.begin(), full.end());
  return f == folder.end();
}

std::string temporaryName() {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(foundation::randomUInt64()));
  return std::string(kUploadTemporaryPrefix) + text;
}

// Makes a finished rename durable. The folder is reopened for reading because
// fsync refuses O_PATH descriptors; failure here loses nothing already visible.
void syncFolder(int folderFd) {
  foundation::UniqueFd dir(::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) ::fsync(dir.get());
}

}  // namespace

HostVfsService::HostVfsService(std::string peerId, std::shared_ptr<const ShareRoot> root,
                               std::unique_ptr<HostStateStore> store, std::unique_ptr<ContentCache> cache,
                               std::size_t journalLimit, std::optional<std::filesystem::path> stagingFolder)
    : peerId_(std::move(peerId)),
      root_(std::move(root)),
      store_(std::move(store)),
      cache_(std::move(cache)),
      stagingFolder_(std::move(stagingFolder)),
      tracker_(root_, *store_, journalLimit) {}

Result<std::unique_ptr<HostVfsService>> HostVfsService::open(HostVfsServiceOptions options) {
  if (options.peerId.empty()) return invalid("The peer id is empty");
  auto root = ShareRoot::open(options.shareFolder, options.resolution);
  if (!root) return root.error();

  std::optional<std::filesystem::path> stateFolder =
      options.stateFolder ? options.stateFolder : defaultStateDirectory();
  std::optional<std::filesystem::path> cacheFolder = options.cacheFolder;
  if (!cacheFolder) {
    if (auto base = defaultCacheDirectory()) cacheFolder = *base / peerFileStem(options.peerId);
  }
  if (!stateFolder || !cacheFolder) {
    return invalid("No folder for host state or cache: set XDG_STATE_HOME, XDG_CACHE_HOME or HOME");
  }
  // Copies handed out must not be part of the share they were taken from, and
  // the host's own files must not show up as changes in it.
  if (isInside(*stateFolder, (*root)->path()) || isInside(*cacheFolder, (*root)->path())) {
    return invalid("The host state and cache folders must lie outside the shared folder");
  }

  auto store = HostStateStore::open(*stateFolder, options.peerId);
  if (!store) return store.error();
  (*root)->unshareableNames().reportTo(unshareableNamesFile(*stateFolder, options.peerId));
  auto cache = ContentCache::open(*cacheFolder, options.cacheMaxAge);
  if (!cache) return cache.error();

  std::unique_ptr<HostVfsService> service(new HostVfsService(options.peerId, *root, std::move(*store),
                                                             std::move(*cache), options.journalLimit,
                                                             std::move(options.stagingFolder)));
  if (options.watchExternalChanges) {
    // The watcher is stopped first in the destructor, so `self` outlives it.
    HostVfsService* self = service.get();
    auto watcher = InotifyWatcher::start(*root, [self](const SharePath& path, bool deep) {
      std::lock_guard lock(self->trackerMutex_);
      self->tracker_.reconcile(path, deep);
    });
    if (watcher) {
      service->watcher_ = std::move(*watcher);
    } else {
      std::fprintf(stderr, "corvane host: %s; comparing the whole share before each query\n",
                   watcher.error().localizedDescription().c_str());
    }
  }
  {
    std::lock_guard lock(service->trackerMutex_);
    service->startOutcome_ = service->tracker_.start();
  }
  return service;
}

HostVfsService::~HostVfsService() {
  watcher_.reset();
  std::lock_guard lock(trackerMutex_);
  if (!tracker_.saveCleanStop()) {
    std::fprintf(stderr, "corvane host: cannot save change state to %s\n", store_->file().c_str());
  }
}

void HostVfsService::noteChanged(const SharePath& path) {
  std::lock_guard lock(trackerMutex_);
  tracker_.reconcile(path, false);
}

void HostVfsService::catchUpLocked() {
  if (!watcher_ || !watcher_->complete()) tracker_.reconcile(SharePath(), true);
}

Result<std::optional<HostFileEntry>> HostVfsService::statItem(std::string_view rawPath) {
  auto path = SharePath::parse(rawPath);
  if (!path) return path.error();
  struct stat st {};
  bool exists = false;
  if (int err = root_->lstat(*path, &st, &exists)) {
    return vfsErrorFromErrno(err, "Cannot read " + path->text());
  }
  if (!exists) return std::optional<HostFileEntry>();
  return std::optional<HostFileEntry>(entryFromStat(path->name(), st));
}

Result<std::vector<HostFileEntry>> HostVfsService::listDirectory(std::string_view rawPath) {
  auto path = SharePath::parse(rawPath);
  if (!path) return path.error();
  struct stat st {};
  bool exists = false;
  if (int err = root_->lstat(*path, &st, &exists)) {
    return vfsErrorFromErrno(err, "Cannot list " + path->text());
  }
  if (!exists) return notFound(*path);
  if (!S_ISDIR(st.st_mode)) return invalid("Not a folder: " + path->text());

  std::vector<std::string> names;
  foundation::UniqueFd folder;
  int err = readChildNames(*root_, *path, &names);
  if (err == 0) err = root_->openDirectory(*path, O_PATH, &folder);
  if (err != 0) return vfsErrorFromErrno(err, "Cannot list " + path->text());
  std::vector<HostFileEntry> entries;
  entries.reserve(names.size());
  for (std::string& name : names) {
    struct stat child {};
    // A child removed since the folder was read is simply not listed.
    if (::fstatat(folder.get(), name.c_str(), &child, AT_SYMLINK_NOFOLLOW) != 0) continue;
    entries.push_back(entryFromStat(std::move(name), child));
  }
  return entries;
}

namespace {

// Opens the folder holding `path` and reads the item's own status (a symlink is
// not followed). Returns 0 or an errno value.
int openAndStat(const ShareRoot& root, const SharePath& path, foundation::UniqueFd* parent, struct stat* st) {
  if (int err = root.openParent(path, parent)) return err;
  if (::fstatat(parent->get(), path.name().c_str(), st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  return 0;
}

}  // namespace

Result<std::filesystem::path> HostVfsService::fetchFileContents(std::string_view rawPath) {
  auto path = SharePath::parse(rawPath);
  if (!path) return path.error();
  if (path->isRoot()) return invalid("Not a file: /");
  const std::string what = "Cannot fetch " + path->text();
  foundation::UniqueFd parent;
  struct stat st {};
  if (int err = openAndStat(*root_, *path, &parent, &st)) return vfsErrorFromErrno(err, what);
  const char* name = path->name().c_str();
  if (S_ISDIR(st.st_mode)) return invalid("Not a file: " + path->text());

  if (S_ISLNK(st.st_mode)) {
    // Reported as a file of its own size, so its contents are its own text;
    // the target is never read.
    char target[PATH_MAX];
    ssize_t n = ::readlinkat(parent.get(), name, target, sizeof target);
    if (n < 0) return vfsErrorFromErrno(errno, what);
    return cache_->store(path->name(), what, [&](int out) {
      return ::write(out, target, static_cast<std::size_t>(n)) == n ? 0 : (errno ? errno : EIO);
    });
  }
  if (!S_ISREG(st.st_mode)) return invalid("Not a regular file: " + path->text());
  // O_NONBLOCK: should a FIFO take the file's place meanwhile, opening it must not hang.
  foundation::UniqueFd in(::openat(parent.get(), name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!in.valid()) return vfsErrorFromErrno(errno, what);
  if (::fstat(in.get(), &st) != 0) return vfsErrorFromErrno(errno, what);
  if (!S_ISREG(st.st_mode)) return invalid("Not a regular file: " + path->text());
  return cache_->store(path->name(), what, [&](int out) { return foundation::copyConsistently(in.get(), out); });
}

Status HostVfsService::uploadFile(const std::filesystem::path& localFile, std::string_view rawRemotePath) {
  auto path = SharePath::parse(rawRemotePath);
  if (!path) return path.error();
  if (path->isRoot()) return invalid("Cannot replace the shared folder itself");
  if (!localFile.is_absolute()) return invalid("The staged file path is not absolute");
  const std::string what = "Cannot upload to " + path->text();

  foundation::UniqueFd source(::open(localFile.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!source.valid()) {
    return vfsErrorFromErrno(errno, "Cannot read the staged file " + localFile.string());
  }
  struct stat sourceStat {};
  if (::fstat(source.get(), &sourceStat) != 0) return vfsErrorFromErrno(errno, what);
  if (!S_ISREG(sourceStat.st_mode)) return invalid("The staged file is not a regular file");

  foundation::UniqueFd parent;
  if (int err = root_->openParent(*path, &parent)) return vfsErrorFromErrno(err, what);
  const char* name = path->name().c_str();
  mode_t mode = 0644;
  struct stat existing {};
  if (::fstatat(parent.get(), name, &existing, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISDIR(existing.st_mode)) {
      return vfsError(VfsErrorCode::alreadyExists, "A folder is at " + path->text());
    }
    if (S_ISREG(existing.st_mode)) mode = existing.st_mode & 07777;
  }

  // The answer means "stored". One fsync after the rename makes the contents
  // and the new name durable together, with one flush of the disk.
  auto flushed = [&](foundation::UniqueFd file) {
    int err = ::fsync(file.get()) == 0 ? 0 : errno;
    if (::close(file.release()) != 0 && err == 0) err = errno;
    return err != 0 ? Status(vfsErrorFromErrno(err, what)) : Status(Ok{});
  };
  // A staged copy is taken whole: one file less to make and fill. On another
  // file system (EXDEV), or whatever else stops the rename, it is copied.
  if (staged(localFile, sourceStat) && ::fchmod(source.get(), mode) == 0 &&
      ::renameat(AT_FDCWD, localFile.c_str(), parent.get(), name) == 0) {
    noteChanged(*path);
    return flushed(std::move(source));
  }

  const std::string temporary = temporaryName();
  foundation::UniqueFd out(
      ::openat(parent.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!out.valid()) return vfsErrorFromErrno(errno, what);
  auto discard = [&](int err) {
    out.reset();
    ::unlinkat(parent.get(), temporary.c_str(), 0);
    return Status(vfsErrorFromErrno(err, what));
  };
  if (int err = foundation::copyFileContents(source.get(), out.get())) return discard(err);
  if (::fchmod(out.get(), mode) != 0) return discard(errno);
  // renameat replaces a symlink at the destination itself, never its target.
  if (::renameat(parent.get(), temporary.c_str(), parent.get(), name) != 0) return discard(errno);
  noteChanged(*path);
  return flushed(std::move(out));
}

// Only a file directly in the staging folder, by the very name it was made
// under, with no other name: moving it takes nothing from anyone else.
bool HostVfsService::staged(const std::filesystem::path& localFile, const struct stat& st) const {
  const std::string name = localFile.filename().string();
  return stagingFolder_ && localFile.parent_path() == *stagingFolder_ && !name.empty() && name != "." && name != ".." &&
         st.st_nlink == 1 && st.st_uid == ::geteuid();
}

Status HostVfsService::createDirectory(std::string_view rawPath) {
  auto path = SharePath::parse(rawPath);
  if (!path) return path.error();
  if (path->isRoot()) return vfsError(VfsErrorCode::alreadyExists, "The shared folder exists");
  const std::string what = "Cannot create folder " + path->text();
  foundation::UniqueFd parent;
  if (int err = root_->openParent(*path, &parent)) return vfsErrorFromErrno(err, what);
  if (::mkdirat(parent.get(), path->name().c_str(), 0755) != 0) {
    return vfsErrorFromErrno(errno, what);
  }
  noteChanged(*path);
  return Ok{};
}

Status HostVfsService::deleteItem(std::string_view rawPath, bool isDir) {
  auto path = SharePath::parse(rawPath);
  if (!path) return path.error();
  if (path->isRoot()) return invalid("Cannot delete the shared folder itself");
  const std::string what = "Cannot delete " + path->text();
  foundation::UniqueFd parent;
  struct stat st {};
  if (int err = openAndStat(*root_, *path, &parent, &st)) return vfsErrorFromErrno(err, what);
  const char* name = path->name().c_str();
  if (S_ISDIR(st.st_mode) != isDir) {
    return invalid(path->text() + (isDir ? " is not a folder" : " is a folder"));
  }
  if (::unlinkat(parent.get(), name, isDir ? AT_REMOVEDIR : 0) != 0) {
    // Some file systems say EEXIST for a folder that still has children.
    return vfsErrorFromErrno(errno == EEXIST ? ENOTEMPTY : errno, what);
  }
  noteChanged(*path);
  return Ok{};
}

Status HostVfsService::renameItem(std::string_view rawFrom, std::string_view rawTo) {
  auto from = SharePath::parse(rawFrom);
  if (!from) return from.error();
  auto to = SharePath::parse(rawTo);
  if (!to) return to.error();
  if (from->isRoot() || to->isRoot()) return invalid("Cannot rename the shared folder itself");
  if (to->isWithin(*from)) return invalid("Cannot move " + from->text() + " into itself");
  const std::string what = "Cannot rename " + from->text() + " to " + to->text();
  foundation::UniqueFd fromParent, toParent;
  if (int err = root_->openParent(*from, &fromParent)) return vfsErrorFromErrno(err, what);
  if (int err = root_->openParent(*to, &toParent)) return vfsErrorFromErrno(err, what);
  const char* fromName = from->name().c_str();
  const char* toName = to->name().c_str();
  if (::renameat2(fromParent.get(), fromName, toParent.get(), toName, RENAME_NOREPLACE) != 0) {
    if (errno != EINVAL && errno != ENOSYS) return vfsErrorFromErrno(errno, what);
    // A file system without RENAME_NOREPLACE: check, then rename. Another program
    // could still create the target in between; this service itself cannot.
    struct stat st {};
    if (::fstatat(toParent.get(), toName, &st, AT_SYMLINK_NOFOLLOW) == 0) {
      return vfsErrorFromErrno(EEXIST, what);
    }
    if (::renameat(fromParent.get(), fromName, toParent.get(), toName) != 0) {
      return vfsErrorFromErrno(errno, what);
    }
  }
  syncFolder(toParent.get());
  noteChanged(*from);
  noteChanged(*to);
  return Ok{};
}

Result<std::uint64_t> HostVfsService::currentToken() {
  std::lock_guard lock(trackerMutex_);
  catchUpLocked();
  return tracker_.currentToken();
}

Result<HostChangesResult> HostVfsService::readChanges(std::string_view rawPath, std::uint64_t sinceToken) {
  auto path = SharePath::parse(rawPath);
  if (!path) return path.error();
  std::lock_guard lock(trackerMutex_);
  catchUpLocked();
  return tracker_.readChanges(*path, sinceToken);
}

}  // namespace corvane::host
