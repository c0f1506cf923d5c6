// A rename, in named steps. The peer renames only inside an item's own folder,
// and only what it has: so files land first, a file moved onto an existing name
// moves that one aside first, and a failure puts everything back.
#include <cstdio>

#include "framework/ItemTemplate.h"
#include "framework/mount/filesystem/MountFileSystem.h"
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

// The folder, the file renamed and the one it replaces (if any) of a rename
// the peer can make; else the errno that refuses it. A rename onto its own
// name leaves `source` empty: there is nothing to do.
int MountFileSystem::renameParties(fuse_ino_t parent, const std::string& name, fuse_ino_t newParent,
                                   const std::string& newName, unsigned flags, NodePtr& folder, NodePtr& source,
                                   NodePtr& target) {
  if (flags & RENAME_EXCHANGE) return EINVAL;
  // The extension renames only inside the item's own folder; mv falls back to copy and delete.
  if (parent != newParent) return EXDEV;
  folder = table_.node(parent);
  if (!folder) return ENOENT;
  if (int err = listings_.ensureListed(folder)) return err;
  source = table_.child(folder, name);
  if (!source) return ENOENT;
  if (name == newName) {
    source = nullptr;
    return 0;
  }
  target = table_.child(folder, newName);
  if (target && (flags & RENAME_NOREPLACE)) return EEXIST;
  std::lock_guard guard(table_.mutex());
  if (target && target->folder != source->folder) return source->folder ? ENOTDIR : EISDIR;
  return pathRefusal(folder, newName, source);
}

int MountFileSystem::rename(fuse_ino_t parent, const std::string& name, fuse_ino_t newParent,
                            const std::string& newName, unsigned flags) {
  NodePtr folder, source, target;
  if (int err = renameParties(parent, name, newParent, newName, flags, folder, source, target)) return err;
  if (!source) return 0;
  if (int err = landBeforeRename(source)) return err;

  // From here until the names are settled, no upload of either file is queued:
  // a release that seals meanwhile (a mapping's pages written back after its
  // close come with it, asynchronously) would name the file as it was.
  std::optional<Counted> renaming;
  {
    std::unique_lock guard(table_.mutex());
    renaming.emplace(*this, &LocalState::renaming, target ? std::vector{source, target} : std::vector{source});
    renamed_.wait(guard, [&] { return source->sealing() == 0 && (!target || target->sealing() == 0); });
  }
  // The file's queued uploads start no more until the names are settled: one
  // the peer does not have yet is renamed where it waits, and a stored file's
  // contents wait while the rename goes first, then go to the new name.
  std::optional<UploadQueue::Held> held;
  if (!source->folder) {
    claimEarlier(source);
    if (uploads_->hold(source->inode)) held.emplace(*uploads_, source->inode);
    if (held && renameQueued(folder, source, target, newName)) return 0;
    bool stored = false;
    {
      std::lock_guard guard(table_.mutex());
      stored = source->item != nullptr;
    }
    if (!held || !stored) {
      held.reset();
      if (int err = settle(source)) return err;
    }
    if (target) {
      if (int err = settle(target)) return err;
    }
  }
  ItemPtr item, replaced;
  {
    std::lock_guard guard(table_.mutex());
    item = source->item;
    if (target && !target->folder) replaced = target->item;
  }
  if (!item) return EBUSY;  // a new file is on the peer only after its first close
  if (target && !target->folder) keepLocal(target);
  auto holding = table_.holdFolder(parent);

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
  renamedHere(folder, source, target, newName, item, *renamed);
  return 0;
}

// A file whose upload has not started yet (and is held) is renamed where it
// waits: it reaches the peer once, under its new name, and onto a file the
// peer has, as that file's new contents. False when it is on its way.
bool MountFileSystem::renameQueued(const NodePtr& folder, const NodePtr& source, const NodePtr& target,
                                   const std::string& newName) {
  {
    std::lock_guard guard(table_.mutex());
    if (source->item || (target && !target->item)) return false;
  }
  // Both are held until the nodes have their new names too: what an upload
  // reports back finds each file under the name it was sent with.
  std::optional<UploadQueue::Held> heldTarget;
  if (target) {
    claimEarlier(target);
    if (!uploads_->hold(target->inode)) return false;
    heldTarget.emplace(*uploads_, target->inode);
    keepLocal(target);
  }
  // Read once the target's upload in flight (hold waits for it) has landed:
  // the version the new contents replace is the one it left.
  std::string path;
  UploadQueue::Replaced replaced;
  {
    std::lock_guard guard(table_.mutex());
    if (source->item || (target && !target->item)) return false;
    if (target) replaced = {target->inode, target->item};
    path = table_.pathOf(folder);
  }
  path = path == "/" ? "/" + newName : path + "/" + newName;
  if (!uploads_->retitle(source->inode, newName, path, replaced)) return false;
  {
    std::lock_guard guard(table_.mutex());
    renamedLocally(folder, source, target, newName);
    if (replaced.item) {
      table_.rekey(source, replaced.item->itemIdentifier());
      table_.setItem(*source, replaced.item);
    }
  }
  // The file replaced is gone, and so are the contents the cache kept of it:
  // the file renamed onto its name shows its own until its upload lands.
  if (replaced.item) cache_->drop(replaced.item);
  return true;
}

// A rename needs the peer's names: closed files land first. Below a folder,
// identifiers change with its name, so everything queued goes before.
int MountFileSystem::landBeforeRename(const NodePtr& source) {
  if (source->folder) {
    std::vector<NodePtr> owed;
    {
      std::lock_guard guard(table_.mutex());
      table_.eachNode([&](const NodePtr& other) {
        if (!other->folder) owed.push_back(other);
      });
    }
    for (const auto& other : owed) {
      if (int err = settle(other)) return err;
    }
    return 0;
  }
  // A new file reaches the peer with its first seal; one still open since its
  // creation goes now, so there is an item to rename.
  std::shared_ptr<FileContents> contents;
  {
    std::lock_guard guard(table_.mutex());
    if (!source->item) contents = source->contents();
  }
  return contents ? seal(source, *contents) : 0;
}

// Onto an existing name: the old file is moved aside first and removed only
// once the rename has landed, so a failure leaves both files as they were.
int MountFileSystem::moveAside(const NodePtr& target, const std::string& newName, ItemPtr& aside) {
  if (!target) return 0;
  ItemPtr targetItem;
  {
    std::lock_guard guard(table_.mutex());
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
    noteConflict(target, (*kept)->filename(), "changed on the peer");
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
void MountFileSystem::removeAside(const fileprovider::Item& aside) {
  for (int attempt = 1;; ++attempt) {
    auto removed = calls_->remove(aside.itemIdentifier(), aside.itemVersion());
    if (removed.ok() || isFileProviderError(removed.error(), fileprovider::ErrorCode::noSuchItem)) return;
    if (attempt == 3) {
      CorvaneFpLog::emit({.event = "mount.aside_left",
                          .level = "WARN",
                          .detail = aside.itemIdentifier().rawValue(),
                          .errorCode = CorvaneFpLog::errorCode(&removed.error())});
      return;
    }
  }
}

void MountFileSystem::rollBack(const ItemPtr& aside, const std::string& newName) {
  if (!aside) return;
  (void)calls_->modify(named(aside, newName), aside->itemVersion(), fileprovider::ItemField::filename, std::nullopt);
}

void MountFileSystem::renamedLocally(const NodePtr& folder, const NodePtr& source, const NodePtr& target,
                                     const std::string& newName) {
  if (target) table_.detach(target);
  table_.renameChild(folder, source, newName);
  table_.touched(folder->inode);
}

void MountFileSystem::retag(const NodePtr& file, const UploadQueue::VersionChange& versions) {
  if (file->contents()) file->contents()->rebase(versions.first, versions.second);
  for (const auto& [raw, handle] : handles_) {
    if (handle->node == file && handle->openedVersion == versions.first) handle->openedVersion = versions.second;
  }
}

// Only a file this mount edited has a version to carry: one opened here, whose
// contents are kept. The peer's item is taken as the moved file when only its
// identifier differs (its size and date are the old item's): a version is made
// of those, the name and the share's epoch. Otherwise the peer changed it
// meanwhile, and the edit meets that as any edit does.
void MountFileSystem::followFolder(const NodeTable::MovedFile& file) {
  ItemPtr was;
  {
    std::lock_guard guard(table_.mutex());
    auto node = table_.find(file.inode);
    if (node && node->contents()) was = node->item;
  }
  std::optional<UploadQueue::VersionChange> versions;
  if (was) {
    auto now = calls_->item(fileprovider::ItemIdentifier(file.identifier));
    if (now.ok() && (*now)->documentSize() == was->documentSize() &&
        (*now)->contentModificationDate() == was->contentModificationDate()) {
      versions.emplace(was->itemVersion().contentVersion, (*now)->itemVersion().contentVersion);
      std::lock_guard guard(table_.mutex());
      auto node = table_.find(file.inode);
      if (node && node->item == was) {
        table_.setItem(*node, *now);
        retag(node, *versions);
      }
    }
  }
  // The uploads queued for it follow, as a renamed file's do.
  uploads_->moved(file.inode, file.identifier, file.name, versions);
}

void MountFileSystem::renamedHere(const NodePtr& folder, const NodePtr& source, const NodePtr& target,
                                  const std::string& newName, const ItemPtr& before, const ItemPtr& after) {
  const UploadQueue::VersionChange versions{before->itemVersion().contentVersion, after->itemVersion().contentVersion};
  std::string identifier;
  std::vector<NodeTable::MovedFile> below;
  {
    std::lock_guard guard(table_.mutex());
    renamedLocally(folder, source, target, newName);
    // The renamed item may read as a file; a node keeps its kind for life.
    below = table_.rekey(source, after->itemIdentifier());
    table_.setItem(*source, after);
    if (!source->folder) {
      table_.keepTime(*source);
      // An edit still open goes on from the renamed file, not from its old name.
      retag(source, versions);
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
