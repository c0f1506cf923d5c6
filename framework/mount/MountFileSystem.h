// MountFileSystem: what the mount does for each kernel request, in terms of the
// framework's entry points. It keeps the node table (one inode per identifier,
// stable for the mount's life), the listings of the folders the kernel has seen
// (each with the sync anchor it was taken at), and each opened file's contents
// (FileContents, which holds the rules for local copies). Closed files go to the peer through the upload queue, which
// keeps them on disk until they are stored. FuseOperations turns its answers into FUSE replies; it never
// sees a fuse_req_t, so every answer here is an errno value (0 for success).
//
// Thread-safe: FUSE worker threads and the change poller call it at once. The
// table is guarded by one mutex that is never held across a call into the
// extension; each folder's first listing and each file's upload are serialised
// on locks of their own, so a slow fetch never holds up a listing of another folder.
#pragma once

#include <fuse_lowlevel.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "framework/mount/ContentCache.h"
#include "framework/mount/ExtensionCalls.h"
#include "framework/mount/FileContents.h"
#include "framework/mount/NodeTable.h"
#include "framework/mount/UploadQueue.h"

namespace corvane::framework::mount {

// An invalidation the kernel must hear of, sent later from a thread of its own:
// sending one from inside a request handler can deadlock against the kernel.
struct Invalidation {
  enum class Kind { entry, attributes, contents } kind;
  fuse_ino_t inode;
  std::string name;  // for entry
};
using InvalidationSink = std::function<void(std::vector<Invalidation>)>;

// A change made on the peer's side that the poller applied, for `corvane-fp watch`:
// inotify never hears of those.
struct RemoteChange {
  enum class Kind { added, changed, removed } kind;
  std::string path;                                // in the mount
  std::optional<foundation::Data> contentVersion;  // absent for a removal
};
using RemoteChangeSink = std::function<void(const std::vector<RemoteChange>&)>;

class MountFileSystem {
 public:
  struct Options {
    std::chrono::milliseconds callDeadline{std::chrono::seconds(60)};
    double entryTimeout = 300;  // seconds; remote changes invalidate sooner
  };

  MountFileSystem(std::shared_ptr<ExtensionCalls> calls, std::shared_ptr<ContentCache> cache,
                  std::shared_ptr<UploadQueue> uploads, Options options);
  ~MountFileSystem();  // stops the upload worker: it calls back into the table

  void setInvalidationSink(InvalidationSink sink);
  void setRemoteChangeSink(RemoteChangeSink sink);

  // Lists the root and tells the extension the import is done. An error when
  // the root cannot be listed.
  foundation::Status start();

  double entryTimeout() const { return options_.entryTimeout; }

  int lookup(fuse_ino_t parent, const std::string& name, fuse_entry_param& entry);
  int getattr(fuse_ino_t inode, struct stat& attributes);
  // The folder's entries after `offset` ("." and ".." first), each with its
  // attributes and the offset that resumes after it, until `add` says it is full.
  using EntryConsumer = std::function<bool(const char* name, const struct stat& attributes, off_t next)>;
  int readFolder(fuse_ino_t inode, off_t offset, const EntryConsumer& add);

  class OpenFile;
  int open(fuse_ino_t inode, int flags, OpenFile*& file, bool& keepCache);
  int create(fuse_ino_t parent, const std::string& name, OpenFile*& file, fuse_entry_param& entry);
  // Calls `reply` with the descriptor reads are served from (for splicing):
  // the file's newest contents, whichever handle asks. The handle is not
  // released while it runs. An errno, without calling `reply`, when the
  // contents cannot be had.
  int withReadDescriptor(OpenFile* file, const std::function<void(int fd)>& reply);
  // `put` writes the request's bytes into `fd` at the request's offset: the
  // count written, or -errno.
  using WriteAt = std::function<ssize_t(int fd)>;
  int write(OpenFile* file, off_t offset, const WriteAt& put, std::size_t& written);
  // close: what was written goes to the upload queue, on disk, before it returns.
  int flush(OpenFile* file);
  // fsync: as close, then waits until the peer stored the file.
  int fsync(OpenFile* file);
  void release(OpenFile* file);
  // On the way out, once the kernel sends no more: seals what any handle wrote
  // and no close sealed. The last pages of a mapping come with a release the
  // kernel sends without waiting, which an unmount can overtake.
  void sealEverything();

  int setattr(fuse_ino_t inode, const struct stat& wanted, int toSet, OpenFile* file, struct stat& attributes);
  int mkdir(fuse_ino_t parent, const std::string& name, fuse_entry_param& entry);
  int unlink(fuse_ino_t parent, const std::string& name);
  int rmdir(fuse_ino_t parent, const std::string& name);
  int rename(fuse_ino_t parent, const std::string& name, fuse_ino_t newParent, const std::string& newName,
             unsigned flags);

  // One round of change enumeration over every listed folder, when the working
  // set says the share moved at all. The first round instead fills every folder's
  // listing from one working-set enumeration, the way the framework fills its
  // database, so a first walk finds its folders listed instead of asking for
  // each in turn. Called from one thread only.
  void pollChanges();

 private:
  class Counted;

  OpenFile* keep(std::unique_ptr<OpenFile> handle);
  void fillEntry(const NodePtr& node, fuse_entry_param& entry) const;
  int ensureListed(const NodePtr& folder);
  void applyListing(const NodePtr& folder, FolderListing listing);  // the table held
  // The file's contents, made on first use. Not with the table held.
  std::shared_ptr<FileContents> contentsOf(const NodePtr& file);
  // An item's contents from the cache, fetched when missing.
  foundation::Result<ContentCache::Entry> peerContents(const fileprovider::ItemPtr& item);
  // What a file with no local copy shows: its item's contents, from the cache.
  FileContents::PeerSource peerOf(const NodePtr& file);
  void changedHere(const NodePtr& file);
  // Hands what was changed to the upload queue, on disk, with where it goes.
  int seal(const NodePtr& file, FileContents& contents);
  int settle(const NodePtr& node);
  void stored(std::uint64_t key, std::uint64_t sequence, const fileprovider::ItemPtr& item, bool intoCopy);
  void conflicted(std::uint64_t key, std::uint64_t sequence, const fileprovider::ItemPtr& peer,
                  const fileprovider::ItemPtr& copy);
  int removeChild(fuse_ino_t parent, const std::string& name, bool folder);
  void keepLocal(const NodePtr& file);  // not with the table held
  bool preloadListings();
  void awaitPreload();
  void confirm(Changes& changes);
  // False when the feed was read across a change made here and set aside.
  bool pollFolder(const NodePtr& folder, std::vector<Invalidation>& invalidations, std::vector<RemoteChange>& applied);
  void invalidate(std::vector<Invalidation> invalidations);

  const std::shared_ptr<ExtensionCalls> calls_;
  const std::shared_ptr<ContentCache> cache_;
  const std::shared_ptr<UploadQueue> uploads_;
  const Options options_;
  std::once_flag importFinished_;

  NodeTable table_;
  // Files below a renamed folder move with it: their queued uploads too.
  const std::function<void(const Node& file)> movedBelow_;
  // On the table's mutex: a rename or a seal ended, so those waiting on it go on.
  std::condition_variable renamed_;
  std::mutex sinkMutex_;  // guards sink_, and is held while it runs: it only queues
  InvalidationSink sink_;
  RemoteChangeSink changeSink_;
  // Every handle given to the kernel: one it never released (an unmount right
  // after a close) goes with the table.
  std::unordered_map<OpenFile*, std::unique_ptr<OpenFile>> handles_;
  // Touched by pollChanges() alone: a quiet share costs one request a round.
  std::optional<fileprovider::SyncAnchor> workingSetAnchor_;
  bool preloaded_ = false;
  // While the first working-set walk runs: folders asked for meanwhile wait for
  // it, until a deadline shared by all of them.
  std::mutex preloadMutex_;  // guards preloadUntil_
  std::condition_variable preloadDone_;
  std::optional<std::chrono::steady_clock::time_point> preloadUntil_;
};

}  // namespace corvane::framework::mount
