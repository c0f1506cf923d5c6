#include "framework/mount/cache/CacheIndex.h"

#include <algorithm>

namespace corvane::framework::mount {

void CacheIndex::put(const std::string& name, Info info) {
  erase(name);
  bytes_ += info.size;
  entries_[name] = std::move(info);
}

void CacheIndex::touch(const std::string& name, std::int64_t now) {
  if (auto it = entries_.find(name); it != entries_.end()) it->second.lastUse = now;
}

void CacheIndex::erase(const std::string& name) {
  auto it = entries_.find(name);
  if (it == entries_.end()) return;
  bytes_ -= it->second.size;
  entries_.erase(it);
}

void CacheIndex::release(const std::string& name) {
  auto it = holds_.find(name);
  if (it != holds_.end() && --it->second <= 0) holds_.erase(it);
}

std::vector<std::pair<std::string, CacheIndex::Info>> CacheIndex::unheldOldestFirst() const {
  std::vector<std::pair<std::string, Info>> out;
  for (const auto& entry : entries_) {
    if (!held(entry.first)) out.push_back(entry);
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const auto& a, const auto& b) { return a.second.lastUse < b.second.lastUse; });
  return out;
}

std::vector<std::string> CacheIndex::victims(const std::vector<std::pair<std::string, Info>>& candidates,
                                             std::uint64_t excess,
                                             const std::function<bool(const std::string& identifier)>& keep) {
  std::vector<std::string> out;
  std::uint64_t freed = 0;
  for (const auto& [name, info] : candidates) {
    if (freed >= excess) break;
    if (!info.identifier.empty() && keep && keep(info.identifier)) continue;
    out.push_back(name);
    freed += info.size;
  }
  return out;
}

}  // namespace corvane::framework::mount
