#include "framework/mount/MountFileSystem.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "framework/ItemTemplate.h"
#include "platform/fileprovider/Errors.h"
#include "platform/foundation/FileCopy.h"
#include "shared/items/FileProviderItemIdentifierCodec.h"

namespace corvane::framework::mount {

namespace {

using fileprovider::ItemIdentifier;
using fileprovider::ItemPtr;

// The longest file name the peer's file systems take, in bytes.
constexpr std::size_t kNameMax = 255;

double nowSeconds() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

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

}  // namespace

// Counts a seal or a rename under way on its nodes (Node::sealing or
// Node::renaming) for as long as it lives, and wakes those waiting on renamed_
// when it goes. Made with the table held.
class MountFileSystem::Counted {
 public:
  Counted(MountFileSystem& fs, int Node::*count, std::vector<NodePtr> nodes)
      : fs_(fs), count_(count), nodes_(std::move(nodes)) {
    for (const auto& node : nodes_) ++(node.get()->*count_);
  }
  ~Counted() {
    {
      std::lock_guard guard(fs_.table_.mutex());
      for (const auto& node : nodes_) --(node.get()->*count_);
    }
    fs_.renamed_.notify_all();
  }
  Counted(const Counted&) = delete;
  Counted& operator=(const Counted&) = delete;

 private:
  MountFileSystem& fs_;
  int Node::*const count_;
  const std::vector<NodePtr> nodes_;
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
};

MountFileSystem::MountFileSystem(std::shared_ptr<ExtensionCalls> calls, std::shared_ptr<ContentCache> cache,
                                 std::shared_ptr<UploadQueue> uploads, Options options)
    : calls_(std::move(calls)),
      cache_(std::move(cache)),
      uploads_(std::move(uploads)),
      options_(options),
      movedBelow_([this](const Node& file) {
        uploads_->moved(file.inode, file.identifier.rawValue(), file.name, std::nullopt);
      }),
      listings_(calls_, table_),
      poller_(calls_, table_, listings_, [this](std::vector<Invalidation> batch) { invalidate(std::move(batch)); }) {
  uploads_->setListener({[this](std::uint64_t key, std::uint64_t sequence, const ItemPtr& item, bool intoCopy) {
                           stored(key, sequence, item, intoCopy);
                         },
                         [this](std::uint64_t key, std::uint64_t sequence, const ItemPtr& peer, const ItemPtr& copy) {
                           conflicted(key, sequence, peer, copy);
                         }});
}

MountFileSystem::~MountFileSystem() {
  uploads_->stopWorker();
  uploads_->setListener({});
}

void MountFileSystem::setInvalidationSink(InvalidationSink sink) {
  std::lock_guard guard(sinkMutex_);
  sink_ = std::move(sink);
}

void MountFileSystem::setRemoteChangeSink(RemoteChangeSink sink) { poller_.setRemoteChangeSink(std::move(sink)); }

void MountFileSystem::invalidate(std::vector<Invalidation> invalidations) {
  if (invalidations.empty()) return;
  // Called under the lock, so that once the sink is taken away no call to it
  // is still on its way (the upload worker outlives the kernel notifier).
  std::lock_guard guard(sinkMutex_);
  if (sink_) sink_(std::move(invalidations));
}

foundation::Status MountFileSystem::start() {
  auto root = table_.node(FUSE_ROOT_ID);
  if (auto item = calls_->item(root->identifier); item.ok()) {
    std::lock_guard guard(table_.mutex());
    root->item = *item;
    root->name = (*item)->filename();
  }
  if (int err = listings_.ensureListed(root)) {
    return foundation::Error(foundation::kPosixErrorDomain, err,
                             foundation::UserInfo{{foundation::kLocalizedDescriptionKey,
                                                   std::string("cannot list the share: ") + std::strerror(err)}});
  }
  return foundation::Ok{};
}

void MountFileSystem::fillEntry(const NodePtr& node, fuse_entry_param& entry) const {
  entry = {};
  std::lock_guard guard(table_.mutex());
  entry.ino = node->inode;
  entry.generation = 1;
  table_.fill(*node, entry.attr);
  entry.attr_timeout = options_.entryTimeout;
  entry.entry_timeout = options_.entryTimeout;
}

int MountFileSystem::lookup(fuse_ino_t parent, const std::string& name, fuse_entry_param& entry) {
  if (name.size() > kNameMax) return ENAMETOOLONG;
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
  std::lock_guard guard(table_.mutex());
  table_.fill(*found, attributes);
  return 0;
}

int MountFileSystem::readFolder(fuse_ino_t inode, off_t offset, const EntryConsumer& add) {
  auto folder = table_.node(inode);
  if (!folder) return ENOENT;
  if (int err = listings_.ensureListed(folder)) return err;
  std::lock_guard guard(table_.mutex());
  // Offsets: 1 after ".", 2 after "..", a child's inode + 2 after that child.
  struct stat attributes {};
  if (offset < 1) {
    table_.fill(*folder, attributes);
    if (!add(".", attributes, 1)) return 0;
  }
  if (offset < 2) {
    attributes = {};
    if (auto parent = table_.find(folder->parent)) table_.fill(*parent, attributes);
    if (!add("..", attributes, 2)) return 0;
  }
  const auto after = static_cast<fuse_ino_t>(offset < 2 ? 0 : offset - 2);
  for (auto it = folder->children.from(after); it != folder->children.end(); ++it) {
    auto found = table_.find(it->first);
    if (!found) continue;
    attributes = {};
    table_.fill(*found, attributes);
    if (!add(it->second.c_str(), attributes, static_cast<off_t>(it->first + 2))) return 0;
  }
  return 0;
}

std::shared_ptr<FileContents> MountFileSystem::contentsOf(const NodePtr& file) {
  std::lock_guard guard(table_.mutex());
  if (!file->contents) {
    file->contents = std::make_shared<FileContents>([this] { return uploads_->journal().newWorkFile(); });
  }
  return file->contents;
}

foundation::Result<ContentCache::Entry> MountFileSystem::peerContents(const ItemPtr& item) {
  return cache_->materialise(item, [&] { return calls_->fetch(item->itemIdentifier()); });
}

FileContents::PeerSource MountFileSystem::peerOf(const NodePtr& file) {
  return [this, file](FileContents::Peer& out) {
    ItemPtr item;
    {
      std::lock_guard guard(table_.mutex());
      item = file->item;
    }
    if (!item) return 0;  // a new file: nothing on the peer yet
    out.version = item->itemVersion().contentVersion;
    if (item->documentSize().value_or(0) == 0) return 0;
    auto entry = peerContents(item);
    if (!entry.ok()) return errnoFor(entry.error());
    out.fd = std::move(entry->fd);
    return 0;
  };
}

void MountFileSystem::changedHere(const NodePtr& file) {
  std::lock_guard guard(table_.mutex());
  file->localModified = nowSeconds();  // the peer's date comes only with the upload
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
    if (int err = handle->contents->change(peerOf(found), false,
                                           [](int fd) { return ::ftruncate(fd, 0) == 0 ? 0 : errno; })) {
      handle->contents->released();
      return err;
    }
    changedHere(found);
  }
  // A writer reads the peer's contents only when it asks for them.
  if (!handle->writable && !handle->contents->readable()) {
    ItemPtr item;
    {
      std::lock_guard guard(table_.mutex());
      item = found->item;
    }
    if (!item) {
      handle->contents->released();
      return ENOENT;
    }
    auto entry = peerContents(item);
    if (!entry.ok()) {
      handle->contents->released();
      return errnoFor(entry.error());
    }
    handle->fd = std::move(entry->fd);
    handle->cacheHold = std::move(entry->hold);
    std::lock_guard guard(table_.mutex());
    if (entry->item != item && found->item == item) found->item = entry->item;
    const auto version = entry->item->itemVersion().contentVersion;
    keepCache = found->kernelVersion == version;
    found->kernelVersion = version;
  }
  file = keep(std::move(handle));
  return 0;
}

int MountFileSystem::create(fuse_ino_t parent, const std::string& name, OpenFile*& file, fuse_entry_param& entry) {
  // Refused here, not by the peer after close already said the file was kept.
  if (name.size() > kNameMax) return ENAMETOOLONG;
  auto folder = table_.node(parent);
  if (!folder) return ENOENT;
  if (int err = listings_.ensureListed(folder)) return err;
  NodePtr made;
  {
    std::lock_guard guard(table_.mutex());
    if (folder->children.contains(name)) return EEXIST;
    made = table_.addNew(parent, name);
    folder->children.set(name, made->inode);
  }
  auto handle = std::make_unique<OpenFile>();
  handle->node = made;
  handle->writable = true;
  handle->contents = contentsOf(made);
  handle->contents->opened();
  if (int err = handle->contents->create()) {
    handle->contents->released();
    std::lock_guard guard(table_.mutex());
    folder->children.erase(name);
    table_.erase(made->inode);
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
        std::lock_guard table(table_.mutex());
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
  int err = file->contents->change(peerOf(file->node), true, [&](int fd) {
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

int MountFileSystem::seal(const NodePtr& file, FileContents& contents) {
  return contents.seal([&](const FileContents::Copy& copy, std::uint64_t& sequence) {
    PendingUpload record;
    std::optional<Counted> sealing;  // a rename waits for it to be queued
    {
      std::unique_lock guard(table_.mutex());
      renamed_.wait(guard, [&] { return file->renaming == 0; });
      if (file->unlinked) return 0;  // replaced by the rename: nothing to send
      sealing.emplace(*this, &Node::sealing, std::vector<NodePtr>{file});
      if (file->item) record.identifier = file->item->itemIdentifier().rawValue();
      if (auto parent = table_.find(file->parent)) record.parentIdentifier = parent->identifier.rawValue();
      record.name = file->name;
      record.path = table_.pathOf(file);
      record.baseVersion = copy.base;
    }
    // On an error the copy stays as it is, so the next close tries again.
    return uploads_->enqueue(file->inode, std::move(record), copy.followsLocal, copy.fd.get(), copy.path, sequence);
  });
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

// Waits until the file's uploads are on the peer.
int MountFileSystem::settle(const NodePtr& file) {
  const std::uint64_t sequence = uploads_->latest(file->inode);
  return sequence ? uploads_->waitStored(file->inode, sequence) : 0;
}

MountFileSystem::OpenFile* MountFileSystem::keep(std::unique_ptr<OpenFile> handle) {
  std::lock_guard guard(table_.mutex());
  OpenFile* raw = handle.get();
  handles_[raw] = std::move(handle);
  return raw;
}

void MountFileSystem::release(OpenFile* file) {
  std::unique_ptr<OpenFile> handle;
  {
    std::lock_guard guard(table_.mutex());
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

void MountFileSystem::sealEverything() {
  std::vector<std::pair<NodePtr, std::shared_ptr<FileContents>>> files;
  {
    std::lock_guard guard(table_.mutex());
    for (const auto& [inode, file] : table_.nodes()) {
      if (file->contents && !file->unlinked) files.emplace_back(file, file->contents);
    }
  }
  for (const auto& [file, contents] : files) (void)seal(file, *contents);
}

void MountFileSystem::stored(std::uint64_t key, std::uint64_t sequence, const ItemPtr& item, bool intoCopy) {
  auto owner = table_.node(key);
  auto holding = table_.holdFolder(owner ? owner->parent : 0);
  std::vector<Invalidation> out;
  {
    std::lock_guard guard(table_.mutex());
    const NodePtr file = table_.find(key);
    if (!file) return;
    table_.touched(file->parent);
    if (intoCopy) {
      // The file's name shows the peer's file; what was stored is the copy's.
      if (file->contents) file->contents->landed(sequence, std::nullopt);
      file->kernelVersion.reset();
      out.push_back({Invalidation::Kind::contents, key, {}});
      auto copy = table_.findIdentifier(item->itemIdentifier().rawValue());
      if (!copy) return invalidate(std::move(out));
      copy->item = item;
      out.push_back({Invalidation::Kind::contents, copy->inode, {}});
    } else {
      if (file->unlinked) return;
      table_.rekey(file, item->itemIdentifier(), movedBelow_);
      file->item = item;
      file->kernelVersion = item->itemVersion().contentVersion;  // the kernel cached what was written
      if (file->contents) file->contents->landed(sequence, item->itemVersion().contentVersion);
      out.push_back({Invalidation::Kind::attributes, key, {}});
    }
  }
  invalidate(std::move(out));
}

void MountFileSystem::conflicted(std::uint64_t key, std::uint64_t sequence, const ItemPtr& peer, const ItemPtr& copy) {
  auto owner = table_.node(key);
  auto holding = table_.holdFolder(owner ? owner->parent : 0);
  std::vector<Invalidation> out;
  {
    std::lock_guard guard(table_.mutex());
    const NodePtr file = table_.find(key);
    if (!file) return;
    const NodePtr folder = table_.find(file->parent);
    if (!folder) return;
    table_.touched(folder->inode);
    // The name shows the peer's file again; the local contents are the copy.
    if (file->contents) file->contents->landed(sequence, std::nullopt);
    if (peer) {
      table_.rekey(file, peer->itemIdentifier(), movedBelow_);
      file->item = peer;
      file->localModified.reset();
      file->kernelVersion.reset();
      out.push_back({Invalidation::Kind::contents, key, {}});
    } else if (!file->unlinked) {
      folder->children.erase(file->name);
      table_.detach(file);
      out.push_back({Invalidation::Kind::entry, folder->inode, file->name});
    }
    const fuse_ino_t inode = table_.place(copy, folder->inode);
    folder->children.set(copy->filename(), inode);
    out.push_back({Invalidation::Kind::entry, folder->inode, copy->filename()});
    out.push_back({Invalidation::Kind::contents, folder->inode, {}});
  }
  invalidate(std::move(out));
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
    int err = contents->change(peerOf(found), size != 0,
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
    std::lock_guard guard(table_.mutex());
    found->localModified = (toSet & FUSE_SET_ATTR_MTIME_NOW)
                               ? nowSeconds()
                               : static_cast<double>(wanted.st_mtim.tv_sec) + wanted.st_mtim.tv_nsec / 1e9;
  }
  std::lock_guard guard(table_.mutex());
  table_.fill(*found, attributes);
  return 0;
}

int MountFileSystem::mkdir(fuse_ino_t parent, const std::string& name, fuse_entry_param& entry) {
  if (name.size() > kNameMax) return ENAMETOOLONG;
  auto folder = table_.node(parent);
  if (!folder) return ENOENT;
  if (int err = listings_.ensureListed(folder)) return err;
  auto holding = table_.holdFolder(parent);
  ItemIdentifier parentIdentifier{""};
  {
    std::lock_guard guard(table_.mutex());
    if (folder->children.contains(name)) return EEXIST;
    parentIdentifier = folder->identifier;
  }
  auto made = calls_->create(
      std::make_shared<ItemTemplate>("", parentIdentifier.rawValue(), name, uniform_types::UTType::folder().identifier()),
      fileprovider::ItemField::filename, std::nullopt);
  if (!made.ok()) return errnoFor(made.error());
  NodePtr created;
  {
    std::lock_guard guard(table_.mutex());
    const fuse_ino_t inode = table_.place(*made, parent);
    folder->children.set(name, inode);
    created = table_.find(inode);
    created->listed = true;  // new and empty; changes made elsewhere come through the poller
    table_.touched(parent);
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
  ItemPtr item;
  {
    std::lock_guard guard(table_.mutex());
    if (found->folder != wantFolder) return wantFolder ? ENOTDIR : EISDIR;
    // A new file in it may not have reached the peer yet.
    if (found->folder && !found->children.empty()) return ENOTEMPTY;
    item = found->item;
  }
  if (!wantFolder && !item) {
    // Never stored: what is queued is dropped, and a file an upload in flight made goes too.
    if (auto made = uploads_->cancel(found->inode)) {
      std::lock_guard guard(table_.mutex());
      table_.rekey(found, made->itemIdentifier(), movedBelow_);
      found->item = item = made;
    }
  } else if (!wantFolder) {
    // The edit lands before the delete, as it was made: offline both fail at once.
    if (int err = settle(found)) return err;
    keepLocal(found);
    std::lock_guard guard(table_.mutex());
    item = found->item;
  }
  auto holding = table_.holdFolder(parent);
  if (item) {
    auto removed = calls_->remove(item->itemIdentifier(), item->itemVersion());
    if (!removed.ok()) return errnoFor(removed.error());
  }
  std::lock_guard guard(table_.mutex());
  folder->children.erase(name);
  table_.touched(folder->inode);
  table_.detach(found);
  found->item = item;
  return 0;
}

// A file about to leave the peer while handles are open on it here keeps its
// bytes: those handles read and write them after it is gone.
void MountFileSystem::keepLocal(const NodePtr& file) {
  std::shared_ptr<FileContents> contents;
  {
    std::lock_guard guard(table_.mutex());
    contents = file->contents;
  }
  if (contents && contents->isOpen() && !contents->readable()) {
    (void)contents->change(peerOf(file), true, [](int) { return 0; });
  }
}

int MountFileSystem::unlink(fuse_ino_t parent, const std::string& name) { return removeChild(parent, name, false); }

int MountFileSystem::rmdir(fuse_ino_t parent, const std::string& name) { return removeChild(parent, name, true); }

int MountFileSystem::rename(fuse_ino_t parent, const std::string& name, fuse_ino_t newParent,
                            const std::string& newName, unsigned flags) {
  if (flags & RENAME_EXCHANGE) return EINVAL;
  if (newName.size() > kNameMax) return ENAMETOOLONG;
  // The extension renames only inside the item's own folder; mv falls back to copy and delete.
  if (parent != newParent) return EXDEV;
  auto folder = table_.node(parent);
  if (!folder) return ENOENT;
  if (int err = listings_.ensureListed(folder)) return err;
  auto source = table_.child(folder, name);
  if (!source) return ENOENT;
  if (name == newName) return 0;
  auto target = table_.child(folder, newName);
  if (target && (flags & RENAME_NOREPLACE)) return EEXIST;

  {
    std::lock_guard guard(table_.mutex());
    if (target && target->folder != source->folder) return source->folder ? ENOTDIR : EISDIR;
  }
  // A rename needs the peer's names: closed files land first. Below a folder,
  // identifiers change with its name, so everything queued goes before.
  if (source->folder) {
    std::vector<NodePtr> owed;
    {
      std::lock_guard guard(table_.mutex());
      for (const auto& [inode, other] : table_.nodes()) {
        if (uploads_->latest(inode)) owed.push_back(other);
      }
    }
    for (const auto& other : owed) {
      if (int err = settle(other)) return err;
    }
  } else {
    // A new file reaches the peer with its first seal; one still open since
    // its creation goes now, so there is an item to rename.
    std::shared_ptr<FileContents> contents;
    {
      std::lock_guard guard(table_.mutex());
      if (!source->item) contents = source->contents;
    }
    if (contents) {
      if (int err = seal(source, *contents)) return err;
    }
  }
  // From here until the names are settled, no upload of either file is queued:
  // a release that seals meanwhile (a mapping's pages written back after its
  // close come with it, asynchronously) would name the file as it was.
  std::optional<Counted> renaming;
  {
    std::unique_lock guard(table_.mutex());
    renaming.emplace(*this, &Node::renaming, target ? std::vector{source, target} : std::vector{source});
    renamed_.wait(guard, [&] { return source->sealing == 0 && (!target || target->sealing == 0); });
  }
  if (!source->folder) {
    if (int err = settle(source)) return err;
    if (target) {
      if (int err = settle(target)) return err;
    }
  }
  ItemPtr item;
  {
    std::lock_guard guard(table_.mutex());
    item = source->item;
  }
  if (!item) return EBUSY;  // a new file is on the peer only after its first close
  if (target && !target->folder) keepLocal(target);
  auto holding = table_.holdFolder(parent);

  // Onto an existing name: the old file is moved aside first and removed only
  // once the rename has landed, so a failure leaves both files as they were.
  ItemPtr aside;
  if (target) {
    ItemPtr targetItem;
    {
      std::lock_guard guard(table_.mutex());
      targetItem = target->item;
    }
    if (targetItem) {
      const std::string asideName = ".corvane-replaced-" + std::to_string(target->inode) + "-" + newName;
      auto moved = calls_->modify(
          std::make_shared<ItemTemplate>(targetItem->itemIdentifier().rawValue(),
                                       targetItem->parentItemIdentifier().rawValue(), asideName, std::nullopt),
          targetItem->itemVersion(), fileprovider::ItemField::filename, std::nullopt);
      if (!moved.ok()) return errnoFor(moved.error());
      aside = *moved;
    }
  }

  auto renamed =
      calls_->modify(std::make_shared<ItemTemplate>(item->itemIdentifier().rawValue(),
                                                  item->parentItemIdentifier().rawValue(), newName, std::nullopt),
                     item->itemVersion(), fileprovider::ItemField::filename, std::nullopt);
  if (!renamed.ok()) {
    if (aside) {
      (void)calls_->modify(
          std::make_shared<ItemTemplate>(aside->itemIdentifier().rawValue(), aside->parentItemIdentifier().rawValue(),
                                       newName, std::nullopt),
          aside->itemVersion(), fileprovider::ItemField::filename, std::nullopt);
    }
    return errnoFor(renamed.error());
  }
  if (aside) (void)calls_->remove(aside->itemIdentifier(), aside->itemVersion());

  std::lock_guard guard(table_.mutex());
  if (target) table_.detach(target);
  folder->children.erase(name);
  folder->children.set(newName, source->inode);
  table_.touched(folder->inode);
  source->name = newName;
  // The renamed item reads as a file; a folder stays a folder.
  const bool wasFolder = source->folder;
  table_.rekey(source, (*renamed)->itemIdentifier(), movedBelow_);
  source->item = *renamed;
  source->folder = wasFolder;
  // An edit still open goes on from the renamed file, not from its old name.
  if (!wasFolder) {
    const UploadQueue::VersionChange versions{item->itemVersion().contentVersion,
                                              (*renamed)->itemVersion().contentVersion};
    uploads_->moved(source->inode, source->identifier.rawValue(), newName, versions);
    if (source->contents) source->contents->rebase(versions.first, versions.second);
  }
  return 0;
}

void MountFileSystem::pollChanges() { poller_.round(); }

}  // namespace corvane::framework::mount
