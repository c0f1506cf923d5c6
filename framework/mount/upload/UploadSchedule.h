// UploadSchedule: what the upload queue has to send and in which order, with
// no I/O and no lock of its own (the queue's guards it), so its rules are
// tested on their own. Uploads go in the order files were closed (their
// sequence numbers); a file's one at a time, each behind the file's first one
// still due (failed ones are not); none of a held file; one that failed waits
// out its backoff.
//
// A file is known by its key (the mount's inode) for uploads of this run; one
// replayed from an earlier run has no key until a node claims it, and is known
// by where it goes: its identifier, or for a new file its folder and name.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "framework/mount/upload/UploadJournal.h"

namespace corvane::framework::mount {

class UploadSchedule {
 public:
  using Clock = std::chrono::steady_clock;
  struct Entry {
    std::uint64_t key = 0;  // 0: replayed, not claimed yet
    PendingUpload record;
    Clock::time_point notBefore{};
    bool inFlight = false;
    std::int64_t sendingSinceMs = 0;  // wall clock, while in flight
    bool maybeMade = false;           // a create of it went unanswered (UploadQueue::madeUnanswered)
    bool intoCopy = false;  // goes to the conflict copy an earlier upload of the file made
    int lastErrno = EIO;    // what a wait in fsync reports when an attempt fails
  };
  using Entries = std::map<std::uint64_t, Entry>;  // by sequence
  using Position = Entries::iterator;

  // The map changes only through add, erase and claim, which keep the index by
  // key with it; an entry's other fields are the caller's to change.
  void add(std::uint64_t sequence, Entry entry);
  Position erase(Position entry);
  // The unclaimed uploads that go where `where` goes are `key`'s from now on.
  void claim(std::uint64_t key, const PendingUpload& where);

  Entries& entries() { return entries_; }
  const Entries& entries() const { return entries_; }
  Position find(std::uint64_t sequence) { return entries_.find(sequence); }
  Position end() { return entries_.end(); }

  // The latest upload of `key` (failed ones too); end() for none.
  Position latestOf(std::uint64_t key);
  // The sequences of `key`'s uploads, oldest first: a copy, so entries may be
  // erased while it is walked.
  std::vector<std::uint64_t> sequencesOf(std::uint64_t key) const;
  // The sequences of the uploads of the same file as `of`, oldest first.
  std::vector<std::uint64_t> sameFileAs(const Entry& of) const;
  bool anyOf(std::uint64_t key, const std::function<bool(const Entry&)>& test) const;
  static bool sameFile(const Entry& a, const Entry& b);

  // A held file's uploads do not start (a rename goes between them).
  void hold(std::uint64_t key) { held_.insert(key); }
  void release(std::uint64_t key) { held_.erase(key); }

  struct Next {
    std::optional<Position> chosen;  // the upload to start now
    bool another = false;            // a second one is due too
    std::optional<Clock::time_point> soonest;  // when one waiting out a backoff is due, if none is now
  };
  Next next(Clock::time_point now);

  // How long a file waits after its `attempts`-th failed attempt.
  static std::chrono::milliseconds backoff(std::uint32_t attempts);

 private:
  // Whether no earlier upload of `key` is still due (failed ones are not).
  bool firstDue(std::uint64_t key, std::uint64_t sequence) const;

  Entries entries_;
  // by key: the sequences of its entries. Every close looks its file up, and
  // thousands may be queued: this spares a scan of them all.
  std::map<std::uint64_t, std::set<std::uint64_t>> byKey_;
  std::set<std::uint64_t> unkeyed_;  // the sequences of entries without a key
  std::set<std::uint64_t> held_;
};

}  // namespace corvane::framework::mount
