// HostVfsService serves one local folder as one peer's share: the file-system
// half of the host's VFS service, in plain C++ types, ready to be exported over
// the host link. Every path is a share path ("/" is the folder itself) and is
// resolved beneath the folder; failures are host-domain errors (HostError.h).
//
// Change tracking: every change, whether made through this service or by any
// other program (seen through inotify), advances the peer's change token and is
// journaled in the folder it happened in. Token, journal and the last recorded
// state survive a restart under the state folder; see ChangeTracker.h for what a
// restart keeps and HostState.h for the file format.
//
// Threading: every method may be called from any thread, concurrently. File work
// runs unlocked; change bookkeeping is serialised by one internal mutex. The
// inotify watcher has its own thread, stopped by the destructor.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/ChangeTracker.h"
#include "host/ContentCache.h"
#include "host/HostStateStore.h"
#include "host/HostTypes.h"
#include "host/InotifyWatcher.h"
#include "host/ShareRoot.h"
#include "platform/foundation/Result.h"

namespace corvane::host {

struct HostVfsServiceOptions {
  std::string peerId;
  std::filesystem::path shareFolder;
  // Defaults: $XDG_STATE_HOME/corvane/host and $XDG_CACHE_HOME/corvane/host/<peer>
  // (else under ~/.local/state and ~/.cache).
  std::optional<std::filesystem::path> stateFolder;
  std::optional<std::filesystem::path> cacheFolder;
  // Journal records kept per peer; older tokens expire beyond this.
  std::size_t journalLimit = 10000;
  // Fetched copies older than this are removed.
  std::chrono::seconds cacheMaxAge = std::chrono::hours(1);
  // Off: changes by other programs are found by a full compare before every
  // token or change query instead of as they happen.
  bool watchExternalChanges = true;
  ShareResolution resolution = ShareResolution::automatic;
  // Where the extension stages uploads. A staged file there is the extension's
  // own copy, made for one upload and removed after the reply whatever it says:
  // on the share's file system it is moved into place instead of copied.
  std::optional<std::filesystem::path> stagingFolder;
};

class HostVfsService {
 public:
  // Opens the folder, takes the peer's state lock (-16 when another service
  // holds it), loads and reconciles saved state and starts the watcher.
  [[nodiscard]] static foundation::Result<std::unique_ptr<HostVfsService>> open(HostVfsServiceOptions options);
  // Stops the watcher and saves the state as a clean stop.
  ~HostVfsService();
  HostVfsService(const HostVfsService&) = delete;
  HostVfsService& operator=(const HostVfsService&) = delete;

  const std::string& peerId() const { return peerId_; }
  ChangeTracker::Start startOutcome() const { return startOutcome_; }
  const std::filesystem::path& cacheFolder() const { return cache_->directory(); }

  // The item at `path`; absent (and no error) when nothing is there. A symlink
  // is a file of its own size.
  [[nodiscard]] foundation::Result<std::optional<HostFileEntry>> statItem(std::string_view path);
  // The immediate children of folder `path`, sorted by name.
  [[nodiscard]] foundation::Result<std::vector<HostFileEntry>> listDirectory(std::string_view path);
  // A private copy of the file's contents (a symlink's own text) in the cache
  // folder, never a path inside the share.
  [[nodiscard]] foundation::Result<std::filesystem::path> fetchFileContents(std::string_view path);
  // Replaces (or creates) the file at `remotePath` with the contents of the local
  // file `localFile`, atomically: readers see the old or the new contents, and a
  // failure leaves the old contents and no temporary file behind, but for a
  // failed flush once the new contents are in place, which the caller sends again.
  [[nodiscard]] foundation::Status uploadFile(const std::filesystem::path& localFile, std::string_view remotePath);
  // -10 "already_exists" when anything is at `path`.
  [[nodiscard]] foundation::Status createDirectory(std::string_view path);
  // `isDir` must match the item; a non-empty folder is -24, a missing item -9.
  [[nodiscard]] foundation::Status deleteItem(std::string_view path, bool isDir);
  // Never overwrites: an existing `toPath` is -10. Both paths stay in the share.
  [[nodiscard]] foundation::Status renameItem(std::string_view fromPath, std::string_view toPath);

  [[nodiscard]] foundation::Result<std::uint64_t> currentToken();
  // Changes of the children of folder `path` since `sinceToken`; -13
  // "sync_anchor_expired" when the journal no longer reaches back that far.
  [[nodiscard]] foundation::Result<HostChangesResult> readChanges(std::string_view path, std::uint64_t sinceToken);

 private:
  HostVfsService(std::string peerId, std::shared_ptr<const ShareRoot> root, std::unique_ptr<HostStateStore> store,
                 std::unique_ptr<ContentCache> cache, std::size_t journalLimit,
                 std::optional<std::filesystem::path> stagingFolder);
  // Whether `localFile` (open, described by `st`) is a staged copy to move in.
  bool staged(const std::filesystem::path& localFile, const struct stat& st) const;
  // Records what an operation of this service just did at `path`.
  void noteChanged(const SharePath& path);
  // Before answering a token query without a complete watch: compare everything.
  void catchUpLocked();

  // Constant after open().
  const std::string peerId_;
  const std::shared_ptr<const ShareRoot> root_;
  const std::unique_ptr<HostStateStore> store_;
  const std::unique_ptr<ContentCache> cache_;
  const std::optional<std::filesystem::path> stagingFolder_;
  ChangeTracker::Start startOutcome_ = ChangeTracker::Start::fresh;

  // Guards tracker_ (and through it store_'s file).
  std::mutex trackerMutex_;
  ChangeTracker tracker_;

  // Set in open(), reset first by the destructor. Absent when not watching.
  std::unique_ptr<InotifyWatcher> watcher_;
};

}  // namespace corvane::host
