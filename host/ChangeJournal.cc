#include "host/ChangeJournal.h"

#include <algorithm>

namespace corvane::host {

ChangeJournal::ChangeJournal(std::uint64_t floor, std::uint64_t current, std::size_t limit)
    : limit_(std::max<std::size_t>(limit, 1)), floor_(floor), current_(current) {}

void ChangeJournal::index(std::list<JournalRecord>::iterator it) {
  auto key = std::make_pair(it->folder, it->change.name());
  auto [slot, inserted] = byChild_.try_emplace(std::move(key), it);
  if (!inserted) {
    records_.erase(slot->second);
    slot->second = it;
  }
}

void ChangeJournal::trim() {
  while (records_.size() > limit_) {
    const JournalRecord& oldest = records_.front();
    floor_ = std::max(floor_, oldest.token);
    byChild_.erase(std::make_pair(oldest.folder, oldest.change.name()));
    records_.pop_front();
  }
}

void ChangeJournal::append(std::string folder, HostFsChange change) {
  ++current_;
  records_.push_back(JournalRecord{current_, std::move(folder), std::move(change)});
  index(std::prev(records_.end()));
  trim();
}

std::optional<std::vector<HostFsChange>> ChangeJournal::changesSince(const std::string& folder,
                                                                     std::uint64_t since) const {
  if (since < floor_ || since > current_) return std::nullopt;
  std::vector<HostFsChange> changes;
  // Walk back to the first record after `since`, then forward in token order.
  auto it = records_.end();
  while (it != records_.begin() && std::prev(it)->token > since) --it;
  for (; it != records_.end(); ++it) {
    if (it->folder == folder) changes.push_back(it->change);
  }
  return changes;
}

void ChangeJournal::restore(std::list<JournalRecord> records) {
  records_.clear();
  byChild_.clear();
  for (auto& record : records) {
    records_.push_back(std::move(record));
    index(std::prev(records_.end()));
  }
  trim();
}

void ChangeJournal::reset(std::uint64_t floor, std::uint64_t current) {
  floor_ = floor;
  current_ = current;
  records_.clear();
  byChild_.clear();
}

}  // namespace corvane::host
