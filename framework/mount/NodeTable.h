// NodeTable: the mount's tree as the kernel knows it. One node per item, each
// with an inode that stays the same for the mount's life; an index from the
// peer's identifiers to inodes, kept right as renames change identifiers; and
// what the kernel is told of a node (its attributes, its path).
//
// Thread-safe through one mutex, mutex(), which guards the table and every
// Node's fields: FUSE workers, the upload worker and the change poller read and
// change them. It is never held across a call into the extension. Functions
// marked "held" expect the caller to hold it; the others take it themselves.
#pragma once

#include <fuse_lowlevel.h>
#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>

#include "framework/mount/ChildIndex.h"
#include "framework/mount/FileContents.h"
#include "framework/mount/ModifiedTimes.h"
#include "platform/fileprovider/Enumeration.h"
#include "platform/fileprovider/Item.h"
#include "shared/vfs_xpc/VfsPathLimits.h"

namespace corvane::framework::mount {

// The longest file name the peer takes, in bytes.
inline constexpr std::size_t kNameMax = kVfsNameMax;

// What a file gives as its block size, and statfs as the mount's: the size of
// one write request, so cp and cat move 1 MiB a call.
inline constexpr blksize_t kBlockSize = 1 << 20;

struct Node {
  fuse_ino_t inode = 0;
  fuse_ino_t parent = 0;
  fileprovider::ItemIdentifier identifier{""};  // empty for a new file not yet stored on the peer
  std::string name;
  bool folder = false;
  fileprovider::ItemPtr item;           // absent for a new file not yet stored on the peer
  // A date given here (by a write or a program setting it): dates are never
  // sent, so it is kept in the table's ModifiedTimes for the version it goes with.
  std::optional<double> localModified;
  bool unlinked = false;                // gone from its folder; what is still written is dropped at close
  // Folders.
  std::mutex listingMutex;  // serialises the first listing; not guarded by the table's mutex
  // Shared by every change this mount makes in the folder; held whole by a
  // listing that must not miss one. Never held while waiting for an upload.
  std::shared_mutex mutating;
  bool listed = false;
  // When this mount last changed something in here (NodeTable::localChanges()),
  // 0 for never: the change feed is then checked before use.
  std::uint64_t changedAt = 0;
  ChildIndex children;
  std::optional<fileprovider::SyncAnchor> anchor;
  // Files: their bytes, from the first open on.
  std::shared_ptr<FileContents> contents;
  std::optional<foundation::Data> kernelVersion;  // the content version the kernel's page cache holds
  int renaming = 0;  // renames and deletes under way that involve the file: seals wait for them
  int sealing = 0;   // seals on their way into the upload queue: renames wait for them

  bool dirty() const { return contents && contents->dirty(); }
};
using NodePtr = std::shared_ptr<Node>;

class NodeTable {
 public:
  NodeTable();  // holds the root, as the root container

  std::mutex& mutex() const { return mutex_; }
  // Where the dates given here are kept across remounts; none until set.
  void keepTimesIn(std::shared_ptr<ModifiedTimes> times) { times_ = std::move(times); }

  NodePtr node(fuse_ino_t inode) const;
  NodePtr child(const NodePtr& folder, const std::string& name) const;
  // The folder's lock for a change made in it (none for a folder not known).
  std::shared_lock<std::shared_mutex> holdFolder(fuse_ino_t inode) const;

  // Held, from here on.
  NodePtr find(fuse_ino_t inode) const;
  NodePtr findIdentifier(const std::string& raw) const;
  const std::unordered_map<fuse_ino_t, NodePtr>& nodes() const { return nodes_; }
  // Keeps the node's date for the content version its item has now.
  void keepTime(const Node& node);
  // The node of `item` (made on first sight) placed in `parent`. A file whose
  // contents are new to the table shows the date kept for them, if any.
  fuse_ino_t place(const fileprovider::ItemPtr& item, fuse_ino_t parent);
  // A node for a file made here, not yet on the peer.
  NodePtr addNew(fuse_ino_t parent, const std::string& name);
  void erase(fuse_ino_t inode);
  // The node now has `identifier`, and so, below a folder, does everything in
  // it; `fileMoved` hears of each file below that moved with it.
  void rekey(const NodePtr& node, const fileprovider::ItemIdentifier& identifier,
             const std::function<void(const Node& file)>& fileMoved);
  // The node no longer stands for a peer's item.
  void forget(const NodePtr& node);
  // Taken out of the tree (unlinked, replaced, deleted through a conflict); it
  // lives on for the handles still open on it, which write to nothing.
  void detach(const NodePtr& node);
  void fill(const Node& node, struct stat& attributes) const;
  std::string pathOf(const NodePtr& node) const;
  // The longest path below `folder` the table knows of, relative to it ("/a/b"
  // counts 4); 0 for a file or an empty folder.
  std::size_t longestPathBelow(const Node& folder) const;

  // Counts this mount's own changes to folders' contents, so a listing or a
  // change feed read across one can tell.
  void touched(fuse_ino_t folder);
  std::uint64_t localChanges() const { return localChanges_; }
  // Counts identifiers changed by renames, so a walk taken before one can tell.
  std::uint64_t renames() const { return renames_; }

 private:
  mutable std::mutex mutex_;
  std::unordered_map<fuse_ino_t, NodePtr> nodes_;
  std::unordered_map<std::string, fuse_ino_t> byIdentifier_;
  fuse_ino_t nextInode_ = FUSE_ROOT_ID + 1;
  std::uint64_t localChanges_ = 0;
  std::uint64_t renames_ = 0;
  std::shared_ptr<ModifiedTimes> times_;
};

}  // namespace corvane::framework::mount
