// Plain values the host VFS service answers with: one file or folder, one change
// inside a folder, and the answer to a change query. They mirror the transfer
// objects of the host link field for field, so wiring them to the IPC layer is a
// copy, not a translation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane::host {

struct HostFileEntry {
  std::string name;  // last path component; "/" for the share's top folder
  bool isDir = false;
  std::uint64_t size = 0;        // bytes; 0 for folders; a symlink's own length
  std::uint64_t modifiedMs = 0;  // ms since 1970-01-01 UTC, 0 when unknown or earlier

  friend bool operator==(const HostFileEntry&, const HostFileEntry&) = default;
};

// One child of a folder that was added or changed (entry set) or removed
// (removedName set).
struct HostFsChange {
  bool isRemoved = false;
  std::optional<HostFileEntry> entry;
  std::optional<std::string> removedName;

  static HostFsChange added(HostFileEntry e) { return {false, std::move(e), std::nullopt}; }
  static HostFsChange removed(std::string name) { return {true, std::nullopt, std::move(name)}; }
  const std::string& name() const { return isRemoved ? *removedName : entry->name; }

  friend bool operator==(const HostFsChange&, const HostFsChange&) = default;
};

struct HostChangesResult {
  std::vector<HostFsChange> changes;  // oldest first, at most one per child name
  std::uint64_t newToken = 0;
};

}  // namespace corvane::host
