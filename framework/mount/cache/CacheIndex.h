// CacheIndex: what the materialisation cache holds, in memory: each entry's
// size, when it was last used and whose contents it is, and which entries are
// open. It picks what an eviction removes: least recently used first, never an
// open entry, never one the caller wants kept (pinned, or with an upload due).
//
// Not thread-safe: MaterializedCache guards it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace corvane::framework::mount {

class CacheIndex {
 public:
  struct Info {
    std::uint64_t size = 0;
    std::int64_t lastUse = 0;  // nanoseconds since the epoch, kept on disk as the file's atime
    std::string identifier;    // empty when unknown: such an entry is never kept
  };

  void put(const std::string& name, Info info);
  void touch(const std::string& name, std::int64_t now);
  void erase(const std::string& name);
  void hold(const std::string& name) { ++holds_[name]; }
  void release(const std::string& name);
  bool held(const std::string& name) const { return holds_.count(name) > 0; }

  std::uint64_t bytes() const { return bytes_; }

  // The entries no one holds open, least recently used first.
  std::vector<std::pair<std::string, Info>> unheldOldestFirst() const;

  // Of `candidates` (as unheldOldestFirst gives them), those to remove until at
  // least `excess` bytes are freed or nothing else may go.
  static std::vector<std::string> victims(const std::vector<std::pair<std::string, Info>>& candidates,
                                          std::uint64_t excess,
                                          const std::function<bool(const std::string& identifier)>& keep);

 private:
  std::map<std::string, Info> entries_;
  std::map<std::string, int> holds_;
  std::uint64_t bytes_ = 0;
};

}  // namespace corvane::framework::mount
