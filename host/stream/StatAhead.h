// StatAhead: a stat of a file sent to the far side beside its fetch. The
// extension stats every file it fetched as soon as the contents are in; over
// a link of 20 ms that second round trip doubled the time of each first read
// (a first `git status` reads every file). Sent ahead, its answer is there, or
// on its way, when the extension asks, and serves that one stat.
//
// Sent before the fetch, the stat cannot describe a newer file than the
// contents: at worst the item is older than its bytes, which the next change
// feed puts right, never newer, which nothing would.
//
// Thread-safe. Every reply taken is answered exactly once: by the far side's
// answer, or its failure when the stream ends.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "shared/vfs_xpc/VfsXpcProtocol.h"

namespace corvane::host {

class StatAhead {
 public:
  // An answer older than `maxAge` when asked for is not used.
  explicit StatAhead(std::chrono::milliseconds maxAge = std::chrono::seconds(2)) : maxAge_(maxAge) {}

  // Starts a stat of `path` ahead: the sequence its answer, or its failure,
  // is settled with. Absent when one is already waited for.
  std::optional<std::uint64_t> begin(const std::string& path);
  void settle(const std::string& path, std::uint64_t sequence, std::shared_ptr<const VfsFileEntryDto> entry,
              VfsXpcProtocol::Error error);

  // An answer already in hand for `path`: the stat a read-ahead sent before
  // its fetch. False, and not kept, while an ask for `path` waits on another.
  bool put(const std::string& path, std::shared_ptr<const VfsFileEntryDto> entry);

  // True when `reply` is, or will be, answered with the stat sent ahead for
  // `path`; false when there is none to use, and the caller asks the far side.
  bool take(const std::string& path, VfsXpcProtocol::EntryReply& reply);

 private:
  struct Ahead {
    std::uint64_t sequence = 0;
    std::chrono::steady_clock::time_point sent;
    bool answered = false;
    std::shared_ptr<const VfsFileEntryDto> entry;
    VfsXpcProtocol::Error error;
    VfsXpcProtocol::EntryReply waiting;  // taken before the answer came
  };
  void dropStaleLocked(std::chrono::steady_clock::time_point now);

  const std::chrono::milliseconds maxAge_;
  std::mutex mutex_;  // guards what follows
  std::uint64_t sequence_ = 0;
  std::unordered_map<std::string, Ahead> ahead_;  // at most one a path
};

}  // namespace corvane::host
