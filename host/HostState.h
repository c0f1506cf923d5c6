// HostState is what the host remembers about one peer's share between runs: the
// change token with its floor and reserved ceiling, the change journal, and the
// last recorded state of every item (the snapshot), against which changes made
// while the host was not running are found at the next start.
//
// Persisted form (one file, all integers little-endian):
//
//   "CVHS"  magic, 4 bytes
//   u32     format version, 1
//   u32     flags: bit 0 = written by a clean stop; other bits must be 0
//   u64     current token, u64 floor, u64 ceiling   (floor <= current <= ceiling)
//   str     canonical path of the shared folder
//   u64     device, u64 inode of the shared folder
//   u32     record count, then per record:
//             u64 token (strictly ascending, within (floor, current])
//             u8  kind: 0 added/changed, 1 removed
//             str folder (canonical share path), str child name
//             kind 0 only: u8 isDir (0/1), u64 size, u64 modifiedMs
//   u32     snapshot count, then per item (paths strictly ascending):
//             str path (canonical share path, not "/"), u8 isDir (0/1),
//             u64 size, u64 mtime in ns, u64 inode
//   32 B    SHA-256 of every byte before it
//
//   str = u32 byte length, then the bytes (no terminator).
//
// decodeHostState() refuses anything else: wrong magic, version or flags, a bad
// digest, short or trailing bytes, out-of-order tokens or paths, names with "/",
// "." or "..", booleans other than 0/1. A refused file is treated as no state
// at all, which expires every older token.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "host/ChangeJournal.h"

namespace corvane::host {

// The recorded state of one item: enough to tell that it changed since.
struct SnapshotEntry {
  bool isDir = false;
  std::uint64_t size = 0;
  std::uint64_t mtimeNs = 0;
  std::uint64_t inode = 0;

  friend bool operator==(const SnapshotEntry&, const SnapshotEntry&) = default;
};

// Canonical share path (never "/") -> recorded state. The ordering keeps every
// folder's descendants in one contiguous run after it.
using Snapshot = std::map<std::string, SnapshotEntry>;

struct HostState {
  bool cleanStop = false;
  std::uint64_t current = 0;
  std::uint64_t floor = 0;
  std::uint64_t ceiling = 0;
  std::string rootPath;
  std::uint64_t rootDevice = 0;
  std::uint64_t rootInode = 0;
  std::list<JournalRecord> records;
  Snapshot snapshot;

  friend bool operator==(const HostState&, const HostState&) = default;
};

std::string encodeHostState(const HostState& state);
std::optional<HostState> decodeHostState(std::string_view bytes);

}  // namespace corvane::host
