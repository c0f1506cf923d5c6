// MountFileSystem: what the mount does for each kernel request, in terms of the
// framework's entry points. It maps requests onto the parts that hold the
// mount's state: the node table (NodeTable), the folders' listings
// (FolderListings) and the poller that keeps them current (ChangePoller), each
// file's bytes (FileContents, which holds the rules for local copies) and the
// upload queue, which keeps closed files on disk until the peer stored them.
// Tree requests are in MountFileSystem.cc, file requests in MountFiles.cc, what
// a change the peer never answered leaves in MountUnanswered.cc. A rename is
// RenameProtocol's, which asks this class for what it needs of the files it
// moves; what the upload queue reports back is UploadOutcomes'. FuseOperations turns its answers into FUSE replies;
// it never sees a fuse_req_t, so every answer here is an errno value.
//
// Thread-safe: FUSE worker threads, the upload workers and the change poller
// call it at once. The lock order is in docs/threading.md.
#pragma once

#include <fuse_lowlevel.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

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

#include "framework/mount/cache/MaterializedCache.h"
#include "framework/mount/files/FileContents.h"
#include "framework/mount/filesystem/RenameProtocol.h"
#include "framework/mount/filesystem/SealsAndRenames.h"
#include "framework/mount/filesystem/UploadOutcomes.h"
#include "framework/mount/service/ExtensionCalls.h"
#include "framework/mount/tree/ChangePoller.h"
#include "framework/mount/tree/FolderListings.h"
#include "framework/mount/tree/Invalidations.h"
#include "framework/mount/tree/NodeTable.h"
#include "framework/mount/upload/UploadQueue.h"

namespace corvane::framework::mount {

class MountFileSystem final : private RenameProtocol::Files {
 public:
  struct Options {
    std::chrono::milliseconds callDeadline{std::chrono::seconds(60)};
    double entryTimeout = 300;  // seconds; remote changes invalidate sooner
    bool shareElsewhere = false;  // on another machine: see FolderListings
  };

  MountFileSystem(std::shared_ptr<ExtensionCalls> calls, std::shared_ptr<MaterializedCache> cache,
                  std::shared_ptr<UploadQueue> uploads, Options options);
  ~MountFileSystem() override;  // stops the upload workers: they call back into the table

  void setInvalidationSink(InvalidationSink sink);
  // Before start(): where the dates given to files are kept across remounts.
  void keepTimesIn(std::shared_ptr<ModifiedTimes> times) { table_.keepTimesIn(std::move(times)); }
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
  // `lookups`: the entries carry attributes (readdirplus), which the kernel
  // counts as lookups.
  int readFolder(fuse_ino_t inode, off_t offset, const EntryConsumer& add, bool lookups);
  // The kernel forgot `count` lookups of `inode`.
  void forgotten(fuse_ino_t inode, std::uint64_t count);
  // The size and free space of the disk writes land on first, in kBlockSize blocks.
  int statfs(struct statvfs& figures);

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

  // Changes the peer was asked for and never answered may have been made there
  // or not: their folders are listed again on next use and the kernel forgets
  // the names involved, so that what the peer has shows, not a guess
  // (MountUnanswered.cc). Called from the poll loop, with the host answering.
  void recheck(const std::vector<UnansweredChange>& changes);

  // One round of change enumeration over every listed folder, when the working
  // set says the share moved at all. The first round instead fills every folder's
  // listing from one working-set enumeration, the way the framework fills its
  // database, so a first walk finds its folders listed instead of asking for
  // each in turn. Called from one thread only.
  void pollChanges();

 private:
  OpenFile* keep(std::unique_ptr<OpenFile> handle);
  OpenFile* keepHeld(const NodeTable::Held& held, std::unique_ptr<OpenFile> handle);
  // The peer's contents for a handle opened with no local copy; the handle is kept then.
  int takePeerContents(std::unique_ptr<OpenFile>& handle, OpenFile*& file, bool& keepCache);
  void fillEntry(const NodePtr& node, fuse_entry_param& entry);  // counted as a lookup
  // The file's contents, made on first use. Not with the table held.
  std::shared_ptr<FileContents> contentsOf(const NodePtr& file);
  // An item's contents from the cache, fetched when missing.
  foundation::Result<MaterializedCache::Entry> peerContents(const fileprovider::ItemPtr& item);
  class PeerOf;
  // Where a seal of the file puts its contents: the upload queue, named as the
  // file is named then.
  class UploadsOf;
  void changedHere(const NodePtr& file);
  // Hands what was changed to the upload queue, on disk, with where it goes.
  int seal(const NodePtr& file, FileContents& contents);
  int removeChild(fuse_ino_t parent, const std::string& name, bool folder);
  int settleForDelete(const NodePtr& file, fileprovider::ItemPtr& item);
  int checkPeerBeforeDelete(const NodePtr& file, fileprovider::ItemPtr& item);

  // What a rename asks of the files it moves.
  int sealNew(const NodePtr& file) override;
  int settle(const NodePtr& file) override;
  void claimEarlier(const NodePtr& file) override;
  void keepLocal(const NodePtr& file) override;  // not with the table held
  void retag(const NodeTable::Held& held, const NodePtr& file, const UploadQueue::VersionChange& versions) override;
  fileprovider::ItemPtr caughtUp(const NodePtr& file) override;

  const std::shared_ptr<ExtensionCalls> calls_;
  const std::shared_ptr<MaterializedCache> cache_;
  const std::shared_ptr<UploadQueue> uploads_;
  const Options options_;

  NodeTable table_;
  SealsAndRenames interlock_{table_};
  Invalidations invalidations_;
  // Every handle given to the kernel: one it never released (an unmount right
  // after a close) goes with the table.
  std::unordered_map<OpenFile*, std::unique_ptr<OpenFile>> handles_;
  FolderListings listings_{calls_, table_, invalidations_, options_.shareElsewhere};
  ChangePoller poller_{calls_, table_, listings_, invalidations_};
  UploadOutcomes outcomes_{table_, invalidations_};
  RenameProtocol renames_{{table_, listings_, interlock_, calls_, cache_, uploads_}, *this};
};

class MountFileSystem::OpenFile {
 public:
  NodePtr node;
  std::shared_ptr<FileContents> contents;
  bool writable = false;
  // Written through since its last close: its release seals only then, so a
  // release the kernel sends late cannot seal another handle's write halfway.
  std::atomic<bool> wrote{false};
  // The peer's contents, read while the file has no local copy: taken at open,
  // or by the first read that needs them.
  mutable std::mutex peerMutex;        // guards fd and cacheHold once the handle is given out
  mutable std::shared_mutex replying;  // held by every read being answered from the handle's descriptor
  foundation::UniqueFd fd;
  std::shared_ptr<void> cacheHold;  // keeps those contents in the cache while the file is open
  // The peer's version `fd` holds, when it was taken at open (the table's
  // mutex guards it: a rename retags it). A write through the handle edits
  // that version, even once the peer changed the file.
  std::optional<foundation::Data> openedVersion;
};

// The peer's contents a file with no local copy starts from: those the handle
// a write goes through took at open, else its item's, from the cache.
class MountFileSystem::PeerOf final : public FileContents::PeerSource {
 public:
  PeerOf(MountFileSystem& fs, NodePtr file, OpenFile* through = nullptr)
      : fs_(fs), file_(std::move(file)), through_(through) {}
  int peerContents(FileContents::Peer& out) const override;

 private:
  int fromHandle(FileContents::Peer& out, bool& took) const;

  MountFileSystem& fs_;
  const NodePtr file_;
  OpenFile* const through_;
};

}  // namespace corvane::framework::mount
