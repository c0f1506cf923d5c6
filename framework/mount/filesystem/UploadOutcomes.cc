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
    const auto held = table_.hold();
    const NodePtr file = table_.find(held, key);
    const NodePtr folder = file ? table_.find(held, file->parent) : nullptr;
    if (!folder) return;
    table_.touched(held, folder->inode);
    change(held, file, folder, out);
  }
  invalidations_.post(std::move(out));
}

void UploadOutcomes::stored(std::uint64_t key, std::uint64_t sequence, const ItemPtr& item, bool intoCopy) {
  onLanded(key, [&](const NodeTable::Held& held, const NodePtr& file, const NodePtr&, std::vector<Invalidation>& out) {
    if (intoCopy) {
      // The file's name shows the peer's file; what was stored is the copy's.
      if (file->contents()) file->contents()->landed(sequence, std::nullopt);
      if (file->local) file->local->kernelVersion.reset();
      out.push_back({Invalidation::Kind::contents, key, {}});
      if (auto copy = table_.findIdentifier(held, item->itemIdentifier().rawValue())) {
        table_.setItem(held, *copy, item);
        out.push_back({Invalidation::Kind::contents, copy->inode, {}});
      }
      return;
    }
    if (file->unlinked) return;
    struct stat before {};
    table_.fill(held, *file, before);
    table_.rekey(held, file, item->itemIdentifier());
    table_.setItem(held, *file, item);
    table_.keepTime(held, *file);
    file->localState().kernelVersion = item->itemVersion().contentVersion;  // the kernel cached what was written
    if (file->contents()) file->contents()->landed(sequence, item->itemVersion().contentVersion);
    // The peer's item may say other than the local file did (its mode, say).
    // Mostly it says the same, and then the kernel is not bothered.
    struct stat after {};
    table_.fill(held, *file, after);
    if (!sameAttributes(before, after)) out.push_back({Invalidation::Kind::attributes, key, {}});
  });
}

void UploadOutcomes::conflicted(std::uint64_t key, std::uint64_t sequence, const ItemPtr& peer, const ItemPtr& copy) {
  onLanded(key, [&](const NodeTable::Held& held, const NodePtr& file, const NodePtr& folder,
                    std::vector<Invalidation>& out) {
    // The name shows the peer's file again; the local contents are the copy.
    if (file->contents()) file->contents()->landed(sequence, std::nullopt);
    if (peer) {
      table_.rekey(held, file, peer->itemIdentifier());
      table_.setItem(held, *file, peer);
      if (file->local) {
        file->local->modified.reset();
        file->local->kernelVersion.reset();
      }
      out.push_back({Invalidation::Kind::contents, key, {}});
    } else if (!file->unlinked) {
      table_.unlink(held, folder, file->name());
      table_.detach(held, file);
      out.push_back({Invalidation::Kind::entry, folder->inode, file->name()});
    }
    table_.placeIn(held, folder, copy);
    out.push_back({Invalidation::Kind::entry, folder->inode, copy->filename()});
    out.push_back({Invalidation::Kind::contents, folder->inode, {}});
  });
}

}  // namespace corvane::framework::mount
