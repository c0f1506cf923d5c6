// The entries of a map keyed by share path that are a path itself or lie below
// it. Ordered by bytes, every key that starts with "<path>/" sits in one run,
// so a file's upload or a folder's rename forgets what it changed in the time
// of a look-up, not of a walk over everything the link has seen.
#pragma once

#include <map>
#include <string>

namespace corvane::host {

// Erases `path` and every key below it from `map`, calling `gone` with each
// value first.
template <typename Value, typename Gone>
void eraseAtOrBelow(std::map<std::string, Value>& map, const std::string& path, Gone gone) {
  if (auto exact = map.find(path); exact != map.end()) {
    gone(exact->second);
    map.erase(exact);
  }
  const std::string below = path == "/" ? path : path + "/";
  for (auto it = map.lower_bound(below); it != map.end() && it->first.starts_with(below);) {
    gone(it->second);
    it = map.erase(it);
  }
}

}  // namespace corvane::host
