// What a change the peer never answered leaves behind. A mkdir, rm or rename
// that failed because the host stopped answering (or its call ran out of time)
// may still have been made: a stopped host that resumes carries out what it
// was sent. The mount assumes neither outcome; it asks the peer again.
#include <set>

#include "framework/mount/filesystem/MountFileSystem.h"

namespace corvane::framework::mount {

void MountFileSystem::recheck(const std::vector<UnansweredChange>& changes) {
  if (changes.empty()) return;
  std::vector<Invalidation> invalidations;
  std::set<NodePtr> folders;
  {
    const auto held = table_.hold();
    for (const auto& change : changes) {
      NodePtr folder =
          change.folder.rawValue().empty() ? nullptr : table_.findIdentifier(held, change.folder.rawValue());
      NodePtr item = change.item.rawValue().empty() ? nullptr : table_.findIdentifier(held, change.item.rawValue());
      if (!folder && item) folder = table_.find(held, item->parent);
      if (!folder || !folder->folder) continue;  // gone since: nothing left to show wrongly
      folder->folderState->listed = false;
      folders.insert(folder);
      invalidations.push_back({Invalidation::Kind::contents, folder->inode, {}});
      // The kernel holds the name a failed mkdir left unfound, and the name a
      // failed rm or rename left in place; it is told to look both up again.
      if (!change.name.empty()) invalidations.push_back({Invalidation::Kind::entry, folder->inode, change.name});
      if (item && item->parent == folder->inode && item->name() != change.name) {
        invalidations.push_back({Invalidation::Kind::entry, folder->inode, item->name()});
      }
    }
  }
  invalidations_.post(std::move(invalidations));
  // Listed again now, so the poller keeps it current from here on. A listing
  // that fails leaves it to its next lookup, which asks the peer; until the
  // peer answers, the folder shows what it showed.
  for (const auto& folder : folders) (void)listings_.ensureListed(folder);
}

}  // namespace corvane::framework::mount
