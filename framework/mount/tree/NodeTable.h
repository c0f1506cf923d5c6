// NodeTable: the mount's tree as the kernel knows it. One node per item, each
// with an inode that stays the same while the item is in its folder or the
// kernel knows it (inodes are never used twice); an index from the
// peer's identifiers to inodes, kept right as renames change identifiers; and
// what the kernel is told of a node (its attributes, its path).
//
// Thread-safe through one mutex, which guards the table and every Node's
// fields: FUSE workers, the upload workers and the change poller read and
// change them. It is never held across a call into the extension. hold()
// takes it; the functions that read or change nodes take the proof that it is
// held (a NodeTable::Held) as their first argument, and the others take it
// themselves.
#pragma once

#include <fuse_lowlevel.h>
#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include <absl/container/flat_hash_set.h>

#include "framework/mount/files/FileContents.h"
#include "framework/mount/tree/ChildIndex.h"
#include "framework/mount/tree/ModifiedTimes.h"
#include "framework/mount/tree/NodeIdentifier.h"
#include "platform/fileprovider/Enumeration.h"
#include "platform/fileprovider/Item.h"
#include "shared/vfs_xpc/VfsPathLimits.h"

namespace corvane::framework::mount {

// The longest file name the peer takes, in bytes.
inline constexpr std::size_t kNameMax = kVfsNameMax;

// What a file gives as its block size, and statfs as the mount's: the size of
// one write request, so cp and cat move 1 MiB a call.
inline constexpr blksize_t kBlockSize = 1 << 20;

// What a folder holds besides its identity: made with a folder's node, and
// never for a file, so a file nobody opened costs only its name and item.
struct FolderState {
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
};

// What this mount does with a node beyond naming it: made on first use, with
// the table held, so a node only listed costs nothing here.
struct LocalState {
  std::shared_ptr<FileContents> contents;  // files: their bytes, from the first open on
  // A date given here (by a write or a program setting it): dates are never
  // sent, so it is kept in the table's ModifiedTimes for the version it goes with.
  std::optional<double> modified;
  std::optional<foundation::Data> kernelVersion;  // the content version the kernel's page cache holds
  int renaming = 0;  // renames and deletes under way that involve the node: seals wait for them
  int sealing = 0;   // seals on their way into the upload queue: renames wait for them
  // The node's name where its item does not give it: a new file's, before the
  // peer has it; a name given here before the peer's answer named the item.
  std::optional<std::string> name;
};

inline const std::shared_ptr<FileContents> kNoContents;

struct Node {
  // A folder's node has its FolderState for life: code that holds a node may
  // use it without the table's lock.
  explicit Node(bool isFolder) : folder(isFolder), folderState(isFolder ? std::make_unique<FolderState>() : nullptr) {}

  // Inodes count up from the root's and are never reused: 32 bits are four
  // billion of them, more than the table's vector of nodes could hold.
  std::uint32_t inode = 0;
  std::uint32_t parent = 0;
  // Empty for a new file not yet stored on the peer; changed only by the
  // table, whose index by identifier reads it.
  NodeIdentifier identifier;
  const bool folder;
  bool unlinked = false;                // gone from its folder; what is still written is dropped at close
  // The kernel's references, as its lookups and forgets count them; stuck at
  // its largest value, where it would no longer be exact.
  std::uint32_t lookups = 0;
  // Absent for a new file not yet stored on the peer. Changed only by the
  // table (setItem, place), which keeps the node's name as it was.
  fileprovider::ItemPtr item;
  const std::unique_ptr<FolderState> folderState;  // folders only
  std::unique_ptr<LocalState> local;  // see localState()

  // With the table held, as all of the state it reads.
  const std::shared_ptr<FileContents>& contents() const { return local ? local->contents : kNoContents; }
  // Its name in its folder: its item's, unless LocalState holds another. Not
  // kept apart from the item, since a tree holds one node per entry of a
  // share. Changed only by the table's verbs: a folder's index is keyed on it.
  const std::string& name() const {
    static const std::string none;
    return local && local->name ? *local->name : item ? item->filename() : none;
  }
  bool dirty() const { return contents() && contents()->dirty(); }
  // With the table held, from here on.
  LocalState& localState() {
    if (!local) local = std::make_unique<LocalState>();
    return *local;
  }
  std::optional<double> localModified() const { return local ? local->modified : std::nullopt; }
  int renaming() const { return local ? local->renaming : 0; }
  int sealing() const { return local ? local->sealing : 0; }
};
using NodePtr = std::shared_ptr<Node>;
// One per entry of a share: with the control block make_shared puts beside
// it, a node is one allocation of 72 bytes.
static_assert(sizeof(Node) <= 56);

class NodeTable {
 public:
  NodeTable();  // holds the root, as the root container

  // The table held, for as long as it lives.
  class Held {
   public:
    // For a wait on a condition of the table's state.
    std::unique_lock<std::mutex>& lock() { return lock_; }

   private:
    friend class NodeTable;
    explicit Held(std::mutex& mutex) : lock_(mutex) {}
    std::unique_lock<std::mutex> lock_;
  };
  Held hold() const { return Held(mutex_); }
  // Where the dates given here are kept across remounts; none until set.
  void keepTimesIn(std::shared_ptr<ModifiedTimes> times) { times_ = std::move(times); }

  NodePtr node(fuse_ino_t inode) const;
  NodePtr child(const NodePtr& folder, const std::string& name) const;
  // pathOf(), for a caller not holding the table.
  std::string pathNow(const NodePtr& node) const;
  // The folder's lock for a change made in it (none for a folder not known).
  std::shared_lock<std::shared_mutex> holdFolder(fuse_ino_t inode) const;

  // From here on, each takes the proof that the table is held.
  // Whether a change of this mount in `folder` is under way (its lock is held):
  // what the peer says of the folder meanwhile may show it half done (a file
  // moved aside for a rename onto its name, and the rename not yet made).
  static bool changingNow(const Held&, const NodePtr& folder);
  NodePtr find(const Held&, fuse_ino_t inode) const;
  NodePtr findIdentifier(const Held&, const std::string& raw) const;
  // Every node, in inode order.
  template <typename Visit>
  void eachNode(const Held&, Visit&& visit) const {
    for (const auto& node : nodes_) {
      if (node) visit(node);
    }
  }
  // Keeps the node's date for the content version its item has now.
  void keepTime(const Held&, const Node& node);
  // The node of `item` (made on first sight) placed in `parent`. A file whose
  // contents are new to the table shows the date kept for them, if any. An
  // identifier that now names an item of the other kind gets a new node: the
  // kernel takes an inode's kind as fixed.
  fuse_ino_t place(const Held&, const fileprovider::ItemPtr& item, fuse_ino_t parent);
  // place(), and the node put in `folder` under its name, in place of any other
  // child of that name.
  NodePtr placeIn(const Held&, const NodePtr& folder, const fileprovider::ItemPtr& item);
  // A node for a file made here, not yet on the peer, put in `folder`.
  NodePtr addNew(const Held&, const NodePtr& folder, const std::string& name);
  // The node stands for `item` from now on, under the name it has.
  void setItem(const Held&, Node& node, fileprovider::ItemPtr item);
  // The child of that name taken out of `folder` (it stays in the table while
  // the kernel knows it); null when there is none.
  NodePtr unlink(const Held&, const NodePtr& folder, std::string_view name);
  // `child` of `folder` is called `name` from now on; a child that had the name
  // before is out of the folder.
  void renameChild(const Held&, const NodePtr& folder, const NodePtr& child, const std::string& name);
  // The folder holds what a listing of it says, and the new files not yet on
  // the peer that it held: a listing may already show a file whose upload just
  // made it, before the upload's answer named its item, and a second node for
  // that file would take the name from the one the kernel writes to.
  void relist(const Held&, const NodePtr& folder, const std::vector<fileprovider::ItemPtr>& items);
  void erase(const Held&, fuse_ino_t inode);
  // The kernel is told of `node` (an entry it counts as a lookup): counted
  // before the reply goes, so its forget cannot come first. A node dropped
  // from the table meanwhile is put back, since the kernel will ask for it.
  void lookedUp(const Held&, const NodePtr& node);
  // The kernel forgot `count` lookups of `inode` (it takes the table itself).
  // A node it no longer knows that is in no folder any more (deleted,
  // replaced, gone on the peer) leaves the table: a mount that makes and
  // deletes files for weeks keeps only those that are there. True when the
  // node left.
  bool forgotten(fuse_ino_t inode, std::uint64_t count);
  // A file below a renamed folder, as it is named now, and its item as it was
  // before (a listing of the folder may replace it before the caller looks).
  struct MovedFile {
    fuse_ino_t inode;
    std::string identifier;
    std::string name;
    fileprovider::ItemPtr item;
  };
  // The node now has `identifier`, and so, below a folder, does everything in
  // it: the files that moved with it are returned, for their queued uploads
  // to follow once the table is let go.
  std::vector<MovedFile> rekey(const Held&, const NodePtr& node, const fileprovider::ItemIdentifier& identifier);
  // The node no longer stands for a peer's item.
  void forget(const Held&, const NodePtr& node);
  // Taken out of the tree (unlinked, replaced, deleted through a conflict); it
  // lives on for the handles still open on it, which write to nothing.
  void detach(const Held&, const NodePtr& node);
  void fill(const Held&, const Node& node, struct stat& attributes) const;
  std::string pathOf(const Held&, const NodePtr& node) const;
  // The node and the folders above it, up to the root.
  std::vector<NodePtr> withFoldersAbove(const Held&, const NodePtr& node) const;
  // Whether `folder` is above `node`.
  bool isBelow(const Held&, const Node& node, const Node& folder) const;
  // ENAMETOOLONG when `name` in `folder` would have a path longer than the
  // peer takes, or anything in `moved`, a folder given that name, would; else 0.
  int pathRefusal(const Held&, const NodePtr& folder, const std::string& name, const NodePtr& moved = nullptr) const;
  // The longest path below `folder` the table knows of, relative to it ("/a/b"
  // counts 4); 0 for a file or an empty folder.
  std::size_t longestPathBelow(const Held&, const Node& folder) const;

  // Counts this mount's own changes to folders' contents, so a listing or a
  // change feed read across one can tell.
  void touched(const Held&, fuse_ino_t folder);
  std::uint64_t localChanges() const { return localChanges_; }
  // Counts identifiers changed by renames, so a walk taken before one can tell.
  std::uint64_t renames() const { return renames_; }

 private:
  mutable std::mutex mutex_;
  // By inode: inodes are handed out rising from the root's and never reused,
  // so the table is a vector, a slot emptied only by erase().
  std::vector<NodePtr> nodes_;
  // The nodes by their identifiers, which live in the nodes alone: a node's
  // identifier changes only here, taken out of the index first.
  struct ByIdentifier {
    using is_transparent = void;
    static std::string_view of(const Node* node) { return node->identifier.rawValue(); }
    static std::string_view of(std::string_view raw) { return raw; }
    std::size_t operator()(auto key) const { return std::hash<std::string_view>()(of(key)); }
    bool operator()(auto a, auto b) const { return of(a) == of(b); }
  };
  void index(const Node& node);  // in place of any node indexed under its identifier
  // Out of its folder's children, if it is there: done before the node's name
  // or folder changes, so no folder holds a node under a name not its own.
  void takeOut(const Held&, const Node& node);
  // With the node out of every folder's index, or the name the one it has.
  void setName(Node& node, std::string name);
  void unindex(std::string_view raw);
  absl::flat_hash_set<const Node*, ByIdentifier, ByIdentifier> byIdentifier_;
  std::uint64_t localChanges_ = 0;
  std::uint64_t renames_ = 0;
  // What the root shows as its date while the peer gives it none: when the
  // mount was made, not 1 January 1970.
  const double madeAt_ = static_cast<double>(std::time(nullptr));
  std::shared_ptr<ModifiedTimes> times_;
};

}  // namespace corvane::framework::mount
