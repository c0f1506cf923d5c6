// RenameProtocol: a rename made here, made on the peer. The peer renames only
// inside an item's own folder and only what it has, so:
//   - what it waits for: seals of the files on their way into the upload queue
//     (SealsAndRenames), and their uploads, which land first; a new file
//     still open since its creation is sealed, so there is an item to rename.
//     Below a folder every identifier changes with its name, so everything
//     queued below lands before a folder's rename, nothing more is queued
//     there until it is done, and no other rename goes meanwhile (a file's,
//     sent under the folder's old name, would come back with an identifier
//     the folder no longer has);
//   - what it holds: the files' queued uploads (UploadQueue::hold) until the
//     names are settled, so none goes under the old name meanwhile; a new
//     file whose upload has not started is renamed where it waits instead,
//     and reaches the peer once, under its new name;
//   - what it rolls back: a file replaced is first moved aside on the peer
//     and removed only once the rename landed, so a failure puts it back. One
//     the peer changed since this mount saw it stays, as a conflict copy.
// Once the peer answered, the tree takes the new names and identifiers, and
// what is open or queued of the files goes on from their new versions.
//
// Thread-safe: FUSE workers rename files at once; each waits only for its own
// files, and for a folder's rename under way.
#pragma once

#include <fuse_lowlevel.h>

#include <memory>
#include <shared_mutex>
#include <string>

#include "framework/mount/cache/MaterializedCache.h"
#include "framework/mount/filesystem/SealsAndRenames.h"
#include "framework/mount/service/ExtensionCalls.h"
#include "framework/mount/tree/FolderListings.h"
#include "framework/mount/tree/NodeTable.h"
#include "framework/mount/upload/UploadQueue.h"

namespace corvane::framework::mount {

class RenameProtocol {
 public:
  // What a rename asks of the files it moves, from the part that keeps their
  // bytes and handles.
  class Files {
   public:
    virtual ~Files() = default;
    // A new file's contents go into the upload queue now: 0 or an errno.
    virtual int sealNew(const NodePtr& file) = 0;
    // Waits until the file's uploads (an earlier run's too) are on the peer.
    virtual int settle(const NodePtr& file) = 0;
    // Uploads an earlier run left for the file are its own from now on.
    virtual void claimEarlier(const NodePtr& file) = 0;
    // The file is about to be replaced: handles open on it keep its bytes.
    virtual void keepLocal(const NodePtr& file) = 0;
    // What is open of the file edits `versions.second` where it edited `versions.first`.
    virtual void retag(const NodeTable::Held& held, const NodePtr& file,
                       const UploadQueue::VersionChange& versions) = 0;
    // The file's item; under a folder renamed here since it was listed, the
    // moved one, asked of the peer. Not with the table held.
    virtual fileprovider::ItemPtr caughtUp(const NodePtr& file) = 0;
  };

  struct Parts {
    NodeTable& table;
    FolderListings& listings;
    SealsAndRenames& interlock;
    std::shared_ptr<ExtensionCalls> calls;
    std::shared_ptr<MaterializedCache> cache;
    std::shared_ptr<UploadQueue> uploads;
  };
  RenameProtocol(const Parts& parts, Files& files)
      : table_(parts.table),
        listings_(parts.listings),
        interlock_(parts.interlock),
        calls_(parts.calls),
        cache_(parts.cache),
        uploads_(parts.uploads),
        files_(files) {}

  // 0 or an errno, as rename(2) gives it: EXDEV between folders (mv then
  // copies), EINVAL for an exchange, EBUSY for a new file not yet sealed.
  int rename(fuse_ino_t parent, const std::string& name, fuse_ino_t newParent, const std::string& newName,
             unsigned flags);
  // Keeps folders from being renamed for as long as it lives: a delete names
  // its file by path, as the peer's identifiers do.
  std::shared_lock<std::shared_mutex> foldersStay() { return std::shared_lock(folderRenames_); }

 private:
  struct Parties {
    NodePtr folder;
    NodePtr source;  // none for a rename onto its own name: nothing to do
    NodePtr target;  // the file replaced, if any
  };
  int parties(fuse_ino_t parent, const std::string& name, fuse_ino_t newParent, const std::string& newName,
              unsigned flags, Parties& out);
  int landFirst(const NodePtr& file);
  int landBelow(const NodePtr& folder);
  // The held uploads of a file the peer does not have yet take the new name.
  bool renameQueued(const Parties& parties, const std::string& newName);
  int moveAside(const NodePtr& target, const std::string& newName, fileprovider::ItemPtr& aside);
  void rollBack(const fileprovider::ItemPtr& aside, const std::string& newName);
  void removeAside(const fileprovider::Item& aside);
  // The names in the folder and on the node.
  void renamedLocally(const NodeTable::Held& held, const Parties& parties, const std::string& newName);
  void renamedOnPeer(const Parties& parties, const std::string& newName, const fileprovider::ItemPtr& before,
                     const fileprovider::ItemPtr& after);
  // A file below a renamed folder: its version names its path, so an edit of
  // it (open, or queued) goes on from the moved file's, asked of the peer.
  void followFolder(const NodeTable::MovedFile& file);

  NodeTable& table_;
  FolderListings& listings_;
  SealsAndRenames& interlock_;
  const std::shared_ptr<ExtensionCalls> calls_;
  const std::shared_ptr<MaterializedCache> cache_;
  const std::shared_ptr<UploadQueue> uploads_;
  Files& files_;
  // Shared by the renames of files, held whole by a folder's.
  std::shared_mutex folderRenames_;
};

}  // namespace corvane::framework::mount
