#pragma once

#include <fuse_lowlevel.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include <absl/container/flat_hash_set.h>

namespace corvane::framework::mount {

struct Node;

// A folder's children by name, for lookups, and in inode order, for readdir.
// A listing's offsets are inodes, so a listing read in pieces resumes at the
// entry after the last one returned even when the folder changed in between:
// no unchanged entry is skipped or returned twice.
//
// The names are the children's own: the index holds the nodes, hashed by their
// names, so a folder of many files keeps no second copy of each name; and in
// an open-addressed table, with no allocation per child. A node's
// name therefore changes only while it is out of the index (NodeTable's verbs
// see to that). The inode order is a sorted vector: inodes are handed out
// rising, so a new child goes at its end.
class ChildIndex {
 public:
  // 0 when there is no such name.
  fuse_ino_t find(std::string_view name) const;
  bool contains(std::string_view name) const { return byName_.find(name) != byName_.end(); }
  bool empty() const { return byName_.empty(); }
  std::size_t size() const { return byName_.size(); }

  // Puts `child` in under its name, in place of any other child of that name.
  void insert(const Node& child);
  // Takes out the child of that name, if any; its inode, else 0.
  fuse_ino_t erase(std::string_view name);

  // Every child, in no particular order.
  template <typename Visit>
  void each(Visit&& visit) const {
    for (const Node* child : byName_) visit(*child);
  }
  // The children's inodes in rising order, from the first above `after`.
  auto from(fuse_ino_t after) const { return std::upper_bound(byInode_.begin(), byInode_.end(), after); }
  auto end() const { return byInode_.end(); }

 private:
  struct ByName {
    using is_transparent = void;
    static std::string_view of(const Node* node);
    static std::string_view of(std::string_view name) { return name; }
    std::size_t operator()(auto key) const noexcept { return std::hash<std::string_view>()(of(key)); }
    bool operator()(auto a, auto b) const noexcept { return of(a) == of(b); }
  };
  absl::flat_hash_set<const Node*, ByName, ByName> byName_;
  std::vector<std::uint32_t> byInode_;  // as nodes hold inodes
};

}  // namespace corvane::framework::mount
