#include "host/ShareRoot.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <deque>
#include <string>
#include <vector>

#include "host/HostError.h"

namespace corvane::host {
namespace {

constexpr int kMaxSymlinks = 40;  // the kernel's own limit for one resolution

int sysOpenat2(int dirfd, const char* path, int flags) {
  struct open_how how {};
  how.flags = static_cast<std::uint64_t>(flags);
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  return static_cast<int>(::syscall(SYS_openat2, dirfd, path, &how, sizeof how));
}

}  // namespace

ShareRoot::ShareRoot(foundation::UniqueFd fd, std::filesystem::path path, bool useOpenat2, dev_t device, ino_t inode)
    : rootFd_(std::move(fd)), path_(std::move(path)), useOpenat2_(useOpenat2), device_(device), inode_(inode) {}

foundation::Result<std::shared_ptr<const ShareRoot>> ShareRoot::open(const std::filesystem::path& dir,
                                                                     ShareResolution resolution) {
  std::error_code ec;
  std::filesystem::path canonical = std::filesystem::canonical(dir, ec);
  if (ec) return vfsErrorFromErrno(ec.value(), "Cannot open the shared folder " + dir.string());
  foundation::UniqueFd fd(::open(canonical.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) {
    return vfsErrorFromErrno(errno, "Cannot open the shared folder " + canonical.string());
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    return vfsErrorFromErrno(errno, "Cannot read the shared folder " + canonical.string());
  }
  bool useOpenat2 = false;
  if (resolution == ShareResolution::automatic) {
    // Kernels before 5.6, and sandboxes that filter the call, answer ENOSYS or EPERM.
    foundation::UniqueFd probe(sysOpenat2(fd.get(), ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    useOpenat2 = probe.valid();
  }
  return std::shared_ptr<const ShareRoot>(
      new ShareRoot(std::move(fd), std::move(canonical), useOpenat2, st.st_dev, st.st_ino));
}

int ShareRoot::openDirectory(const SharePath& path, int flags, foundation::UniqueFd* out) const {
  if (useOpenat2_) return openat2Directory(path, flags, out);
  foundation::UniqueFd dir;
  if (int err = walkDirectory(path, &dir)) return err;
  if ((flags & O_PATH) != 0) {
    *out = std::move(dir);
    return 0;
  }
  // Reopening "." of a held folder cannot be redirected by a concurrent rename.
  foundation::UniqueFd reopened(::openat(dir.get(), ".", flags | O_DIRECTORY | O_CLOEXEC));
  if (!reopened.valid()) return errno;
  *out = std::move(reopened);
  return 0;
}

int ShareRoot::openat2Directory(const SharePath& path, int flags, foundation::UniqueFd* out) const {
  std::string relative = path.relative();
  for (int attempt = 0;; ++attempt) {
    int fd = sysOpenat2(rootFd_.get(), relative.c_str(), flags | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
      *out = foundation::UniqueFd(fd);
      return 0;
    }
    // EAGAIN: a rename elsewhere in the share raced with the resolution; retrying is safe.
    if (errno != EAGAIN || attempt >= 8) return errno;
  }
}

int ShareRoot::walkDirectory(const SharePath& path, foundation::UniqueFd* out) const {
  // Folders entered so far, below the root. ".." (only ever from a symlink's
  // text) pops one; popping past the root means the link points outside.
  std::vector<foundation::UniqueFd> stack;
  std::deque<std::string> pending(path.components().begin(), path.components().end());
  int links = 0;
  while (!pending.empty()) {
    std::string name = std::move(pending.front());
    pending.pop_front();
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      if (stack.empty()) return EXDEV;
      stack.pop_back();
      continue;
    }
    int current = stack.empty() ? rootFd_.get() : stack.back().get();
    foundation::UniqueFd fd(::openat(current, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) return errno;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return errno;
    if (S_ISLNK(st.st_mode)) {
      if (++links > kMaxSymlinks) return ELOOP;
      char target[PATH_MAX];
      ssize_t n = ::readlinkat(fd.get(), "", target, sizeof target);
      if (n < 0) return errno;
      if (static_cast<std::size_t>(n) >= sizeof target) return ENAMETOOLONG;
      // An absolute target always leaves the share, as RESOLVE_BENEATH rules.
      if (n == 0 || target[0] == '/') return EXDEV;
      std::vector<std::string> parts;
      std::string_view text(target, static_cast<std::size_t>(n));
      std::size_t start = 0;
      while (start <= text.size()) {
        std::size_t end = text.find('/', start);
        if (end == std::string_view::npos) end = text.size();
        parts.emplace_back(text.substr(start, end - start));
        start = end + 1;
      }
      pending.insert(pending.begin(), parts.begin(), parts.end());
      continue;
    }
    if (!S_ISDIR(st.st_mode)) return ENOTDIR;
    stack.push_back(std::move(fd));
  }
  if (!stack.empty()) {
    *out = std::move(stack.back());
    return 0;
  }
  foundation::UniqueFd self(::openat(rootFd_.get(), ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!self.valid()) return errno;
  *out = std::move(self);
  return 0;
}

int ShareRoot::openParent(const SharePath& path, foundation::UniqueFd* out) const {
  return openDirectory(path.parent(), O_PATH, out);
}

int ShareRoot::lstat(const SharePath& path, struct stat* st, bool* exists) const {
  *exists = false;
  foundation::UniqueFd parent;
  int err = openParent(path, &parent);
  if (err == 0) {
    int rc = path.isRoot() ? ::fstat(parent.get(), st)
                           : ::fstatat(parent.get(), path.name().c_str(), st, AT_SYMLINK_NOFOLLOW);
    err = rc == 0 ? 0 : errno;
  }
  if (err == ENOENT || err == ENOTDIR) return 0;
  if (err == 0) *exists = true;
  return err;
}

}  // namespace corvane::host
