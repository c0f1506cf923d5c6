// ChangeJournal is the in-memory record of what changed in which folder of one
// share, under a monotonically increasing change token. Each recorded change
// takes the next token. A later change of the same child replaces the earlier
// record, so a reader always gets the child's latest state once. The journal
// keeps at most `limit` records; dropping the oldest raises the floor, and
// tokens below the floor (or above the current token) are expired.
//
// Not thread-safe: ChangeTracker owns it and is itself guarded by its user.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/HostTypes.h"

namespace corvane::host {

struct JournalRecord {
  std::uint64_t token = 0;
  std::string folder;  // canonical SharePath text of the folder holding the child
  HostFsChange change;

  friend bool operator==(const JournalRecord&, const JournalRecord&) = default;
};

class ChangeJournal {
 public:
  // A journal at token `current` whose tokens below `floor` are expired.
  ChangeJournal(std::uint64_t floor, std::uint64_t current, std::size_t limit);

  std::uint64_t current() const { return current_; }
  std::uint64_t floor() const { return floor_; }
  std::size_t size() const { return records_.size(); }
  const std::list<JournalRecord>& records() const { return records_; }

  // Records `change` of a child of `folder` under token current()+1.
  void append(std::string folder, HostFsChange change);

  // Changes of `folder`'s children recorded after `since`, oldest first; absent
  // when `since` is below floor() or above current().
  std::optional<std::vector<HostFsChange>> changesSince(const std::string& folder, std::uint64_t since) const;

  // Rebuilds from persisted records; they must be in token order, within
  // (floor, current]. Records beyond the limit are dropped as append() would.
  void restore(std::list<JournalRecord> records);

  // Starts over at token `current` with tokens below `floor` expired and no records.
  void reset(std::uint64_t floor, std::uint64_t current);

 private:
  void index(std::list<JournalRecord>::iterator it);
  void trim();

  const std::size_t limit_;
  std::uint64_t floor_;
  std::uint64_t current_;
  std::list<JournalRecord> records_;  // ascending token
  // (folder, child name) -> its one record.
  std::map<std::pair<std::string, std::string>, std::list<JournalRecord>::iterator> byChild_;
};

}  // namespace corvane::host
