// ReadAhead: the small files of a folder fetched from the far side before they
// are asked for. A first `git status` reads every file of a repository one at
// a time, in name order; over a link of 20 ms each read was a round trip. When
// a file is fetched, the next small files of its folder (by the listing this
// side relayed last) are fetched several at once, each with a stat sent before
// its fetch, and kept for a short while to answer the fetch, and the stat the
// extension makes after it, that come for them.
//
// A copy and its stat stay a pair: the stat was sent first, so it can only be
// older than the bytes, which the next change feed puts right. But a copy
// must never be older than what the extension already knows of the file, or
// the mount would take it for the newest and never ask again. The extension
// learns of the far side only through answers this side relays; so a copy is
// dropped, before that answer goes on, when a change feed names its file, or
// a listing or a stat shows its file otherwise than its own stat did, and a
// fetch still under way then is dropped when it ends. A copy is also used
// once, never after its age, and dropped (with its file) when this side
// uploads to, renames or deletes its path.
//
// Thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "shared/vfs_xpc/VfsXpcProtocol.h"

namespace corvane::host {

class ReadAhead {
 public:
  static constexpr std::uint64_t kLargestFile = 256 * 1024;
  static constexpr std::size_t kFilesAhead = 32;

  explicit ReadAhead(std::chrono::milliseconds maxAge = std::chrono::seconds(5)) : maxAge_(maxAge) {}
  ~ReadAhead();  // removes the copies nobody took

  // A folder's listing as the far side answered it.
  void listed(const std::string& folder, const VfsXpcProtocol::Entries& entries);
  // A stat's answer for `path` (null: nothing there).
  void statted(const std::string& path, const std::shared_ptr<const VfsFileEntryDto>& entry);
  struct Planned {
    std::string path;
    std::uint64_t sequence;  // for fetched() and gaveUp()
  };
  // The files after `path` in its folder's listing worth fetching now (small,
  // not fetched or under way), marked under way.
  std::vector<Planned> after(const std::string& path);
  // A file fetched ahead, with the stat sent before its fetch; or given up on.
  void fetched(const Planned& planned, std::filesystem::path copy, std::shared_ptr<const VfsFileEntryDto> entry);
  void gaveUp(const Planned& planned);

  struct Taken {
    std::filesystem::path copy;
    std::shared_ptr<const VfsFileEntryDto> entry;
  };
  // The copy fetched ahead for `path`, used once; absent when there is none fresh.
  std::optional<Taken> take(const std::string& path);
  // Drops what was fetched of `path` and below, or is under way.
  void forget(const std::string& path);

 private:
  struct Ahead {
    std::uint64_t sequence = 0;
    std::chrono::steady_clock::time_point at;
    bool underWay = true;
    Taken taken;
  };
  static void removeCopy(const Ahead& ahead);
  // Drops the copy of `path` unless it is fetched and `entry` shows it as its stat did.
  void checkLocked(const std::string& path, const VfsFileEntryDto* entry);
  void dropStaleLocked(std::chrono::steady_clock::time_point now);

  const std::chrono::milliseconds maxAge_;
  std::mutex mutex_;  // guards what follows
  // The folders listed last: the names of their small files, in order.
  std::deque<std::pair<std::string, std::vector<std::string>>> listings_;
  std::size_t namesKept_ = 0;
  std::map<std::string, Ahead> ahead_;  // ordered: a folder and what is below it are one run
  std::uint64_t sequence_ = 0;
};

}  // namespace corvane::host
