// ShareRoot is the open top folder of one peer's share and the only way the host
// reaches items inside it. Resolution never leaves the folder: openat2 with
// RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS where the kernel has it, else a walk
// one component at a time with O_NOFOLLOW that follows a symlink only while its
// target stays inside. The last component of a path is never followed.
//
// Immutable after open(); every method may be called from any thread.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <optional>

#include "host/SharePath.h"
#include "host/UnshareableNames.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/UniqueFd.h"

namespace corvane::host {

enum class ShareResolution {
  automatic,      // openat2 when available, else the component walk
  componentWalk,  // always the component walk (tests cover both)
};

class ShareRoot {
 public:
  // Opens `dir` (which must be an existing folder; symlinks in `dir` itself are
  // trusted, they are the operator's choice).
  [[nodiscard]] static foundation::Result<std::shared_ptr<const ShareRoot>> open(
      const std::filesystem::path& dir, ShareResolution resolution = ShareResolution::automatic);

  ~ShareRoot() = default;
  ShareRoot(const ShareRoot&) = delete;
  ShareRoot& operator=(const ShareRoot&) = delete;

  // The folder as an absolute, canonical path.
  const std::filesystem::path& path() const { return path_; }
  bool usesOpenat2() const { return useOpenat2_; }
  // Identity of the top folder, to notice when another folder takes its place.
  dev_t device() const { return device_; }
  ino_t inode() const { return inode_; }
  // The entries of this share that cannot be shown to the peer's side.
  UnshareableNames& unshareableNames() const { return *unshareable_; }

  // The following return 0 or an errno value. EXDEV and ELOOP mean the path would
  // leave the share.

  // Opens folder `path` with `flags` (O_PATH or O_RDONLY; O_DIRECTORY and
  // O_CLOEXEC are added). Symlinks are followed only while they stay inside.
  int openDirectory(const SharePath& path, int flags, foundation::UniqueFd* out) const;
  // Opens, as O_PATH, the folder that holds `path`, for *at() calls on path.name().
  // For the root this opens the root itself.
  int openParent(const SharePath& path, foundation::UniqueFd* out) const;
  // lstat of the item at `path`; *exists is false (and 0 returned) when nothing
  // is there (ENOENT or ENOTDIR along the way).
  int lstat(const SharePath& path, struct stat* st, bool* exists) const;

 private:
  ShareRoot(foundation::UniqueFd fd, std::filesystem::path path, bool useOpenat2, dev_t device, ino_t inode);
  int openat2Directory(const SharePath& path, int flags, foundation::UniqueFd* out) const;
  int walkDirectory(const SharePath& path, foundation::UniqueFd* out) const;

  const foundation::UniqueFd rootFd_;  // O_PATH | O_DIRECTORY
  const std::filesystem::path path_;
  const bool useOpenat2_;
  const dev_t device_;
  const ino_t inode_;
  const std::unique_ptr<UnshareableNames> unshareable_ = std::make_unique<UnshareableNames>();
};

}  // namespace corvane::host
