#include "host/stream/StatAhead.h"

#include <utility>

namespace corvane::host {

namespace {
// Past this many, answers nobody took in time are looked for and dropped.
constexpr std::size_t kSweepAt = 64;
}  // namespace

std::optional<std::uint64_t> StatAhead::begin(const std::string& path) {
  std::lock_guard guard(mutex_);
  const auto now = std::chrono::steady_clock::now();
  if (ahead_.size() >= kSweepAt) dropStaleLocked(now);
  Ahead& ahead = ahead_[path];
  if (ahead.waiting) return std::nullopt;
  ahead = Ahead{++sequence_, now, false, nullptr, std::nullopt, nullptr};
  return ahead.sequence;
}

void StatAhead::settle(const std::string& path, std::uint64_t sequence, std::shared_ptr<const VfsFileEntryDto> entry,
                       VfsXpcProtocol::Error error) {
  VfsXpcProtocol::EntryReply waiting;
  {
    std::lock_guard guard(mutex_);
    auto found = ahead_.find(path);
    if (found == ahead_.end() || found->second.sequence != sequence || found->second.answered) return;
    if (found->second.waiting) {
      waiting = std::move(found->second.waiting);
      ahead_.erase(found);
    } else {
      found->second.answered = true;
      found->second.entry = std::move(entry);
      found->second.error = std::move(error);
    }
  }
  if (waiting) waiting(std::move(entry), std::move(error));
}

bool StatAhead::put(const std::string& path, std::shared_ptr<const VfsFileEntryDto> entry) {
  std::lock_guard guard(mutex_);
  Ahead& ahead = ahead_[path];
  if (ahead.waiting) return false;
  ahead = Ahead{++sequence_, std::chrono::steady_clock::now(), true, std::move(entry), std::nullopt, nullptr};
  return true;
}

bool StatAhead::take(const std::string& path, VfsXpcProtocol::EntryReply& reply) {
  std::shared_ptr<const VfsFileEntryDto> entry;
  VfsXpcProtocol::Error error;
  {
    std::lock_guard guard(mutex_);
    auto found = ahead_.find(path);
    if (found == ahead_.end() || found->second.waiting) return false;
    if (std::chrono::steady_clock::now() - found->second.sent > maxAge_) {
      if (found->second.answered) ahead_.erase(found);
      return false;
    }
    if (!found->second.answered) {
      found->second.waiting = std::move(reply);
      return true;
    }
    entry = std::move(found->second.entry);
    error = std::move(found->second.error);
    ahead_.erase(found);
  }
  reply(std::move(entry), std::move(error));
  return true;
}

// An answer nobody took in time goes; a stat still on its way with a reply
// waiting stays, since the far side answers or fails it.
void StatAhead::dropStaleLocked(std::chrono::steady_clock::time_point now) {
  std::erase_if(ahead_, [&](const auto& pair) { return !pair.second.waiting && now - pair.second.sent > maxAge_; });
}

}  // namespace corvane::host
