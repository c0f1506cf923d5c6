#include "framework/mount/filesystem/UploadOutcomes.h"

#include <sys/stat.h>

namespace corvane::framework::mount {

using fileprovider::ItemPtr;

namespace {

// What a stat shows of a file: the kernel's cached copy is still right when these agree.
bool sameAttributes(const struct stat& a, const struct stat& b) {
  return a.st_mode == b.st_mode && a.st_size == b.st_size && a.st_nlink == b.st_nlink && a.st_uid == b.st_uid &&
         a.st_gid == b.st_gid && a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec && a.st_blocks == b.st_blocks;
}

}  // namespace

template <typename Change>
void UploadOutcomes::onLanded(std::uint64_t key, const Change& change) {
  auto owner = table_.node(key);
  auto holding = table_.holdFolder(owner ? owner->parent : 0);
  std::vector<Invalidation> out;
  {
    std::lock_guard guard(table_.mutex());
    const NodePtr file = table_.find(key);
    const NodePtr folder = file ? table_.find(file->parent) : nullptr;
    if (!folder) return;
    table_.touched(folder->inode);
    change(file, folder, out);
  }
  invalidations_.post(std::move(out));
}

void UploadOutcomes::stored(std::uint64_t key, std::uint64_t sequence, const ItemPtr& item, bool intoCopy) {
  onLanded(key, [&](const NodePtr& file, const NodePtr&, std::vector<Invalidation>& out) {
    if (intoCopy) {
      // The file's name shows the peer's file; what was stored is the copy's.
      if (file->contents()) file->contents()->landed(sequence, std::nullopt);
      if (file->local) file->local->kernelVersion.reset();
      out.push_back({Invalidation::Kind::contents, key, {}});
      if (auto copy = table_.findIdentifier(item->itemIdentifier().rawValue())) {
        table_.setItem(*copy, item);
        out.push_back({Invalidation::Kind::contents, copy->inode, {}});
      }
      return;
    }
    if (file->unlinked) return;
    struct stat before {};
    table_.fill(*file, before);
    table_.rekey(file, item->itemIdentifier());
    table_.setItem(*file, item);
    table_.keepTime(*file);
    file->localState().kernelVersion = item->itemVersion().contentVersion;  // the kernel cached what was written
    if (file->contents()) file->contents()->landed(sequence, item->itemVersion().contentVersion);
    // The peer's item may say other than the local file did (its mode, say).
    // Mostly it says the same, and then the kernel is not bothered.
    struct stat after {};
    table_.fill(*file, after);
    if (!sameAttributes(before, after)) out.push_back({Invalidation::Kind::attributes, key, {}});
  });
}

void UploadOutcomes::conflicted(std::uint64_t key, std::uint64_t sequence, const ItemPtr& peer, const ItemPtr& copy) {
  onLanded(key, [&](const NodePtr& file, const NodePtr& folder, std::vector<Invalidation>& out) {
    // The name shows the peer's file again; the local contents are the copy.
    if (file->contents()) file->contents()->landed(sequence, std::nullopt);
    if (peer) {
      table_.rekey(file, peer->itemIdentifier());
      table_.setItem(*file, peer);
      if (file->local) {
        file->local->modified.reset();
        file->local->kernelVersion.reset();
      }
      out.push_back({Invalidation::Kind::contents, key, {}});
    } else if (!file->unlinked) {
      table_.unlink(folder, file->name());
      table_.detach(file);
      out.push_back({Invalidation::Kind::entry, folder->inode, file->name()});
    }
    table_.placeIn(folder, copy);
    out.push_back({Invalidation::Kind::entry, folder->inode, copy->filename()});
    out.push_back({Invalidation::Kind::contents, folder->inode, {}});
  });
}

}  // namespace corvane::framework::mount
