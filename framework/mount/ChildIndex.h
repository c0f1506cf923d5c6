#pragma once

#include <fuse_lowlevel.h>

#include <map>
#include <string>

namespace corvane::framework::mount {

// A folder's children by name, for lookups, and by inode, for readdir. A
// listing's offsets are inodes, so a listing read in pieces resumes at the
// entry after the last one returned even when the folder changed in between:
// no unchanged entry is skipped or returned twice.
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
    if (auto old = byInode_.find(inode); old != byInode_.end()) byName_.erase(old->second);
    byName_[name] = inode;
    byInode_[inode] = name;
  }
  void erase(const std::string& name) {
    auto found = byName_.find(name);
    if (found == byName_.end()) return;
    byInode_.erase(found->second);
    byName_.erase(found);
  }

  const std::map<std::string, fuse_ino_t>& byName() const { return byName_; }
  // In inode order, from the first inode above `after`.
  auto from(fuse_ino_t after) const { return byInode_.upper_bound(after); }
  auto end() const { return byInode_.end(); }

 private:
  std::map<std::string, fuse_ino_t> byName_;
  std::map<fuse_ino_t, std::string> byInode_;
};

}  // namespace corvane::framework::mount
