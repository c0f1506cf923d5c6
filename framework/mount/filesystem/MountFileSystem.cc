#include "framework/mount/filesystem/MountFileSystem.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "framework/ItemTemplate.h"
#include "framework/mount/upload/ConflictRules.h"
#include "platform/fileprovider/Errors.h"

namespace corvane::framework::mount {

namespace {

using fileprovider::ItemIdentifier;
using fileprovider::ItemPtr;

double nowSeconds() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

MountFileSystem::MountFileSystem(std::shared_ptr<ExtensionCalls> calls, std::shared_ptr<MaterializedCache> cache,
                                 std::shared_ptr<UploadQueue> uploads, Options options)
    : calls_(std::move(calls)), cache_(std::move(cache)), uploads_(std::move(uploads)), options_(options) {
  uploads_->setListener(&outcomes_);
}

MountFileSystem::~MountFileSystem() {
  uploads_->stopWorker();
  uploads_->setListener(nullptr);
}

void MountFileSystem::setInvalidationSink(InvalidationSink sink) { invalidations_.connect(std::move(sink)); }

void MountFileSystem::setRemoteChangeSink(RemoteChangeSink sink) { poller_.setRemoteChangeSink(std::move(sink)); }

foundation::Status MountFileSystem::start() {
  auto root = table_.node(FUSE_ROOT_ID);
  if (auto item = calls_->item(root->identifier); item.ok()) {
    const auto held = table_.hold();
    table_.setItem(held, *root, *item);
  }
  if (int err = listings_.ensureListed(root)) {
    return foundation::Error(foundation::kPosixErrorDomain, err,
                             foundation::UserInfo{{foundation::kLocalizedDescriptionKey,
                                                   std::string("cannot list the share: ") + std::strerror(err)}});
  }
  return foundation::Ok{};
}

void MountFileSystem::fillEntry(const NodePtr& node, fuse_entry_param& entry) {
  entry = {};
  const auto held = table_.hold();
  table_.lookedUp(held, node);
  entry.ino = node->inode;
  entry.generation = 1;
  table_.fill(held, *node, entry.attr);
  entry.attr_timeout = options_.entryTimeout;
  entry.entry_timeout = options_.entryTimeout;
}

int MountFileSystem::lookup(fuse_ino_t parent, const std::string& name, fuse_entry_param& entry) {
  auto folder = table_.node(parent);
  if (!folder) return ENOENT;
  if (int err = listings_.ensureListed(folder)) return err;
  auto found = table_.child(folder, name);
  if (!found) return ENOENT;
  fillEntry(found, entry);
  return 0;
}

int MountFileSystem::getattr(fuse_ino_t inode, struct stat& attributes) {
  auto found = table_.node(inode);
  if (!found) return ENOENT;
  const auto held = table_.hold();
  table_.fill(held, *found, attributes);
  return 0;
}

void MountFileSystem::forgotten(fuse_ino_t inode, std::uint64_t count) {
  // What the queue kept of the file (where its last upload went) goes with it.
  if (table_.forgotten(inode, count)) uploads_->forget(inode);
}

int MountFileSystem::readFolder(fuse_ino_t inode, off_t offset, const EntryConsumer& add, bool lookups) {
  auto folder = table_.node(inode);
  if (!folder) return ENOENT;
  if (int err = listings_.ensureListed(folder)) return err;
  const auto held = table_.hold();
  // Offsets: 1 after ".", 2 after "..", a child's inode + 2 after that child.
  struct stat attributes {};
  if (offset < 1) {
    table_.fill(held, *folder, attributes);
    if (!add(".", attributes, 1)) return 0;
  }
  if (offset < 2) {
    attributes = {};
    if (auto parent = table_.find(held, folder->parent)) table_.fill(held, *parent, attributes);
    if (!add("..", attributes, 2)) return 0;
  }
  const auto after = static_cast<fuse_ino_t>(offset < 2 ? 0 : offset - 2);
  for (auto it = folder->folderState->children.from(after); it != folder->folderState->children.end(); ++it) {
    auto found = table_.find(held, *it);
    if (!found) continue;
    attributes = {};
    table_.fill(held, *found, attributes);
    if (!add(found->name().c_str(), attributes, static_cast<off_t>(*it + 2))) return 0;
    // In the reply, which goes once this returns: the kernel counts it.
    if (lookups) table_.lookedUp(held, found);
  }
  return 0;
}

// The local disk's figures, not the peer's: every write lands in the journal's
// working copies first, and close returns once they hold it, so that disk is
// the one a program's write can fill (the cache is beside it unless
// XDG_CACHE_HOME is elsewhere). The link tells nothing of the peer's disk; a
// peer that runs out of room refuses the upload, which fsync reports as ENOSPC.
int MountFileSystem::statfs(struct statvfs& figures) {
  struct statvfs local {};
  if (::statvfs(uploads_->journal().folder().c_str(), &local) != 0) return errno;
  const std::uint64_t unit = local.f_frsize ? local.f_frsize : local.f_bsize;
  auto inBlocks = [&](fsblkcnt_t count) { return static_cast<fsblkcnt_t>(std::uint64_t(count) * unit / kBlockSize); };
  figures = {};
  // One size for both: programs count free space in either.
  figures.f_bsize = figures.f_frsize = kBlockSize;
  figures.f_blocks = inBlocks(local.f_blocks);
  figures.f_bfree = inBlocks(local.f_bfree);
  figures.f_bavail = inBlocks(local.f_bavail);
  // Each file needs an inode there for its working copy or its cached contents.
  figures.f_files = local.f_files;
  figures.f_ffree = local.f_ffree;
  figures.f_favail = local.f_favail;
  figures.f_namemax = kNameMax;
  return 0;
}

void MountFileSystem::changedHere(const NodePtr& file) {
  const auto held = table_.hold();
  file->localState().modified = nowSeconds();  // the peer's date comes only with the upload
}

int MountFileSystem::setattr(fuse_ino_t inode, const struct stat& wanted, int toSet, OpenFile* file,
                             struct stat& attributes) {
  auto found = table_.node(inode);
  if (!found) return ENOENT;
  // Everything on the mount is the owner's: handing it to the owner again is
  // all a chown may do (tar and rsync do just that).
  if ((toSet & FUSE_SET_ATTR_UID) && wanted.st_uid != ::getuid()) return EPERM;
  if ((toSet & FUSE_SET_ATTR_GID) && wanted.st_gid != ::getgid()) return EPERM;
  // The peer keeps no permissions: they follow from the item's capabilities, so
  // a chmod (cp -p, rsync, tar all make one) is accepted and changes nothing.
  if (toSet & FUSE_SET_ATTR_SIZE) {
    if (found->folder) return EISDIR;
    auto contents = file ? file->contents : contentsOf(found);
    if (!file) contents->opened();
    const off_t size = wanted.st_size;
    int err = contents->change(PeerOf(*this, found, file), size != 0,
                               [size](int fd) { return ::ftruncate(fd, size) == 0 ? 0 : errno; });
    if (!err) changedHere(found);
    if (!err && file) file->wrote = true;
    // truncate(2) by path has no close to queue the upload on: it is queued now.
    if (!file) {
      if (!err) err = seal(found, *contents);
      contents->released();
    }
    if (err) return err;
  }
  if (toSet & (FUSE_SET_ATTR_MTIME | FUSE_SET_ATTR_MTIME_NOW)) {
    const auto held = table_.hold();
    found->localState().modified = (toSet & FUSE_SET_ATTR_MTIME_NOW)
                               ? nowSeconds()
                               : static_cast<double>(wanted.st_mtim.tv_sec) + wanted.st_mtim.tv_nsec / 1e9;
    // An edit not sent yet keeps it when its upload lands.
    if (!found->dirty()) table_.keepTime(held, *found);
  }
  const auto held = table_.hold();
  table_.fill(held, *found, attributes);
  return 0;
}

int MountFileSystem::mkdir(fuse_ino_t parent, const std::string& name, fuse_entry_param& entry) {
  auto folder = table_.node(parent);
  if (!folder) return ENOENT;
  if (int err = listings_.ensureListed(folder)) return err;
  auto holding = table_.holdFolder(parent);
  ItemIdentifier parentIdentifier{""};
  {
    const auto held = table_.hold();
    if (folder->folderState->children.contains(name)) return EEXIST;
    if (int err = table_.pathRefusal(held, folder, name)) return err;
    parentIdentifier = folder->identifier;
  }
  auto made = calls_->create(
      std::make_shared<ItemTemplate>("", parentIdentifier.rawValue(), name, uniform_types::UTType::folder().identifier()),
      fileprovider::ItemField::filename, std::nullopt);
  if (!made.ok()) return errnoFor(made.error());
  NodePtr created;
  {
    const auto held = table_.hold();
    created = table_.placeIn(held, folder, *made);
    // Listed on first use like any folder of the peer's: the listing's anchor
    // is what lets the change poller bring in what the peer does in it.
    table_.touched(held, parent);
  }
  fillEntry(created, entry);
  return 0;
}

int MountFileSystem::removeChild(fuse_ino_t parent, const std::string& name, bool wantFolder) {
  auto folder = table_.node(parent);
  if (!folder) return ENOENT;
  if (int err = listings_.ensureListed(folder)) return err;
  auto found = table_.child(folder, name);
  if (!found) return ENOENT;
  const auto foldersStay = renames_.foldersStay();
  ItemPtr item;
  // Until the file is gone (or stays, on a failure), a close of it queues no
  // upload: one queued after the cancel or the delete below would bring the
  // file back on the peer, or meet its own delete as a conflict.
  std::optional<SealsAndRenames::Token> removing;
  {
    auto held = table_.hold();
    if (found->folder != wantFolder) return wantFolder ? ENOTDIR : EISDIR;
    // A new file in it may not have reached the peer yet.
    if (found->folder && !found->folderState->children.empty()) return ENOTEMPTY;
    if (!wantFolder) removing.emplace(interlock_.renaming(held, {found}));
    item = found->item;
  }
  if (!wantFolder) {
    if (int err = settleForDelete(found, item)) return err;
  }
  auto holding = table_.holdFolder(parent);
  if (item) item = caughtUp(found);
  if (item && !wantFolder) {
    if (int err = checkPeerBeforeDelete(found, item)) return err;
  }
  if (item) {
    auto removed = calls_->remove(item->itemIdentifier(), item->itemVersion());
    if (!removed.ok()) return errnoFor(removed.error());
  }
  {
    const auto held = table_.hold();
    table_.unlink(held, folder, name);
    table_.touched(held, folder->inode);
    table_.detach(held, found);
    table_.setItem(held, *found, item);
  }
  // Its cached contents are no one's now. Handles still open read their own
  // descriptors, or the local copy keepLocal made.
  if (item && !wantFolder) cache_->drop(item);
  return 0;
}

// What a delete of `file` removes on the peer, once nothing of it is queued:
// `item` as it was looked at, or the file an upload of it made meanwhile.
int MountFileSystem::settleForDelete(const NodePtr& file, ItemPtr& item) {
  if (!item) {
    // Not stored when looked at: what is queued is dropped, and a file that an
    // upload made goes too, whether it lands after the cancel (which hands it
    // over), landed just before it (the node names it by now), or landed
    // without an answer (the host gone mid-call; with the peer away, nobody
    // can tell, and the delete fails as any delete of what the peer has does).
    auto unanswered = uploads_->madeUnanswered(file->inode);
    if (!unanswered.ok()) return errnoFor(unanswered.error());
    auto made = uploads_->cancel(file->inode);
    if (!made) made = *unanswered;
    const auto held = table_.hold();
    if (made) {
      table_.rekey(held, file, made->itemIdentifier());
      table_.setItem(held, *file, made);
    }
    item = file->item;
    return 0;
  }
  // The edit lands before the delete, as it was made: offline both fail at once.
  if (int err = settle(file)) return err;
  keepLocal(file);
  const auto held = table_.hold();
  item = file->item;
  return 0;
}

// An edit the peer made since this mount saw the file wins over the delete:
// the peer's file stays, and comes back here with its change. `item` is then
// none, as it is for a file gone there already.
int MountFileSystem::checkPeerBeforeDelete(const NodePtr& file, ItemPtr& item) {
  auto now = calls_->item(item->itemIdentifier());
  if (now.ok() && !unchangedOnPeer(item, *now)) {
    uploads_->noteConflict({table_.pathNow(file), {}}, "changed on the peer; the delete was not sent");
    item = nullptr;
  } else if (!now.ok() && isFileProviderError(now.error(), fileprovider::ErrorCode::noSuchItem)) {
    item = nullptr;
  } else if (!now.ok()) {
    return errnoFor(now.error());
  }
  return 0;
}

int MountFileSystem::rename(fuse_ino_t parent, const std::string& name, fuse_ino_t newParent,
                            const std::string& newName, unsigned flags) {
  return renames_.rename(parent, name, newParent, newName, flags);
}

int MountFileSystem::unlink(fuse_ino_t parent, const std::string& name) { return removeChild(parent, name, false); }

int MountFileSystem::rmdir(fuse_ino_t parent, const std::string& name) { return removeChild(parent, name, true); }

void MountFileSystem::pollChanges() { poller_.round(); }

}  // namespace corvane::framework::mount
