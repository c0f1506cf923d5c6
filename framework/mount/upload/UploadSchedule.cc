#include "framework/mount/upload/UploadSchedule.h"

#include <algorithm>

namespace corvane::framework::mount {

void UploadSchedule::add(std::uint64_t sequence, Entry entry) {
  if (entry.key != 0) {
    byKey_[entry.key].insert(sequence);
  } else {
    unkeyed_.insert(sequence);
  }
  entries_[sequence] = std::move(entry);
}

UploadSchedule::Position UploadSchedule::erase(Position entry) {
  if (auto of = byKey_.find(entry->second.key); of != byKey_.end()) {
    of->second.erase(entry->first);
    if (of->second.empty()) byKey_.erase(of);
  }
  unkeyed_.erase(entry->first);
  return entries_.erase(entry);
}

void UploadSchedule::claim(std::uint64_t key, const PendingUpload& where) {
  const Entry probe{0, where};
  for (auto& [sequence, entry] : entries_) {
    if (entry.key == 0 && sameFile(entry, probe)) {
      entry.key = key;
      byKey_[key].insert(sequence);
      unkeyed_.erase(sequence);
    }
  }
}

UploadSchedule::Position UploadSchedule::latestOf(std::uint64_t key) {
  auto of = byKey_.find(key);
  return of == byKey_.end() ? entries_.end() : entries_.find(*of->second.rbegin());
}

std::vector<std::uint64_t> UploadSchedule::sequencesOf(std::uint64_t key) const {
  auto of = byKey_.find(key);
  return of == byKey_.end() ? std::vector<std::uint64_t>{} : std::vector(of->second.begin(), of->second.end());
}

std::vector<std::uint64_t> UploadSchedule::sameFileAs(const Entry& of) const {
  std::vector<std::uint64_t> found;
  auto test = [&](std::uint64_t sequence) {
    if (sameFile(entries_.at(sequence), of)) found.push_back(sequence);
  };
  if (of.key == 0) {
    for (const auto& [sequence, entry] : entries_) test(sequence);
    return found;
  }
  // Entries of another key never match: only the key's own, and those without one.
  if (auto own = byKey_.find(of.key); own != byKey_.end()) {
    for (std::uint64_t sequence : own->second) test(sequence);
  }
  for (std::uint64_t sequence : unkeyed_) test(sequence);
  std::sort(found.begin(), found.end());
  return found;
}

bool UploadSchedule::anyOf(std::uint64_t key, const std::function<bool(const Entry&)>& test) const {
  auto of = byKey_.find(key);
  if (of == byKey_.end()) return false;
  return std::any_of(of->second.begin(), of->second.end(),
                     [&](std::uint64_t sequence) { return test(entries_.at(sequence)); });
}

// Uploads of this run are told apart by key; one replayed from an earlier run
// has none, and is known by where it goes, also beside an upload of this run:
// an edit made here to a file whose earlier edit is still queued from the last
// run goes after it, and from what it stored.
bool UploadSchedule::sameFile(const Entry& a, const Entry& b) {
  if (a.key != 0 && b.key != 0) return a.key == b.key;
  if (!a.record.identifier.empty()) return a.record.identifier == b.record.identifier;
  return b.record.identifier.empty() && a.record.parentIdentifier == b.record.parentIdentifier &&
         a.record.name == b.record.name;
}

bool UploadSchedule::firstDue(std::uint64_t key, std::uint64_t sequence) const {
  for (std::uint64_t earlier : byKey_.at(key)) {
    if (earlier == sequence) return true;
    if (!entries_.at(earlier).record.failed) return false;
  }
  return true;
}

UploadSchedule::Next UploadSchedule::next(Clock::time_point now) {
  Next out;
  // A file's uploads go in order: each waits behind the file's first one still due.
  std::vector<const Entry*> replayedDue;  // no key: known by where they go
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    const Entry& entry = it->second;
    if (entry.record.failed) continue;
    // Replayed uploads are few and come first (their sequence numbers are
    // older), so only they are compared by where they go.
    const bool afterReplayed = std::any_of(replayedDue.begin(), replayedDue.end(),
                                           [&](const Entry* earlier) { return sameFile(*earlier, entry); });
    const bool behind = (entry.key != 0 && !firstDue(entry.key, it->first)) || afterReplayed;
    if (entry.key == 0) replayedDue.push_back(&entry);
    if (behind || entry.inFlight || held_.count(entry.key)) continue;
    if (entry.notBefore <= now) {
      if (out.chosen) {
        out.another = true;
        break;
      }
      out.chosen = it;
      continue;
    }
    if (!out.soonest || entry.notBefore < *out.soonest) out.soonest = entry.notBefore;
  }
  if (out.chosen) out.soonest.reset();
  return out;
}

std::chrono::milliseconds UploadSchedule::backoff(std::uint32_t attempts) {
  const auto shift = std::min<std::uint32_t>(attempts, 7);
  return std::min<std::chrono::milliseconds>(std::chrono::milliseconds(250 << shift), std::chrono::seconds(30));
}

}  // namespace corvane::framework::mount
