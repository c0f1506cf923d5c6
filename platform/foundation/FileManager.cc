#include "platform/foundation/FileManager.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/foundation/FileCopy.h"
#include "platform/foundation/SecureRandom.h"
#include "platform/foundation/UniqueFd.h"
#include "platform/foundation/UserFolders.h"

namespace foundation {
namespace FileManager {
namespace {

// Set once by withholdContainers(); never cleared.
std::atomic<bool> containersWithheld{false};

std::string envValue(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

Error cocoaError(std::int64_t code, int err, const std::filesystem::path& path) {
  return Error(kCocoaErrorDomain, code,
               UserInfo{{"NSFilePath", path.string()}, {kUnderlyingErrorKey, nested(posixError(err))}});
}

bool writeAll(int fd, const std::uint8_t* bytes, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, bytes, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

void withholdContainers() { containersWithheld.store(true); }

std::optional<std::filesystem::path> containerURL(const std::string& groupId) {
  if (containersWithheld.load()) return std::nullopt;
  if (std::string base = envValue("CORVANE_APP_GROUPS"); !base.empty()) {
    return std::filesystem::path(base) / groupId;
  }
  if (auto data = UserFolders::base(UserFolders::Kind::data)) return *data / "corvane" / "app-groups" / groupId;
  return std::nullopt;
}

Error readError(int err, const std::filesystem::path& path) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return cocoaError(cocoa::kFileReadNoSuchFile, err, path);
    case EACCES:
    case EPERM:
      return cocoaError(cocoa::kFileReadNoPermission, err, path);
    default:
      return cocoaError(cocoa::kFileReadUnknown, err, path);
  }
}

Error writeError(int err, const std::filesystem::path& path) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return cocoaError(cocoa::kFileNoSuchFile, err, path);
    case EACCES:
    case EPERM:
    case EROFS:
      return cocoaError(cocoa::kFileWriteNoPermission, err, path);
    case EEXIST:
      return cocoaError(cocoa::kFileWriteFileExists, err, path);
    case ENOSPC:
    case EDQUOT:
      return cocoaError(cocoa::kFileWriteOutOfSpace, err, path);
    default:
      return cocoaError(cocoa::kFileWriteUnknown, err, path);
  }
}

Status createDirectory(const std::filesystem::path& path, bool withIntermediates) {
  if (withIntermediates) {
    if (int err = makePrivateFolders(path)) return writeError(err, path);
    return Ok{};
  }
  // The App Group container holds logs and staged uploads: on Linux it may sit in
  // a folder others can read, so what is made here is the owner's alone.
  if (::mkdir(path.c_str(), 0700) == 0) return Ok{};
  int err = errno;
  struct stat st {};
  if (err == EEXIST && ::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return Ok{};
    return writeError(EEXIST, path);
  }
  return writeError(err, path);
}

Result<Data> contentsOf(const std::filesystem::path& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return readError(errno, path);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return readError(errno, path);
  if (S_ISDIR(st.st_mode)) return readError(EISDIR, path);
  Data bytes;
  bytes.reserve(static_cast<std::size_t>(st.st_size));
  std::uint8_t buffer[64 * 1024];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return readError(errno, path);
    }
    if (n == 0) break;
    bytes.insert(bytes.end(), buffer, buffer + n);
  }
  return bytes;
}

namespace {

Status writeThenRename(const std::filesystem::path& path, const Data& bytes, bool durable) {
  std::filesystem::path folder = path.parent_path();
  if (folder.empty()) folder = ".";
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, ".tmp-%016llx", static_cast<unsigned long long>(randomUInt64()));
  std::string name = ".";
  name += path.filename().string();
  name += suffix;
  std::filesystem::path temporary = folder / name;

  UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (fd.get() < 0) return writeError(errno, path);
  auto discard = [&](int err) {
    ::unlink(temporary.c_str());
    return Status(writeError(err, path));
  };
  if (!writeAll(fd.get(), bytes.data(), bytes.size())) return discard(errno);
  if (durable && ::fsync(fd.get()) != 0) return discard(errno);
  if (::close(fd.release()) != 0) return discard(errno);
  if (::rename(temporary.c_str(), path.c_str()) != 0) return discard(errno);
  if (!durable) return Ok{};
  // Make the rename itself durable; a failure here loses nothing already visible.
  UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) ::fsync(dir.get());
  return Ok{};
}

}  // namespace

Status writeAtomically(const std::filesystem::path& path, const Data& bytes) {
  return writeThenRename(path, bytes, true);
}

Status replaceContents(const std::filesystem::path& path, const Data& bytes) {
  return writeThenRename(path, bytes, false);
}

Status removeItem(const std::filesystem::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    // A folder goes with everything in it; links inside are removed, never followed.
    std::error_code error;
    std::filesystem::remove_all(path, error);
    return error ? Status(writeError(error.value(), path)) : Status(Ok{});
  }
  if (::unlink(path.c_str()) == 0) return Ok{};
  return writeError(errno, path);
}

namespace {

// Makes `to` a link with the same target text as the link `name` in `dirFd`
// (AT_FDCWD for a path): a link is copied as it is, whether or not what it names
// exists, and is never followed. `made` as for copyTree.
Status copyLink(int dirFd, const char* name, const std::filesystem::path& from, const std::filesystem::path& to,
                bool& made) {
  std::string target(PATH_MAX, '\0');
  const ssize_t length = ::readlinkat(dirFd, name, target.data(), target.size());
  if (length < 0) return readError(errno, from);
  if (static_cast<std::size_t>(length) == target.size()) return readError(ENAMETOOLONG, from);
  target.resize(static_cast<std::size_t>(length));
  if (::symlink(target.c_str(), to.c_str()) != 0) return writeError(errno, to);
  made = true;
  return Ok{};
}

// Copies `from` (open as `in`, described by `st`) to the new `to`, a folder with
// everything in it. Regular files, folders and links are copied, links as links;
// anything else inside refuses the whole copy. `made` is set once `to` exists,
// so the caller knows what is its to remove.
Status copyTree(int in, const struct stat& st, const std::filesystem::path& from, const std::filesystem::path& to,
                bool& made) {
  if (S_ISREG(st.st_mode)) {
    UniqueFd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 0777));
    if (!out.valid()) return writeError(errno, to);
    made = true;
    if (int err = copyFileContents(in, out.get()); err != 0) return writeError(err, to);
    if (::close(out.release()) != 0) return writeError(errno, to);
    return Ok{};
  }
  if (!S_ISDIR(st.st_mode)) return readError(EINVAL, from);
  if (::mkdir(to.c_str(), (st.st_mode & 0777) | S_IRWXU) != 0) return writeError(errno, to);
  made = true;
  DIR* folder = ::fdopendir(::dup(in));
  if (!folder) return readError(errno, from);
  Status result = Ok{};
  errno = 0;
  while (const dirent* entry = ::readdir(folder)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat childStat {};
    UniqueFd child;
    if (::fstatat(::dirfd(folder), entry->d_name, &childStat, AT_SYMLINK_NOFOLLOW) != 0) {
      result = readError(errno, from / name);
    } else if (S_ISLNK(childStat.st_mode)) {
      bool childMade = false;
      result = copyLink(::dirfd(folder), entry->d_name, from / name, to / name, childMade);
    } else if (!S_ISREG(childStat.st_mode) && !S_ISDIR(childStat.st_mode)) {
      result = readError(EINVAL, from / name);
    } else if (child = UniqueFd(::openat(::dirfd(folder), entry->d_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
               !child.valid()) {
      result = readError(errno, from / name);
    } else {
      bool childMade = false;
      result = copyTree(child.get(), childStat, from / name, to / name, childMade);
    }
    if (!result) break;
    errno = 0;
  }
  if (result && errno != 0) result = readError(errno, from);
  ::closedir(folder);
  return result;
}

}  // namespace

Status copyItem(const std::filesystem::path& from, const std::filesystem::path& to) {
  bool made = false;
  UniqueFd in(::open(from.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (!in.valid()) {
    // ELOOP is what O_NOFOLLOW gives for a link: the link itself is the item.
    const int err = errno;
    struct stat st {};
    if (err != ELOOP || ::lstat(from.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return readError(err, from);
    return copyLink(AT_FDCWD, from.c_str(), from, to, made);
  }
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) return readError(errno, from);
  Status copied = copyTree(in.get(), st, from, to, made);
  if (!copied && made) (void)removeItem(to);
  return copied;
}

bool fileExists(const std::filesystem::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace FileManager

int makePrivateFolders(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : EEXIST;
  if (path.has_parent_path() && path.parent_path() != path) {
    if (int err = makePrivateFolders(path.parent_path())) return err;
  }
  if (::mkdir(path.c_str(), 0700) == 0) return 0;
  // Another process may have made it in the meantime.
  const int err = errno;
  if (err == EEXIST && ::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : EEXIST;
  return err;
}

}  // namespace foundation
