#include "framework/mount/tree/ChildIndex.h"

#include <algorithm>

#include "framework/mount/tree/NodeTable.h"

namespace corvane::framework::mount {

std::string_view ChildIndex::ByName::of(const Node* node) { return node->name(); }

fuse_ino_t ChildIndex::find(std::string_view name) const {
  auto found = byName_.find(name);
  return found == byName_.end() ? 0 : (*found)->inode;
}

void ChildIndex::insert(const Node& child) {
  erase(child.name());
  byName_.insert(&child);
  auto at = std::lower_bound(byInode_.begin(), byInode_.end(), child.inode);
  if (at == byInode_.end() || *at != child.inode) byInode_.insert(at, child.inode);
}

fuse_ino_t ChildIndex::erase(std::string_view name) {
  auto found = byName_.find(name);
  if (found == byName_.end()) return 0;
  const fuse_ino_t inode = (*found)->inode;
  byName_.erase(found);
  auto at = std::lower_bound(byInode_.begin(), byInode_.end(), inode);
  if (at != byInode_.end() && *at == inode) byInode_.erase(at);
  return inode;
}

}  // namespace corvane::framework::mount
