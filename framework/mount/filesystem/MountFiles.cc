// The mount's file requests: opening, reading, writing, closing (which seals
// what was written and hands it to the upload queue), fsync and release. The
// rules for a file's bytes live in FileContents; these map requests onto them.
#include <fcntl.h>
#include <unistd.h>

#include "framework/mount/filesystem/MountFileSystem.h"

namespace corvane::framework::mount {

namespace {

using fileprovider::ItemPtr;

// Starts writing back each whole stretch of a working copy that a write
// completes, so that the fsync a close needs finds most of a large file on disk
// already instead of writing all of it then. The disk works while the writer
// is still sending.
void startWriteBack(int fd, off_t offset, std::size_t size) {
  constexpr off_t kStretch = 8 << 20;
  const off_t first = offset / kStretch;
  const off_t last = (offset + static_cast<off_t>(size)) / kStretch;
  if (last > first) (void)::sync_file_range(fd, first * kStretch, (last - first) * kStretch, SYNC_FILE_RANGE_WRITE);
}

// A file below a folder renamed here holds its item, named by the old path,
// until the folder is listed again. (A node the peer's delete let go of has
// no identifier, and stays as it is.) With the table held.
bool underOldPath(const Node& file) {
  return file.item && !file.identifier.empty() && file.item->itemIdentifier().rawValue() != file.identifier.rawValue();
}

}  // namespace

std::shared_ptr<FileContents> MountFileSystem::contentsOf(const NodePtr& file) {
  std::shared_ptr<FileContents> out;
  bool moved = false;
  {
    const auto held = table_.hold();
    auto& contents = file->localState().contents;
    if (!contents) contents = std::make_shared<FileContents>(uploads_->journal());
    out = contents;
    moved = underOldPath(*file);
  }
  // After the contents are made, so that a rename meanwhile retags them as it
  // does any file's. Only then are folder renames held off: every open comes
  // here.
  if (moved) {
    const auto foldersStay = renames_.foldersStay();
    (void)caughtUp(file);
  }
  return out;
}

// An edit, a delete or a rename of a file under its old path goes to the
// moved item, from its version, so that item is asked for first. Taken when
// only the path differs (unchangedOnPeer: its size and date are the old
// item's); else the peer changed the file meanwhile, and what is done here
// meets that as for any file gone from under it.
ItemPtr MountFileSystem::caughtUp(const NodePtr& file) {
  ItemPtr was;
  std::string identifier;
  {
    const auto held = table_.hold();
    if (!underOldPath(*file)) return file->item;
    was = file->item;
    identifier = file->identifier.rawValue();
  }
  auto now = calls_->item(fileprovider::ItemIdentifier(identifier));
  const auto held = table_.hold();
  if (!now.ok() || file->item != was || !unchangedOnPeer(was, *now)) return file->item;
  table_.setItem(held, *file, *now);
  retag(held, file, {was->itemVersion().contentVersion, (*now)->itemVersion().contentVersion});
  return *now;
}

foundation::Result<MaterializedCache::Entry> MountFileSystem::peerContents(const ItemPtr& item) {
  return cache_->materialise(item, [&] { return calls_->fetch(item->itemIdentifier()); });
}

int MountFileSystem::PeerOf::peerContents(FileContents::Peer& out) const {
  if (through_) {
    bool took = false;
    if (int err = fromHandle(out, took); err || took) return err;
  }
  ItemPtr item;
  {
    const auto held = fs_.table_.hold();
    item = file_->item;
  }
  if (!item) return 0;  // a new file: nothing on the peer yet
  out.version = item->itemVersion().contentVersion;
  if (item->documentSize().value_or(0) == 0) return 0;
  auto entry = fs_.peerContents(item);
  if (!entry.ok()) return errnoFor(entry.error());
  out.fd = std::move(entry->fd);
  return 0;
}

// A write edits the version its handle opened, even once the peer changed the file.
int MountFileSystem::PeerOf::fromHandle(FileContents::Peer& out, bool& took) const {
  std::optional<foundation::Data> version;
  {
    const auto held = fs_.table_.hold();
    version = through_->openedVersion;
  }
  std::lock_guard guard(through_->peerMutex);
  if (!version || !through_->fd.valid()) return 0;
  took = true;
  // Its own description: the handle's offset is not the copy's to move.
  const std::string path = "/proc/self/fd/" + std::to_string(through_->fd.get());
  out.fd = foundation::UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!out.fd.valid()) return errno;
  out.version = std::move(version);
  return 0;
}

int MountFileSystem::open(fuse_ino_t inode, int flags, OpenFile*& file, bool& keepCache) {
  auto found = table_.node(inode);
  if (!found) return ENOENT;
  if (found->folder) return EISDIR;
  auto handle = std::make_unique<OpenFile>();
  handle->node = found;
  handle->writable = (flags & O_ACCMODE) != O_RDONLY;
  handle->contents = contentsOf(found);
  handle->contents->opened();
  keepCache = false;
  if (flags & O_TRUNC) {
    if (int err = handle->contents->change(PeerOf(*this, found), false,
                                           [](int fd) { return ::ftruncate(fd, 0) == 0 ? 0 : errno; })) {
      handle->contents->released();
      return err;
    }
    changedHere(found);
  }
  // The peer's contents are taken at open, by a writer too: its writes edit
  // the version it opened, whatever the peer does meanwhile.
  if (!(flags & O_TRUNC) && !handle->contents->readable()) {
    if (int err = takePeerContents(handle, file, keepCache)) {
      handle->contents->released();
      return err;
    }
    return 0;
  }
  file = keep(std::move(handle));
  return 0;
}

// Gives the handle the peer's contents and the version they are, and the
// kernel the handle, in one step: a rename retags the handles it finds, so
// one made meanwhile must be found by it already tagged. A rename, an upload
// of this mount's or a change from the peer that moved the file on while its
// contents came would leave the copy tagged with a version the file no longer
// has, and the handle's writes would meet that as a conflict: they are taken
// again then.
int MountFileSystem::takePeerContents(std::unique_ptr<OpenFile>& handle, OpenFile*& file, bool& keepCache) {
  const NodePtr found = handle->node;
  for (int attempt = 1;; ++attempt) {
    ItemPtr item;
    {
      const auto held = table_.hold();
      item = found->item;
    }
    if (!item) return ENOENT;
    auto entry = peerContents(item);
    if (!entry.ok()) return errnoFor(entry.error());
    const auto held = table_.hold();
    if (found->item != item && found->item != entry->item && attempt < 3) continue;
    handle->fd = std::move(entry->fd);
    handle->cacheHold = std::move(entry->hold);
    if (entry->item != item && found->item == item) table_.setItem(held, *found, entry->item);
    const auto version = entry->item->itemVersion().contentVersion;
    if (handle->writable) handle->openedVersion = version;
    keepCache = found->local && found->local->kernelVersion == version;
    found->localState().kernelVersion = version;
    file = keepHeld(held, std::move(handle));
    return 0;
  }
}

int MountFileSystem::create(fuse_ino_t parent, const std::string& name, OpenFile*& file, fuse_entry_param& entry) {
  auto folder = table_.node(parent);
  if (!folder) return ENOENT;
  if (int err = listings_.ensureListed(folder)) return err;
  NodePtr made;
  {
    const auto held = table_.hold();
    if (folder->folderState->children.contains(name)) return EEXIST;
    if (int err = table_.pathRefusal(held, folder, name)) return err;
    made = table_.addNew(held, folder, name);
  }
  auto handle = std::make_unique<OpenFile>();
  handle->node = made;
  handle->writable = true;
  handle->contents = contentsOf(made);
  handle->contents->opened();
  if (int err = handle->contents->create()) {
    handle->contents->released();
    const auto held = table_.hold();
    table_.unlink(held, folder, name);
    table_.erase(held, made->inode);
    return err;
  }
  fillEntry(made, entry);
  file = keep(std::move(handle));
  return 0;
}

int MountFileSystem::withReadDescriptor(OpenFile* file, const std::function<void(int fd)>& reply) {
  std::shared_lock replying(file->replying);
  if (auto copy = file->contents->readable()) {
    reply(copy->fd.get());
    return 0;
  }
  int fd;
  {
    std::lock_guard guard(file->peerMutex);
    if (!file->fd.valid()) {
      // Opened for writing, or its local copy went since: the peer has the bytes now.
      ItemPtr item;
      {
        const auto held = table_.hold();
        item = file->node->item;
      }
      if (!item) return EIO;
      auto entry = peerContents(item);
      if (!entry.ok()) return errnoFor(entry.error());
      file->fd = std::move(entry->fd);
      file->cacheHold = std::move(entry->hold);
    }
    fd = file->fd.get();
  }
  reply(fd);
  return 0;
}

int MountFileSystem::write(OpenFile* file, off_t offset, const WriteAt& put, std::size_t& written) {
  if (!file->writable) return EBADF;
  int err = file->contents->change(PeerOf(*this, file->node, file), true, [&](int fd) {
    const ssize_t n = put(fd);
    if (n < 0) return static_cast<int>(-n);
    written = static_cast<std::size_t>(n);
    startWriteBack(fd, offset, written);
    return 0;
  });
  if (!err) {
    file->wrote = true;
    changedHere(file->node);
  }
  return err;
}

class MountFileSystem::UploadsOf final : public FileContents::Uploads {
 public:
  UploadsOf(MountFileSystem& fs, const NodePtr& file) : fs_(fs), file_(file) {}

  int enqueue(const FileContents::Copy& copy, std::uint64_t& sequence) const override {
    PendingUpload record;
    std::optional<SealsAndRenames::Token> sealing;  // a rename waits for it to be queued
    {
      auto held = fs_.table_.hold();
      sealing.emplace(fs_.interlock_.sealing(held, file_));
      if (file_->unlinked) return 0;  // replaced by the rename: nothing to send
      // The node's identifier follows renames of the folders above; a node
      // the peer's delete let go of has none, and its item's then tells the
      // upload the file went.
      if (file_->item) {
        record.identifier =
            file_->identifier.empty() ? file_->item->itemIdentifier().rawValue() : file_->identifier.rawValue();
      }
      if (auto parent = fs_.table_.find(held, file_->parent)) record.parentIdentifier = parent->identifier.rawValue();
      record.name = file_->name();
      record.path = fs_.table_.pathOf(held, file_);
      record.baseVersion = copy.base;
    }
    // On an error the copy stays as it is, so the next close tries again.
    return fs_.uploads_->enqueue(file_->inode, std::move(record), copy.followsLocal, copy.fd.get(), copy.path,
                                 sequence);
  }

 private:
  MountFileSystem& fs_;
  const NodePtr& file_;
};

int MountFileSystem::seal(const NodePtr& file, FileContents& contents) { return contents.seal(UploadsOf(*this, file)); }

int MountFileSystem::sealNew(const NodePtr& file) {
  std::shared_ptr<FileContents> contents;
  {
    const auto held = table_.hold();
    contents = file->contents();
  }
  return contents ? seal(file, *contents) : 0;
}

int MountFileSystem::flush(OpenFile* file) {
  if (!file->writable) return 0;
  file->wrote = false;
  return seal(file->node, *file->contents);
}

int MountFileSystem::fsync(OpenFile* file) {
  // Through any handle, a read-only one too (sync FILE opens it so): what any
  // handle changed is sealed and sent.
  if (int err = seal(file->node, *file->contents)) return err;
  return settle(file->node);
}

void MountFileSystem::claimEarlier(const NodePtr& file) {
  PendingUpload where;
  {
    const auto held = table_.hold();
    where.identifier = file->identifier.rawValue();
    if (auto parent = table_.find(held, file->parent)) where.parentIdentifier = parent->identifier.rawValue();
    where.name = file->name();
  }
  uploads_->claim(file->inode, where);
}

// Waits until the file's uploads are on the peer, those an earlier run left too.
int MountFileSystem::settle(const NodePtr& file) {
  claimEarlier(file);
  const std::uint64_t sequence = uploads_->latest(file->inode);
  return sequence ? uploads_->waitStored(file->inode, sequence) : 0;
}

MountFileSystem::OpenFile* MountFileSystem::keep(std::unique_ptr<OpenFile> handle) {
  const auto held = table_.hold();
  return keepHeld(held, std::move(handle));
}

MountFileSystem::OpenFile* MountFileSystem::keepHeld(const NodeTable::Held&, std::unique_ptr<OpenFile> handle) {
  OpenFile* raw = handle.get();
  handles_[raw] = std::move(handle);
  return raw;
}

void MountFileSystem::release(OpenFile* file) {
  std::unique_ptr<OpenFile> handle;
  {
    const auto held = table_.hold();
    auto found = handles_.find(file);
    if (found == handles_.end()) return;
    handle = std::move(found->second);
    handles_.erase(found);
  }
  // The kernel sends the release once the last read was answered, but libfuse
  // may still be on its way out of reading the descriptor for that answer.
  std::unique_lock replies(handle->replying);
  // A mapping outlives its descriptor: what the kernel wrote back after the
  // close arrives before the release, and is sealed here.
  if (handle->wrote) (void)seal(handle->node, *handle->contents);
  handle->contents->released();
}

void MountFileSystem::retag(const NodeTable::Held&, const NodePtr& file, const UploadQueue::VersionChange& versions) {
  if (file->contents()) file->contents()->rebase(versions.first, versions.second);
  for (const auto& [raw, handle] : handles_) {
    if (handle->node == file && handle->openedVersion == versions.first) handle->openedVersion = versions.second;
  }
}

void MountFileSystem::sealEverything() {
  std::vector<std::pair<NodePtr, std::shared_ptr<FileContents>>> files;
  {
    const auto held = table_.hold();
    table_.eachNode(held, [&](const NodePtr& file) {
      if (file->contents() && !file->unlinked) files.emplace_back(file, file->contents());
    });
  }
  for (const auto& [file, contents] : files) (void)seal(file, *contents);
}

// A file about to leave the peer while handles are open on it here keeps its
// bytes: those handles read and write them after it is gone.
void MountFileSystem::keepLocal(const NodePtr& file) {
  std::shared_ptr<FileContents> contents;
  {
    const auto held = table_.hold();
    contents = file->contents();
  }
  if (contents && contents->isOpen() && !contents->readable()) {
    (void)contents->change(PeerOf(*this, file), true, [](int) { return 0; });
  }
}

}  // namespace corvane::framework::mount
