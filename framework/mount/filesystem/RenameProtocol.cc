#include "framework/mount/filesystem/RenameProtocol.h"
#include "framework/mount/common/Warning.h"

#include <cstdio>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <vector>

#include "framework/ItemTemplate.h"
#include "framework/mount/upload/ConflictRules.h"
#include "platform/fileprovider/Errors.h"
#include "platform/foundation/Utf8.h"
#include "shared/diagnostics/CorvaneFpLog.h"

namespace corvane::framework::mount {

namespace {

using fileprovider::ItemPtr;

// The item as the peer shall name it.
ItemPtr named(const ItemPtr& item, const std::string& name) {
  return std::make_shared<ItemTemplate>(item->itemIdentifier().rawValue(), item->parentItemIdentifier().rawValue(),
                                        name, std::nullopt);
}

}  // namespace

int RenameProtocol::parties(fuse_ino_t parent, const std::string& name, fuse_ino_t newParent,
                            const std::string& newName, unsigned flags, Parties& out) {
  if (flags & RENAME_EXCHANGE) return EINVAL;
  if (parent != newParent) return EXDEV;
  out.folder = table_.node(parent);
  if (!out.folder || !out.folder->folder) return ENOENT;
  if (int err = listings_.ensureListed(out.folder)) return err;
  out.source = table_.child(out.folder, name);
  if (!out.source) return ENOENT;
  if (name == newName) {
    out.source = nullptr;
    return 0;
  }
  out.target = table_.child(out.folder, newName);
  if (out.target && (flags & RENAME_NOREPLACE)) return EEXIST;
  const auto held = table_.hold();
  if (out.target && out.target->folder != out.source->folder) return out.source->folder ? ENOTDIR : EISDIR;
  return table_.pathRefusal(held, out.folder, newName, out.source);
}

int RenameProtocol::rename(fuse_ino_t parent, const std::string& name, fuse_ino_t newParent,
                           const std::string& newName, unsigned flags) {
  Parties at;
  if (int err = parties(parent, name, newParent, newName, flags, at)) return err;
  const NodePtr& source = at.source;
  const NodePtr& target = at.target;
  if (!source) return 0;
  std::shared_lock fileRename(folderRenames_, std::defer_lock);
  std::unique_lock folderRename(folderRenames_, std::defer_lock);
  if (source->folder) {
    folderRename.lock();
  } else {
    fileRename.lock();
    if (int err = landFirst(source)) return err;
  }

  // From here until the names are settled, no upload of either file, or of a
  // file below the folder, is queued: a release that seals meanwhile (a close
  // is answered before its release comes, and a mapping's pages written back
  // after its close come with it) would name the file as it was.
  std::optional<SealsAndRenames::Token> renaming;
  {
    auto held = table_.hold();
    renaming.emplace(interlock_.renaming(held, target ? std::vector{source, target} : std::vector{source}));
  }
  if (source->folder) {
    if (int err = landBelow(source)) return err;
  }
  // The file's queued uploads start no more until the names are settled: one
  // the peer does not have yet is renamed where it waits, and a stored file's
  // contents wait while the rename goes first, then go to the new name.
  std::optional<UploadQueue::Held> holding;
  if (!source->folder) {
    files_.claimEarlier(source);
    if (uploads_->hold(source->inode)) holding.emplace(*uploads_, source->inode);
    if (holding && renameQueued(at, newName)) return 0;
    bool stored = false;
    {
      const auto held = table_.hold();
      stored = source->item != nullptr;
    }
    if (!holding || !stored) {
      holding.reset();
      if (int err = files_.settle(source)) return err;
    }
    if (target) {
      if (int err = files_.settle(target)) return err;
    }
  }
  ItemPtr item = files_.caughtUp(source);
  ItemPtr replaced = target && !target->folder ? files_.caughtUp(target) : nullptr;
  if (!item) return EBUSY;  // a new file is on the peer only after its first close
  if (target && !target->folder) files_.keepLocal(target);
  auto folderHeld = table_.holdFolder(parent);
  // Nothing is made or listed in a folder while its name changes: it would go
  // to, or list, the old path.
  std::unique_lock<std::shared_mutex> insideHeld;
  if (source->folder) insideHeld = std::unique_lock(source->folderState->mutating);

  ItemPtr aside;
  if (int err = moveAside(target, newName, aside)) return err;
  auto renamed =
      calls_->modify(named(item, newName), item->itemVersion(), fileprovider::ItemField::filename, std::nullopt);
  if (!renamed.ok()) {
    rollBack(aside, newName);
    return errnoFor(renamed.error());
  }
  if (aside) removeAside(*aside);
  // Two files of one size written in the same millisecond have the same
  // version under the same name: what the cache kept for the file replaced
  // would be read as the renamed one's.
  cache_->drop(*renamed);
  if (replaced) cache_->drop(replaced);
  renamedOnPeer(at, newName, item, *renamed);
  return 0;
}

// A file whose upload has not started yet (and is held) is renamed where it
// waits: it reaches the peer once, under its new name, and onto a file the
// peer has, as that file's new contents. False when it is on its way.
bool RenameProtocol::renameQueued(const Parties& at, const std::string& newName) {
  const NodePtr& source = at.source;
  const NodePtr& target = at.target;
  {
    const auto held = table_.hold();
    if (source->item || (target && !target->item)) return false;
  }
  // Both are held until the nodes have their new names too: what an upload
  // reports back finds each file under the name it was sent with.
  std::optional<UploadQueue::Held> heldTarget;
  if (target) {
    files_.claimEarlier(target);
    if (!uploads_->hold(target->inode)) return false;
    heldTarget.emplace(*uploads_, target->inode);
    files_.keepLocal(target);
  }
  // Read once the target's upload in flight (hold waits for it) has landed:
  // the version the new contents replace is the one it left.
  std::string path;
  UploadQueue::Replaced replaced;
  {
    const auto held = table_.hold();
    if (source->item || (target && !target->item)) return false;
    if (target) replaced = {target->inode, target->item};
    path = table_.pathOf(held, at.folder);
  }
  path = path == "/" ? "/" + newName : path + "/" + newName;
  if (!uploads_->retitle(source->inode, newName, path, replaced)) return false;
  {
    const auto held = table_.hold();
    renamedLocally(held, at, newName);
    if (replaced.item) {
      table_.rekey(held, source, replaced.item->itemIdentifier());
      table_.setItem(held, *source, replaced.item);
    }
  }
  // The file replaced is gone, and so are the contents the cache kept of it:
  // the file renamed onto its name shows its own until its upload lands.
  if (replaced.item) cache_->drop(replaced.item);
  return true;
}

// A new file reaches the peer with its first seal; one still open since its
// creation goes now, so there is an item to rename.
int RenameProtocol::landFirst(const NodePtr& file) {
  bool stored = false;
  {
    const auto held = table_.hold();
    stored = file->item != nullptr;
  }
  return stored ? 0 : files_.sealNew(file);
}

// An upload names its file by path, as the peer's identifiers do: one on its
// way while the folder above it is renamed would find its file gone and keep
// the edit as a conflict copy. So what is queued below the folder lands
// first; the rename's token keeps anything more from being queued.
int RenameProtocol::landBelow(const NodePtr& folder) {
  std::vector<NodePtr> owed;
  {
    const auto held = table_.hold();
    table_.eachNode(held, [&](const NodePtr& other) {
      if (!other->folder && table_.isBelow(held, *other, *folder)) owed.push_back(other);
    });
  }
  for (const auto& other : owed) {
    if (int err = files_.settle(other)) return err;
  }
  return 0;
}

// Onto an existing name: the old file is moved aside first and removed only
// once the rename has landed, so a failure leaves both files as they were.
int RenameProtocol::moveAside(const NodePtr& target, const std::string& newName, ItemPtr& aside) {
  if (!target) return 0;
  ItemPtr targetItem;
  {
    const auto held = table_.hold();
    targetItem = target->item;
  }
  if (!targetItem) return 0;
  // The peer's file may have changed since this mount saw it: then it is kept,
  // as a conflict copy, not removed once the rename landed.
  auto now = calls_->item(targetItem->itemIdentifier());
  if (!now.ok()) {
    if (isFileProviderError(now.error(), fileprovider::ErrorCode::noSuchItem)) return 0;  // gone already
    return errnoFor(now.error());
  }
  if (!unchangedOnPeer(targetItem, *now)) {
    auto kept = keepAsConflictCopy(*calls_, *now, newName);
    if (!kept.ok()) return errnoFor(kept.error());
    uploads_->noteConflict({table_.pathNow(target), (*kept)->filename()}, "changed on the peer");
    return 0;
  }
  targetItem = *now;
  // Within kNameMax however long the name it makes way for.
  std::string asideName = ".corvane-replaced-" + std::to_string(target->inode) + "-";
  asideName += foundation::utf8Prefix(newName, kNameMax - asideName.size());
  auto moved = calls_->modify(named(targetItem, asideName), targetItem->itemVersion(),
                              fileprovider::ItemField::filename, std::nullopt);
  if (!moved.ok()) return errnoFor(moved.error());
  aside = *moved;
  return 0;
}

// A file moved aside that stays would show on the peer under its hidden name:
// the remove is tried again, and a last failure is told.
void RenameProtocol::removeAside(const fileprovider::Item& aside) {
  for (int attempt = 1;; ++attempt) {
    auto removed = calls_->remove(aside.itemIdentifier(), aside.itemVersion());
    if (removed.ok() || isFileProviderError(removed.error(), fileprovider::ErrorCode::noSuchItem)) return;
    if (attempt == 3) {
      warn({.event = "mount.aside_left",
            .level = "WARN",
            .detail = aside.itemIdentifier().rawValue(),
            .errorCode = CorvaneFpLog::errorCode(&removed.error())});
      return;
    }
  }
}

void RenameProtocol::rollBack(const ItemPtr& aside, const std::string& newName) {
  if (!aside) return;
  (void)calls_->modify(named(aside, newName), aside->itemVersion(), fileprovider::ItemField::filename, std::nullopt);
}

void RenameProtocol::renamedLocally(const NodeTable::Held& held, const Parties& at, const std::string& newName) {
  if (at.target) table_.detach(held, at.target);
  table_.renameChild(held, at.folder, at.source, newName);
  table_.touched(held, at.folder->inode);
}

// Only a file this mount edited has a version to carry: one opened here, whose
// contents are kept. The peer's item is taken as the moved file when only its
// identifier differs (its size and date are the old item's): a version is made
// of those, the name and the share's epoch. Otherwise the peer changed it
// meanwhile, and the edit meets that as any edit does. A listing of the folder
// may have given the node the moved item already; what was opened or copied
// from the old one is retagged all the same.
void RenameProtocol::followFolder(const NodeTable::MovedFile& file) {
  const ItemPtr& was = file.item;
  bool edited = false;
  {
    const auto held = table_.hold();
    auto node = table_.find(held, file.inode);
    edited = node && node->contents();
  }
  std::optional<UploadQueue::VersionChange> versions;
  if (was && edited) {
    auto now = calls_->item(fileprovider::ItemIdentifier(file.identifier));
    if (now.ok() && unchangedOnPeer(was, *now)) {
      versions.emplace(was->itemVersion().contentVersion, (*now)->itemVersion().contentVersion);
      const auto held = table_.hold();
      if (auto node = table_.find(held, file.inode)) {
        if (node->item == was) table_.setItem(held, *node, *now);
        files_.retag(held, node, *versions);
      }
    }
  }
  // The uploads queued for it follow, as a renamed file's do.
  uploads_->moved(file.inode, file.identifier, file.name, versions);
}

void RenameProtocol::renamedOnPeer(const Parties& at, const std::string& newName, const ItemPtr& before,
                                   const ItemPtr& after) {
  const NodePtr& source = at.source;
  const UploadQueue::VersionChange versions{before->itemVersion().contentVersion, after->itemVersion().contentVersion};
  std::string identifier;
  std::vector<NodeTable::MovedFile> below;
  {
    const auto held = table_.hold();
    renamedLocally(held, at, newName);
    // The renamed item may read as a file; a node keeps its kind for life.
    below = table_.rekey(held, source, after->itemIdentifier());
    table_.setItem(held, *source, after);
    if (!source->folder) {
      table_.keepTime(held, *source);
      // An edit still open goes on from the renamed file, not from its old name.
      files_.retag(held, source, versions);
      identifier = source->identifier.rawValue();
    }
  }
  if (source->folder) {
    for (const auto& file : below) followFolder(file);
    return;
  }
  // Its queued uploads follow, their records rewritten on disk: not with the
  // table held, which every getattr waits for. Nothing of the file is sealed
  // or sent before the rename returns.
  uploads_->moved(source->inode, identifier, newName, versions);
}

}  // namespace corvane::framework::mount
