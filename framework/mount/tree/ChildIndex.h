#pragma once

#include <fuse_lowlevel.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace corvane::framework::mount {

// A folder's children by name, for lookups, and in inode order, for readdir.
// A listing's offsets are inodes, so a listing read in pieces resumes at the
// entry after the last one returned even when the folder changed in between:
// no unchanged entry is skipped or returned twice. The inode order is a sorted
// vector, not a second map: inodes are handed out rising, so a new child goes
// at its end, and the folder's names are held once.
class ChildIndex {
 public:
  // 0 when there is no such name.
  fuse_ino_t find(const std::string& name) const {
    auto found = byName_.find(name);
    return found == byName_.end() ? 0 : found->second;
  }
  bool contains(const std::string& name) const { return byName_.count(name) != 0; }
  bool empty() const { return byName_.empty(); }
  std::size_t size() const { return byName_.size(); }

  // One name per inode: setting an inode under a new name drops its old one.
  void set(const std::string& name, fuse_ino_t inode) {
    erase(name);
    auto at = std::lower_bound(byInode_.begin(), byInode_.end(), inode);
    if (at != byInode_.end() && *at == inode) {
      std::erase_if(byName_, [&](const auto& entry) { return entry.second == inode; });
    } else {
      byInode_.insert(at, inode);
    }
    byName_[name] = inode;
  }
  void erase(const std::string& name) {
    auto found = byName_.find(name);
    if (found == byName_.end()) return;
    auto at = std::lower_bound(byInode_.begin(), byInode_.end(), found->second);
    if (at != byInode_.end() && *at == found->second) byInode_.erase(at);
    byName_.erase(found);
  }

  const std::map<std::string, fuse_ino_t>& byName() const { return byName_; }
  // The children's inodes in rising order, from the first above `after`.
  auto from(fuse_ino_t after) const { return std::upper_bound(byInode_.begin(), byInode_.end(), after); }
  auto end() const { return byInode_.end(); }

 private:
  std::map<std::string, fuse_ino_t> byName_;
  std::vector<fuse_ino_t> byInode_;
};

}  // namespace corvane::framework::mount
